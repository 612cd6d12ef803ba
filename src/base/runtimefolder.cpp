#include "base/runtimefolder.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

void provideRuntimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const passwd* user = ::getpwuid(::geteuid());
    const QString name = user ? QString::fromLocal8Bit(user->pw_name) : QString::number(::geteuid());
    const QByteArray folder = QFile::encodeName(QDir::tempPath() + QStringLiteral("/runtime-") + name);
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return;
    qputenv("XDG_RUNTIME_DIR", folder);
}
