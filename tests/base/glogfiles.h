#pragma once

// The names glog gives this program's log files.
#include <QByteArray>
#include <QString>

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace GlogFiles {

// The name of this program's files of a severity ("INFO", "ERROR", ...), before the time
// stamp and pid.
inline QString prefix(const char* severity)
{
    QByteArray user = qgetenv("USER");
    if (user.isEmpty()) {
        const passwd* entry = ::getpwuid(::geteuid());
        user = entry ? QByteArray(entry->pw_name) : QByteArray("invalid-user");
    }
    utsname names{};
    ::uname(&names);
    return QStringLiteral("mouldmonitor.%1.%2.log.%3.")
        .arg(QString::fromLocal8Bit(names.nodename), QString::fromLocal8Bit(user), QLatin1String(severity));
}

}  // namespace GlogFiles
