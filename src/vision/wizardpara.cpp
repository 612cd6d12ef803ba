#include "vision/wizardpara.h"

#include "base/safefile.h"
#include "base/sqlconnection.h"
#include "records/saveimagesettingdailog.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

#include <functional>
#include <memory>
#include <vector>

WizardPara* gpWPara = nullptr;
WizardPara* gpWParaBak = nullptr;
int gDNum = 2;
int numCamera = 1;

namespace {

const QString kConnection = QStringLiteral("wizardpara");

// What the settings screens let an operator enter. A stored value outside it was not put there
// by them, and the cycle would act on it unchecked (no NG picture below 0 pictures kept, steps
// that do not exist), so it counts as unusable.
constexpr int kSwitchOff = 0;   // check boxes and on/off switches
constexpr int kSwitchOn = 1;
constexpr int kMinSteps = 1;    // up to kMaxSteps
// Pictures kept per folder: 0 keeps none; a number field takes four digits, as the days field.
constexpr int kMinPicturesKept = 0;
constexpr int kMaxPicturesKept = 9999;
// The machine types, each with its block of step names.
constexpr int kMinMachineType = 1;
constexpr int kMaxMachineType = 3;

struct Field {
    const char* name;
    std::function<QString(const WizardPara&)> get;
    // Takes the stored text; false, leaving the member as it is, when the program cannot use it.
    std::function<bool(WizardPara&, const QString&)> set;
    QString usable;   // what the member takes, for the warning about a value it cannot
};

Field intField(const char* name, int WizardPara::*member, int least, int most)
{
    return Field{name, [member](const WizardPara& p) { return QString::number(p.*member); },
                 [member, least, most](WizardPara& p, const QString& text) {
                     // A row holds space-separated integers; these members are its first.
                     bool ok = false;
                     const int value = text.section(QLatin1Char(' '), 0, 0).toInt(&ok);
                     if (!ok || value < least || value > most)
                         return false;
                     p.*member = value;
                     return true;
                 },
                 QStringLiteral("a whole number from %1 to %2").arg(least).arg(most)};
}

const std::vector<Field>& fields()
{
    static const std::vector<Field> all = {
        intField("days", &WizardPara::days, SaveImageSettingDailog::kMinDays, SaveImageSettingDailog::kMaxDays),
        intField("useDiskSaveImage", &WizardPara::useDiskSaveImage, kSwitchOff, kSwitchOn),
        intField("lostUpanAlarm", &WizardPara::lostUpanAlarm, kSwitchOff, kSwitchOn),
        intField("isUseStatistics", &WizardPara::isUseStatistics, kSwitchOff, kSwitchOn),
        intField("picNumNG", &WizardPara::picNumNG, kMinPicturesKept, kMaxPicturesKept),
        intField("picNumOK", &WizardPara::picNumOK, kMinPicturesKept, kMaxPicturesKept),
        intField("detectNum", &WizardPara::detectNum, kMinSteps, kMaxSteps),
        intField("machineType", &WizardPara::machineType, kMinMachineType, kMaxMachineType),
        Field{"groupName", [](const WizardPara& p) { return p.groupName; },
              [](WizardPara& p, const QString& text) {
                  if (text.isEmpty())
                      return false;
                  p.groupName = text;
                  return true;
              },
              QStringLiteral("a name")},
    };
    return all;
}

bool ensureTable(QSqlDatabase db, QSqlError* error)
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sysparam (name TEXT PRIMARY KEY, value TEXT)")))
        return true;
    *error = query.lastError();
    return false;
}

bool openTable(const SqlConnection& connection, const QString& databasePath)
{
    if (!connection.isOpen()) {
        qWarning() << "cannot open" << databasePath << connection.errorText();
        return false;
    }
    QSqlError error;
    if (ensureTable(connection.db(), &error))
        return true;
    qWarning() << "cannot create sysparam:" << error.text();
    return false;
}

// Opens the parameters for a load. A file that is no database or is damaged (garbage, cut
// short) would leave the program on its defaults for good: it is set aside byte for byte and a
// fresh one takes its place. One that holds other tables too keeps them: other parts of the
// system may keep theirs there. Null while the file cannot be used (no access, a full disk).
std::unique_ptr<SqlConnection> openForLoad(const QString& databasePath)
{
    QSqlError error;
    {
        auto connection = std::make_unique<SqlConnection>(kConnection, databasePath);
        if (!connection->isOpen()) {
            qWarning() << "cannot open" << databasePath << connection->errorText();
            return nullptr;
        }
        if (checkIntegrity(connection->db(), &error) && ensureTable(connection->db(), &error))
            return connection;
    }
    if (sqlFailureKind(error) == SqlFailure::Temporary) {
        qWarning().noquote() << "cannot read the parameters in" << databasePath + ':' << error.text();
        return nullptr;
    }
    if (setBrokenFileAside(databasePath, QStringLiteral("parameters: ") + error.text()).isEmpty())
        return nullptr;
    auto fresh = std::make_unique<SqlConnection>(kConnection, databasePath);
    if (!fresh->isOpen() || !ensureTable(fresh->db(), &error)) {
        qWarning().noquote() << "cannot make a fresh" << databasePath + ':' << fresh->errorText() << error.text();
        return nullptr;
    }
    qInfo().noquote() << "the parameters start afresh with their defaults in" << databasePath;
    return fresh;
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
    // A row that is missing or unusable takes its default, not what an earlier load left.
    *this = WizardPara();
    const std::unique_ptr<SqlConnection> connection = openForLoad(databasePath);
    if (!connection)
        return false;

    for (const Field& field : fields()) {
        QSqlQuery query(connection->db());
        query.prepare(QStringLiteral("SELECT value FROM sysparam WHERE name = ?"));
        query.addBindValue(QString::fromLatin1(field.name));
        if (query.exec() && query.next()) {
            const QString stored = query.value(0).toString();
            // The row stays as it is for a look by hand; the settings page's next store replaces it.
            if (!field.set(*this, stored))
                qWarning().noquote() << QStringLiteral("parameter %1 holds \"%2\", which is not %3; its default \"%4\" is used")
                                            .arg(QString::fromLatin1(field.name), stored, field.usable, field.get(*this));
            continue;
        }
        qInfo() << "parameter" << field.name << "missing, stored with its default";
        writeRow(connection->db(), QString::fromLatin1(field.name), field.get(*this));
    }
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
