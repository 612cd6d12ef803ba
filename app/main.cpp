// Start-up of the mould monitor: application object, logging, shared tables, the main window
// with its detection cycle, then the services that need the main window; an orderly stop on
// SIGTERM or SIGINT.
#include "base/appclock.h"
#include "base/globals.h"
#include "base/lanstr.h"
#include "base/logmanager.h"
#include "base/platform.h"
#include "base/publictools.h"
#include "base/runtimefolder.h"
#include "base/safefile.h"
#include "base/signalwatcher.h"
#include "base/startupnotice.h"
#include "detection/mojuwizard.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"
#include "netservices/companion/viewwatch2vud.h"
#include "netservices/modbusserver.h"
#include "netservices/netcards/networksettingdialog.h"
#include "records/copy2movedisk.h"
#include "records/diskmanager.h"
#include "records/rescount.h"
#include "records/savefialimagethread.h"
#include "widgets/publictools_widget.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextCodec>
#include <QtDebug>

#include <memory>
#include <unistd.h>

namespace {

// Without a display (a plain Linux box, CI) the program runs on Qt's offscreen platform.
void chooseOffscreenWhenHeadless()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Why a server is not listening, or nothing when it is.
QString notOpenReason(quint16 boundPort, const QString& error)
{
    if (boundPort != 0)
        return QString();
    return error.isEmpty() ? QStringLiteral("not started") : error;
}

// Tells the terminal what runs where; the servers have tried to listen by now.
void printStartupNotice(const MoJuWizard& window, const JXK_NETMN& netmn)
{
    StartupNotice::Facts facts;
    facts.version = QLatin1String(kSoftwareVersion);
    facts.pid = QCoreApplication::applicationPid();
    facts.panel = Platform::isPanel();
    facts.root = ::geteuid() == 0;
    facts.machineRoot = qEnvironmentVariable("MOULD_ROOT");
    facts.workDir = QDir::currentPath();
    facts.logDir = QDir(LogManager::getInstance()->logDir()).absolutePath() + QLatin1Char('/');
    facts.subscriptions = QFileInfo(netmn.workspace + QStringLiteral("subscriber.ini")).absoluteFilePath();
    const ModbusServer* modbus = window.modbusServer();
    facts.ports << StartupNotice::Port{ModbusServer::kDefaultPort, QStringLiteral("Modbus TCP"),
                                       QStringLiteral("every interface"),
                                       QStringLiteral("writing 1 to register 4 with function 16 resets the totals, no login asked"),
                                       notOpenReason(modbus->serverPort(), modbus->listenError())};
    const QString apiNote = netmn.device_workapifunc
                                ? QStringLiteral("switched on in cnt_net/config.json")
                                : QStringLiteral("answers 403 until \"device_workapifunc\" is true in cnt_net/config.json");
    facts.ports << StartupNotice::Port{JXK_NETMN::kApiPort, QStringLiteral("HTTP API"), QStringLiteral("every interface"),
                                       apiNote,
                                       notOpenReason(netmn.apiServer->serverPort(), netmn.apiServer->listenError())};
    StartupNotice::print(StartupNotice::lines(facts));
}

}  // namespace

int main(int argc, char* argv[])
{
    AppClock::pinTimeZone();
    chooseOffscreenWhenHeadless();
    provideRuntimeFolder();
    registerMetaTypes();
    registerDiskMetaTypes();
    registerStatisticsMetaTypes();

    QApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    LogManager::getInstance();
    // Whole-file writes cut short by a kill or a power cut leave their temporary files behind.
    removeLeftoverTemporaries(QStringList{QStringLiteral("."), QStringLiteral("cnt_net"),
                                          QStringLiteral("cnt_net/workspace"), QStringLiteral("ResStatistics")}
                              + SaveFialImageThread::pictureFolders());
    // After glog, which claims SIGTERM for its failure handler.
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::sigTerminate, &app, [](int) { QCoreApplication::quit(); });

    qInfo().noquote() << "mould monitor version" << kSoftwareVersion << "starting";
    createGlobalMutexes();
    initLanStr();

    std::unique_ptr<WarnBox> warnBox(gpWarnBox = new WarnBox);
    auto window = std::make_unique<MoJuWizard>();

    gDeviceID = getlocal_deviceid();
    qInfo().noquote() << "device id" << gDeviceID;
    writeVersionToJson();

    // The companion process is started by the link only when the network switch is on.
    SystemCommandRunner::registerStandIn(ViewWatch2VUD::companionProgram());
    JXK_NETMN* netmn = JXK_NETMN::getInstance();
    netmn->initStart();
    SaveFialImageThread::setPeriodRecordHook([netmn](int camera, int step, bool result, const QString& path) {
        netmn->add_PeriodRecord_Picture(camera, step, result, path);
    });

    Copy2MoveDisk* copier = Copy2MoveDisk::getInstance();
    copier->setDays(gpWPara->days);
    if (gpWPara->useDiskSaveImage != 0)
        copier->start();
    if (!DiskManager::_instance)
        DiskManager::_instance = new DiskManager(nullptr);   // start-up scan, frees /mnt and /mnt0../mnt3
    // The watcher is created after the main window, so its list reaches the copier from here.
    QObject::connect(DiskManager::_instance, &DiskManager::diskInfoChange, copier, &Copy2MoveDisk::diskInfoChange);
    DiskManager::_instance->start();

    window->showFullScreen();
    printStartupNotice(*window, *netmn);
    const int result = app.exec();

    qInfo() << "stopping";
    // A stop that came while the network screen was open leaves it shown; closing it ends its ping.
    delete gpNetDialog;
    // The network side goes first: its video worker grabs the main window.
    netmn->stop();
    window->StopDetect();
    delete DiskManager::_instance;
    window.reset();
    Copy2MoveDisk::destroyInstance();
    JXK_NETMN::destroyInstance();
    gpWarnBox = nullptr;
    qInfo() << "stopped";
    // Whoever started it sees on the terminal that the stop is over, not only in the log.
    StartupNotice::print({QStringLiteral("mould monitor stopped")});
    return result;
}
