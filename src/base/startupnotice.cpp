#include "base/startupnotice.h"

#include <cstdio>

namespace StartupNotice {

namespace {

// Ports below this one need root (or the capability to bind them).
constexpr quint16 kFirstFreePort = 1024;

QString portLine(const Port& port, bool root)
{
    QString line = QStringLiteral("  port %1 (%2, %3): ").arg(port.port).arg(port.service, port.where);
    if (port.error.isEmpty())
        return line + QStringLiteral("listening; ") + port.note;
    line += QStringLiteral("NOT OPEN: ") + port.error;
    if (port.port < kFirstFreePort && !root)
        line += QStringLiteral(" (ports below %1 need root)").arg(kFirstFreePort);
    return line;
}

}  // namespace

QStringList lines(const Facts& facts)
{
    QStringList out;
    out << QStringLiteral("mould monitor %1 is running, pid %2 (%3)")
               .arg(facts.version)
               .arg(facts.pid)
               .arg(facts.panel ? QStringLiteral("on the panel: machine commands run")
                                : QStringLiteral("off the panel: commands that would change this machine are only logged"));
    out << QStringLiteral("  working directory: ") + facts.workDir;
    for (const Port& port : facts.ports)
        out << portLine(port, facts.root);
    out << QStringLiteral("  log: %1 (mouldmonitor.INFO); warnings and errors also show here").arg(facts.logDir);
    QString stored = QStringLiteral("  stored: PARAM.db, RECORD.db, ResStatistics.db, alarmimage/ and cnt_net/ in the "
                                    "working directory; subscriptions in ") + facts.subscriptions;
    if (!facts.machineRoot.isEmpty())
        stored += QStringLiteral("; machine paths (/proc, /mnt, /etc/netplan) under ") + facts.machineRoot;
    out << stored;
    out << QStringLiteral("  stop: Ctrl+C, or kill %1 (SIGTERM); it stops cleanly").arg(facts.pid);
    return out;
}

void print(const QStringList& lines)
{
    const QByteArray text = lines.join(QLatin1Char('\n')).toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

}  // namespace StartupNotice
