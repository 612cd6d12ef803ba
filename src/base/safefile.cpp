#include "base/safefile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QtDebug>

bool writeFileAtomically(const QString& path, const QByteArray& content)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        qWarning() << "cannot create folder for" << path;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "cannot write" << path << file.errorString();
        return false;
    }
    if (file.write(content) != content.size()) {
        qWarning() << "short write to" << path << file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qWarning() << "cannot commit" << path << file.errorString();
        return false;
    }
    return true;
}
