#include "vision/wizardpara.h"

#include "base/sqlconnection.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

#include <functional>
#include <vector>

WizardPara* gpWPara = nullptr;
WizardPara* gpWParaBak = nullptr;
int gDNum = 2;
int numCamera = 1;

namespace {

const QString kConnection = QStringLiteral("wizardpara");

struct Field {
    const char* name;
    std::function<QString(const WizardPara&)> get;
    std::function<void(WizardPara&, const QString&)> set;
};

Field intField(const char* name, int WizardPara::*member)
{
    return Field{name, [member](const WizardPara& p) { return QString::number(p.*member); },
                 [member](WizardPara& p, const QString& text) {
                     bool ok = false;
                     const int value = text.section(QLatin1Char(' '), 0, 0).toInt(&ok);
                     if (ok)
                         p.*member = value;
                 }};
}

const std::vector<Field>& fields()
{
    static const std::vector<Field> all = {
        intField("days", &WizardPara::days),
        intField("useDiskSaveImage", &WizardPara::useDiskSaveImage),
        intField("lostUpanAlarm", &WizardPara::lostUpanAlarm),
        intField("isUseStatistics", &WizardPara::isUseStatistics),
        intField("picNumNG", &WizardPara::picNumNG),
        intField("picNumOK", &WizardPara::picNumOK),
        intField("detectNum", &WizardPara::detectNum),
        intField("machineType", &WizardPara::machineType),
        Field{"groupName", [](const WizardPara& p) { return p.groupName; },
              [](WizardPara& p, const QString& text) {
                  if (!text.isEmpty())
                      p.groupName = text;
              }},
    };
    return all;
}

bool ensureTable(QSqlDatabase db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sysparam (name TEXT PRIMARY KEY, value TEXT)"))) {
        qWarning() << "cannot create sysparam:" << query.lastError().text();
        return false;
    }
    return true;
}

bool openTable(const SqlConnection& connection, const QString& databasePath)
{
    if (!connection.isOpen()) {
        qWarning() << "cannot open" << databasePath << connection.errorText();
        return false;
    }
    return ensureTable(connection.db());
}

bool writeRow(QSqlDatabase db, const QString& name, const QString& value)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO sysparam (name, value) VALUES (?, ?)"));
    query.addBindValue(name);
    query.addBindValue(value);
    if (!query.exec()) {
        qWarning() << "cannot store parameter" << name << query.lastError().text();
        return false;
    }
    return true;
}

}  // namespace

bool WizardPara::load(const QString& databasePath)
{
    // A row that is missing takes its default, not what an earlier load left.
    *this = WizardPara();
    SqlConnection connection(kConnection, databasePath);
    if (!openTable(connection, databasePath))
        return false;

    for (const Field& field : fields()) {
        QSqlQuery query(connection.db());
        query.prepare(QStringLiteral("SELECT value FROM sysparam WHERE name = ?"));
        query.addBindValue(QString::fromLatin1(field.name));
        if (query.exec() && query.next()) {
            field.set(*this, query.value(0).toString());
            continue;
        }
        qInfo() << "parameter" << field.name << "missing, stored with its default";
        writeRow(connection.db(), QString::fromLatin1(field.name), field.get(*this));
    }
    detectNum = qBound(1, detectNum, kMaxSteps);
    return true;
}

bool WizardPara::save(const QString& databasePath) const
{
    SqlConnection connection(kConnection, databasePath);
    if (!openTable(connection, databasePath))
        return false;
    bool ok = true;
    for (const Field& field : fields())
        ok = writeRow(connection.db(), QString::fromLatin1(field.name), field.get(*this)) && ok;
    return ok;
}
