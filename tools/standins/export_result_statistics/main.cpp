// Stand-in for the panel's statistics exporter. It gets one argument, the comma-joined list of
// statistics day files; it reads the day JSON of each (row "statisticsjson"), writes one CSV per
// day (group, camera, step, hour slot, OK, NG; -1 is all cameras or the whole cycle) into one
// new folder directly inside "./ResStatistics", and prints "Done <file>" after each file.
// Exit code 0 only when every file was read as a day file; 2 without files, 1 when a file was
// not a day file, 3 when the output folder cannot be made. It writes nothing else.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>
#include <cstdio>

namespace {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

// The day JSON of a day file; a null document when the file is none.
QJsonDocument readDay(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return QJsonDocument();
    QByteArray text;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("day"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("select value1 from resstatistics where name='statisticsjson'")) && query.next())
                text = query.value(0).toString().toUtf8();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("day"));
    const QJsonDocument document = QJsonDocument::fromJson(text);
    return document.isObject() && document.object().value(QStringLiteral("groups")).isArray() ? document : QJsonDocument();
}

bool writeCsv(const QString& path, const QJsonObject& day)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream csv(&file);
    csv.setCodec("UTF-8");
    csv << "date,group,camera,step,slot,OK,NG\n";
    const QString date = day.value(QStringLiteral("date")).toString();
    for (const QJsonValue& groupValue : day.value(QStringLiteral("groups")).toArray()) {
        const QJsonObject group = groupValue.toObject();
        const QString name = group.value(QStringLiteral("groupName")).toString();
        for (const QJsonValue& cameraValue : group.value(QStringLiteral("datas")).toArray()) {
            const QJsonObject camera = cameraValue.toObject();
            for (const QJsonValue& stepValue : camera.value(QStringLiteral("data")).toArray()) {
                const QJsonObject step = stepValue.toObject();
                const QJsonArray ok = step.value(QStringLiteral("OK")).toArray();
                const QJsonArray ng = step.value(QStringLiteral("NG")).toArray();
                for (int slot = 0; slot < qMax(ok.size(), ng.size()); ++slot) {
                    csv << date << ',' << name << ',' << camera.value(QStringLiteral("cameraID")).toInt() << ','
                        << step.value(QStringLiteral("detectID")).toInt() << ',' << slot << ','
                        << ok.at(slot).toInt() << ',' << ng.at(slot).toInt() << '\n';
                }
            }
        }
    }
    csv.flush();
    return file.error() == QFileDevice::NoError;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    err() << "export_result_statistics: arguments " << arguments.join(QLatin1Char(' ')) << '\n';
    err().flush();
    if (arguments.size() != 1 || arguments.at(0).isEmpty()) {
        err() << "usage: export_result_statistics <day file>[,<day file>...]\n";
        return 2;
    }

    const QString folder = QStringLiteral("./ResStatistics/statistics_")
                           + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss_zzz"));
    if (!QDir().mkpath(folder)) {
        err() << "cannot make " << folder << '\n';
        return 3;
    }

    bool allRead = true;
    for (const QString& path : arguments.at(0).split(QLatin1Char(','))) {
        const QJsonDocument day = readDay(path);
        if (day.isNull()) {
            err() << "not a statistics day file: " << path << '\n';
            err().flush();
            allRead = false;
            continue;
        }
        const QString name = QFileInfo(path).completeBaseName();
        if (!writeCsv(folder + QLatin1Char('/') + name + QStringLiteral(".csv"), day.object())) {
            err() << "cannot write the result of " << path << '\n';
            allRead = false;
            continue;
        }
        out() << "Done " << path << '\n';
        out().flush();
    }
    return allRead ? 0 : 1;
}
