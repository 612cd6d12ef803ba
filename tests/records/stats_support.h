#pragma once

#include "base/appclock.h"
#include "vision/wizardpara.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <gtest/gtest.h>

namespace StatsTest {

// The "statisticsjson" text of a day file; empty when the file or the row is missing.
inline QString readDayText(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return QString();
    QString text;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("statstest_read"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("select value1, value2 from resstatistics where name='statisticsjson'"))
                && query.next())
                text = query.value(0).toString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("statstest_read"));
    return text;
}

inline QJsonObject readDay(const QString& path)
{
    return QJsonDocument::fromJson(readDayText(path).toUtf8()).object();
}

// The all-camera whole-cycle record of the first group of a day JSON.
inline QJsonObject allCameraCycle(const QJsonObject& day)
{
    const QJsonArray datas = day.value(QStringLiteral("groups")).toArray().at(0).toObject().value(QStringLiteral("datas")).toArray();
    return datas.last().toObject().value(QStringLiteral("data")).toArray().last().toObject();
}

// Runs statements on a file (creating it); for building day files of any layout.
inline bool execOn(const QString& path, const QStringList& statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("statstest_exec"));
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        for (const QString& statement : statements)
            ok = ok && query.exec(statement);
        query.clear();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("statstest_exec"));
    return ok;
}

inline QString createTable()
{
    return QStringLiteral("CREATE TABLE resstatistics (name TEXT NOT NULL UNIQUE, value1 TEXT, value2 TEXT)");
}

// A day file holding one day JSON.
inline bool writeDayFile(const QString& path, const QJsonObject& day)
{
    const QString text = QString::fromUtf8(QJsonDocument(day).toJson()).replace(QLatin1Char('\''), QStringLiteral("''"));
    return execOn(path, {createTable(),
                         QStringLiteral("INSERT INTO resstatistics VALUES ('statisticsjson', '%1', '')").arg(text)});
}

// Two cameras and two steps for the length of a test; the clock is real again afterwards.
class ShapeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_steps = gDNum;
        m_cameras = numCamera;
        gDNum = 2;
        numCamera = 2;
    }
    void TearDown() override
    {
        AppClock::setOffsetMs(0);
        gDNum = m_steps;
        numCamera = m_cameras;
    }

private:
    int m_steps = 0;
    int m_cameras = 0;
};

}  // namespace StatsTest
