#pragma once

// Loopback helpers shared by the transport tests.
#include "base/platform.h"
#include "netcore/tcpreactor.h"
#include "support/testenv.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <memory>
#include <thread>

namespace NetTest {

// Collects what a reactor reports through sigResponse, from whichever thread reports it.
struct Replies {
    QMutex mutex;
    QList<QPair<CTask_FormData, bool>> list;
    void attach(JXKC::TcpReactor& reactor)
    {
        QObject::connect(&reactor, &JXKC::TcpReactor::sigResponse, &reactor,
                         [this](const CTask_FormData& record, bool stashed) {
                             QMutexLocker lock(&mutex);
                             list.append({record, stashed});
                         },
                         Qt::DirectConnection);
    }
    int size()
    {
        QMutexLocker lock(&mutex);
        return list.size();
    }
};

// A connected pair of sockets on 127.0.0.1, both in the calling thread.
struct SocketPair {
    QTcpServer server;
    QTcpSocket client;
    QTcpSocket* accepted = nullptr;

    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!client.waitForConnected(2000) || !server.waitForNewConnection(2000))
            return false;
        accepted = server.nextPendingConnection();
        return accepted != nullptr;
    }
};

// Reads from the socket until `enough` holds or the time is up; runs the event loop meanwhile.
inline QByteArray readUntil(QTcpSocket& socket, const std::function<bool(const QByteArray&)>& enough,
                            int timeoutMs = 3000)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (!enough(data) && timer.elapsed() < timeoutMs) {
        TestEnv::spin(5);
        data += socket.readAll();
    }
    return data;
}

// Counts complete replies (header plus announced body) in a byte stream.
inline QList<QPair<QByteArray, QByteArray>> splitReplies(const QByteArray& stream)
{
    QList<QPair<QByteArray, QByteArray>> replies;
    int position = 0;
    while (true) {
        const int end = stream.indexOf("\r\n\r\n", position);
        if (end < 0)
            break;
        const QByteArray head = stream.mid(position, end - position);
        int length = 0;
        for (const QByteArray& line : head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toInt();
        }
        if (stream.size() < end + 4 + length)
            break;
        replies.append({head, stream.mid(end + 4, length)});
        position = end + 4 + length;
    }
    return replies;
}

// Runs a program for real (tests only: curl, the helper) on a thread of its own, so that the
// calling thread keeps serving its event loop meanwhile.
inline CommandResult runAside(const QString& program, const QStringList& arguments, int timeoutMs = 10000)
{
    SystemCommandRunner::registerStandIn(program);
    CommandResult result;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result = CommandRunner::instance()->run(program, arguments, timeoutMs);
        done = true;
    });
    TestEnv::waitUntil([&] { return done.load(); }, timeoutMs + 2000);
    worker.join();
    return result;
}

// Collects the log messages of every thread while it lives.
class LogCapture {
public:
    LogCapture()
    {
        QMutexLocker lock(&guard());
        current() = this;
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        QMutexLocker lock(&guard());
        qInstallMessageHandler(previous);
        current() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines(QtMsgType type) const
    {
        QMutexLocker lock(&guard());
        QStringList result;
        for (const auto& entry : entries) {
            if (entry.first == type)
                result << entry.second;
        }
        return result;
    }

    // The lines left out as repeats of one refusal ("<kind> from <peer>"), by the counts logged.
    int leftOut(const QString& kindFromPeer) const
    {
        int count = 0;
        for (const QString& line : lines(QtWarningMsg).filter(QStringLiteral("of this kind: ") + kindFromPeer))
            count += line.section(QLatin1Char(' '), 2, 2).toInt();
        return count;
    }

private:
    static QMutex& guard()
    {
        static QMutex mutex;
        return mutex;
    }
    static LogCapture*& current()
    {
        static LogCapture* capture = nullptr;
        return capture;
    }
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        QMutexLocker lock(&guard());
        if (current())
            current()->entries.append({type, text});
    }

    QtMessageHandler previous = nullptr;
    QList<QPair<QtMsgType, QString>> entries;
};

inline int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

}  // namespace NetTest
