// Stand-in for the companion network process "zuzad_evurevi" on a machine that lacks it.
//
//   zuzad_evurevi <config.json path> [port]
//
// Listens on 127.0.0.1:10431 (or the given port) with the monitor's message transport, answers
// heart-beats with all flags true (ZUZAD_FALSE_FLAGS="register,needokimg" turns some off) and
// every other message with an empty 200, and appends one line per message (url, uuid, compact
// JSON body) to companion.log beside itself. It attaches the screen share announced in
// "offervideomem" and about once a second writes the frame, read under the share's semaphore,
// as last-frame.png beside itself. It changes nothing outside its own folder, stops on SIGTERM,
// and ends with the program that started it (MOULD_STARTER_PID, else its parent): a copy left
// by a killed run would hold the port and the share for every later start.
#include "base/signalwatcher.h"
#include "netcore/httpmanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QtDebug>
#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr quint16 kDefaultPort = 10431;
constexpr int kFrameEveryMs = 1000;
constexpr int kSemaphoreWaitMs = 200;
constexpr int kMaxSide = 4096;
// The monitor's largest message is a detection report of up to 8 cameras x 8 steps x 100
// regions, 13 values a region: some 85,000 values in under 1 MB.
constexpr NetworkJson::Bounds kMonitorJson{2 * 1024 * 1024, 8, 8 * 8 * 100 * 16};

// One attached screen share, read-only.
struct Share {
    int shmid = -1;
    int semid = -1;
    int width = 0;
    int height = 0;
    int size = 0;
    const void* address = nullptr;
};

