// Starts a stand-in the way the companion link does (detached, through the system command
// runner), prints its process id and then runs until it is killed: a program run that ends
// without stopping its companion.
#include "base/platform.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty())
        return 2;
    SystemCommandRunner::registerStandIn(arguments.first());
    const qint64 pid = CommandRunner::instance()->startDetachedPid(arguments.first(), arguments.mid(1));
    std::printf("%lld\n", static_cast<long long>(pid));
    std::fflush(stdout);
    return app.exec();
}
