#include "base/globals.h"

#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

QMutex* pMutexIO = nullptr;
QMutex* pMutexSaveFail = nullptr;

void createGlobalMutexes()
{
    if (!pMutexIO)
        pMutexIO = new QMutex;
    if (!pMutexSaveFail)
        pMutexSaveFail = new QMutex;
}

void registerMetaTypes()
{
    qRegisterMetaType<QPair<QString, QString>>("QPair<QString,QString>");
    qRegisterMetaType<QList<bool>>("QList<bool>");
}