bool semaphoreStep(int semid, short delta)
{
    sembuf op{};
    op.sem_op = delta;
    op.sem_flg = SEM_UNDO;
    const timespec timeout{0, kSemaphoreWaitMs * 1000000L};
    while (semtimedop(semid, &op, 1, &timeout) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

class CompanionStandIn : public HttpManager {
    Q_OBJECT
public:
    explicit CompanionStandIn(const QString& folder) : HttpManager(JXKT_SERVER), dir(folder)
    {
        JXKC::TcpReactor::Limits limits;
        limits.json = kMonitorJson;
        setReactorLimits(limits);
        const QStringList off = qEnvironmentVariable("ZUZAD_FALSE_FLAGS").split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const char* name : {"cntserver", "register", "needokimg", "needvideo"})
            flags.insert(QLatin1String(name), !off.contains(QLatin1String(name)));
        connect(&frameTimer, &QTimer::timeout, this, &CompanionStandIn::writeFrame);
        frameTimer.start(kFrameEveryMs);
    }
    ~CompanionStandIn() override { detach(); }

public slots:
    void SlotRecvRequest(CTask_FormData request) override
    {
        log(request);
        if (request.url == QLatin1String("/inline/bymain/offervideomem"))
            attach(request.json.value(QStringLiteral("memoryinfo")).toArray());
        if (request.url != QLatin1String("/inline/bymain/heartbeat")) {
            callback_immediately(request, 200, QString());
            return;
        }
        CTask_FormData reply;
        reply.uuid = request.uuid;
        reply.session_id = request.session_id;
        reply.json = flags;
        sendAsync(reply);
    }

private:
    void log(const CTask_FormData& request)
    {
        QFile file(dir.filePath(QStringLiteral("companion.log")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        QString line = request.url + QLatin1Char('\t') + request.uuid + QLatin1Char('\t') +
                       QString::fromUtf8(QJsonDocument(request.json).toJson(QJsonDocument::Compact));
        line.replace(QLatin1Char('\n'), QLatin1Char(' '));
        file.write(line.toUtf8() + '\n');
    }

    void attach(const QJsonArray& shares)
    {
        detach();
        for (const QJsonValue& value : shares) {
            const QJsonObject info = value.toObject();
            if (info.value(QStringLiteral("cameraid")).toInt(-1) != 0)
                continue;
            Share candidate;
            candidate.shmid = info.value(QStringLiteral("shmid")).toInt(-1);
            candidate.semid = info.value(QStringLiteral("semid")).toInt(-1);
            candidate.width = info.value(QStringLiteral("width")).toInt();
            candidate.height = info.value(QStringLiteral("height")).toInt();
            candidate.size = info.value(QStringLiteral("size")).toInt();
            // Only a share whose announcement adds up and whose segment is large enough.
            if (candidate.shmid < 0 || candidate.semid < 0 || candidate.width <= 0 || candidate.height <= 0 ||
                candidate.width > kMaxSide || candidate.height > kMaxSide || candidate.width % 2 || candidate.height % 2 ||
                candidate.size != candidate.width * candidate.height * 3 / 2)
                continue;
            shmid_ds stat{};
            if (shmctl(candidate.shmid, IPC_STAT, &stat) != 0 || stat.shm_segsz < static_cast<size_t>(candidate.size))
                continue;
            void* address = shmat(candidate.shmid, nullptr, SHM_RDONLY);
            if (address == reinterpret_cast<void*>(-1))
                continue;
            candidate.address = address;
            share = candidate;
            qInfo() << "attached screen share" << share.shmid << "semaphore" << share.semid;
            return;
        }
    }

    void detach()
    {
        if (share.address)
            shmdt(share.address);
        share = Share();
    }

    void writeFrame()
    {
        if (!share.address)
            return;
        cv::Mat i420(share.height * 3 / 2, share.width, CV_8UC1);
        if (!semaphoreStep(share.semid, -1))
            return;
        std::memcpy(i420.data, share.address, static_cast<size_t>(share.size));
        semaphoreStep(share.semid, 1);
        cv::Mat bgra;
        cv::cvtColor(i420, bgra, cv::COLOR_YUV2BGRA_I420);
        const QImage frame(bgra.data, bgra.cols, bgra.rows, static_cast<int>(bgra.step), QImage::Format_RGB32);
        QSaveFile file(dir.filePath(QStringLiteral("last-frame.png")));
        if (file.open(QIODevice::WriteOnly) && frame.save(&file, "PNG"))
            file.commit();
    }

    QDir dir;
    QJsonObject flags;
    Share share;
    QTimer frameTimer;
};

// Quits the application once the starter has ended. The pid is held by a pidfd, which stays
// bound to that very process; a starter that is gone already ends the stand-in at once.
bool followStarter(QObject* parent)
{
    bool given = false;
    const qint64 named = qEnvironmentVariableIntValue("MOULD_STARTER_PID", &given);
    const pid_t starter = given && named > 0 ? static_cast<pid_t>(named) : ::getppid();
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, starter, 0));
    if (pidfd < 0)
        return errno != ESRCH;   // without pidfds (an old kernel) it only stops on SIGTERM
    auto* notifier = new QSocketNotifier(pidfd, QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [starter] {
        qInfo() << "zuzad_evurevi: its starter" << starter << "has ended; stopping";
        QCoreApplication::quit();
    });
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: zuzad_evurevi <config.json> [port]\n");
        return 2;
    }
    bool portOk = true;
    const quint16 port = arguments.size() > 2 ? arguments.at(2).toUShort(&portOk) : kDefaultPort;
    if (!portOk || port == 0) {
        std::fprintf(stderr, "zuzad_evurevi: bad port %s\n", qPrintable(arguments.at(2)));
        return 2;
    }

    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::sigTerminate, &app, [](int) { QCoreApplication::quit(); });
    if (!followStarter(&app)) {
        std::fprintf(stderr, "zuzad_evurevi: the program that started it has ended\n");
        return 0;
    }

    CompanionStandIn companion(QCoreApplication::applicationDirPath());
    if (!companion.startReactor(QHostAddress::LocalHost, port, 1)) {
        std::fprintf(stderr, "zuzad_evurevi: cannot listen on 127.0.0.1:%u (port taken?)\n", port);
        return 1;
    }
    qInfo().noquote() << "zuzad_evurevi listening on 127.0.0.1:" + QString::number(port) << "config"
                      << arguments.at(1);
    return app.exec();
}

#include "main.moc"
