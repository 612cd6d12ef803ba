#include "detection/mojuwizard.h"

#include "base/appclock.h"
#include "base/lanstr.h"
#include "config/wizardparawidget.h"
#include "base/globals.h"
#include "base/safefile.h"
#include "base/storewriter.h"
#include "detection/cammerwidget.h"
#include "detection/counters.h"
#include "detection/handover.h"
#include "detection/iostatus.h"
#include "detection/recordstore.h"
#include "netservices/companion/network.h"
#include "netservices/companion/viewwatch2vud.h"
#include "netservices/modbusserver.h"
#include "records/copy2movedisk.h"
#include "records/resstatisticsparam.h"
#include "records/savefialimagethread.h"
#include "records/statisticswidget.h"
#include "widgets/indexbutton.h"
#include "widgets/publictools_widget.h"
#include "vision/cameramanager.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QGridLayout>
#include <QLabel>
#include <QMutexLocker>
#include <QSettings>
#include <QtDebug>

MoJuWizard* gpWin = nullptr;

namespace {

const QString kPictureRoot = QStringLiteral("./alarmimage");
const QString kNotLoggedIn = QStringLiteral("未登录");
// The store writer's lanes: the counters are one whole file, the records all that wait.
const QString kCountLane = QStringLiteral("count.ini");
const QString kRecordLane = QStringLiteral("RECORD");

// Save requests of the detection cycle, turned into hand-over flags by CheckNG.
constexpr int kSaveOK = 2;
constexpr int kSaveNG = 9;
constexpr int kSaveBoth = 10;

int envInt(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

// The keys CountWrite stores, all in the group "count".
QStringList counterKeys()
{
    QStringList keys;
    for (int c = 0; c < kMaxCameras; ++c) {
        keys << QStringLiteral("allNum%1").arg(c) << QStringLiteral("failNum%1").arg(c)
             << QStringLiteral("allCycleNum%1").arg(c) << QStringLiteral("failCycleNum%1").arg(c);
    }
    keys << QStringLiteral("syncNGNum") << QStringLiteral("syncNGCycleNum");
    return keys;
}

// A counter as CountWrite stores it: a whole number, never below 0 (the cycle only counts up and
// a reset sets 0). Anything else is no count of this program's.
bool readCounter(const QVariant& stored, int* value)
{
    bool number = false;
    *value = stored.toString().toInt(&number);
    return number && *value >= 0;
}

// The counters file as CountWrite leaves it: an INI file holding every counter as an integer.
// A file that is empty, cut short or holds other values was not left so by it, and a counter
// read from it as 0 would be a count silently lost. *readable: what it holds is this program's
// counters (some may be missing, no numbers or negative), and those that read may be taken; not
// so for a file that is no INI file or holds anything else.
QString countFileProblem(const QString& path, bool* readable)
{
    *readable = false;
    if (QFileInfo(path).size() == 0)
        return QStringLiteral("empty");
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return QStringLiteral("not an INI file");
    const QStringList keys = counterKeys();
    for (const QString& key : settings.allKeys()) {
        if (!key.startsWith(QLatin1String("count/")) || !keys.contains(key.mid(6)))
            return QStringLiteral("holds \"%1\", which is no counter").arg(key);
    }
    *readable = true;
    settings.beginGroup(QStringLiteral("count"));
    QStringList missing;
    for (const QString& key : keys) {
        if (!settings.contains(key)) {
            missing << key;
            continue;
        }
        int value = 0;
        if (!readCounter(settings.value(key), &value))
            return QStringLiteral("counter %1 holds \"%2\", which is no count").arg(key, settings.value(key).toString());
    }
    if (!missing.isEmpty())
        return QStringLiteral("%1 of %2 counters missing, the first %3").arg(missing.size()).arg(keys.size()).arg(missing.first());
    return QString();
}

WriteStateLog& countFileLog()
{
    static WriteStateLog log(MoJuWizard::countFilePath());
    return log;
}

// The statistics pages: all steps first, then one per step in use, named by the machine type's
// block of step names.
QStringList statisticsPageNames()
{
    int firstRow = 263;
    if (gpWPara && gpWPara->machineType == 2)
        firstRow = 372;
    else if (gpWPara && gpWPara->machineType == 3)
        firstRow = 477;
    QStringList names{lanText(584)};
    for (int step = 0; step < gDNum; ++step)
        names << lanText(firstRow + step);
    return names;
}

}  // namespace

MoJuWizard::MoJuWizard(QWidget* parent, quint16 modbusPort) : QWidget(parent)
{
    // Everything the constructor starts may read gpWin at once.
    gpWin = this;
    createGlobalMutexes();
    m_writer = std::make_unique<StoreWriter>();

    if (!gpWPara)
        gpWPara = new WizardPara;
    if (!gpWPara->load())
        qCritical() << "cannot open PARAM.db; running with default parameters";
    if (!gpWParaBak)
        gpWParaBak = new WizardPara;
    *gpWParaBak = *gpWPara;
    gDNum = qBound(1, gpWPara->detectNum, kMaxSteps);
    gPicNumNG = gpWPara->picNumNG;
    gPicNumOK = gpWPara->picNumOK;

    // Start-up may wait for the disk: the record day is in order before the first record.
    m_recordStore = std::make_unique<RecordStore>(recordDay());
    m_recordStore->rollTo(AppClock::now().date());
    // Its connection belongs to the writer's thread from the first store on.
    RecordStore* store = m_recordStore.get();
    m_writer->setAtEnd([store] { store->closeConnection(); });

    const QList<_cameraInfo>& cameras = CameraManager::getInstance()->cameraInfoList();
    numCamera = qBound(1, cameras.size(), kMaxCameras);
    gShowW = 1920;
    gShowH = 1080;
    resize(gShowW, gShowH);

    auto* grid = new QGridLayout(this);
    grid->addWidget(new IOStatusWidget(this), kMaxCameras, 0, 1, 2);
    auto* buttons = new IndexButton(this);
    grid->addWidget(buttons, 0, 2, kMaxCameras, 1);
    connect(buttons, &IndexButton::sigSettings, this, [this] { settingsPage()->showPage(); });
    m_exportLabel = new QLabel(this);
    m_exportLabel->setMinimumWidth(260);
    QFont exportFont(QStringLiteral("wqy-microhei"));
    exportFont.setPixelSize(24);
    m_exportLabel->setFont(exportFont);
    m_exportLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(m_exportLabel, kMaxCameras, 2);
    for (int c = 0; c < numCamera; ++c) {
        const QJsonObject extra = cameras.value(c).extraInfo;
        const int width = extra.value(QStringLiteral("width")).toInt(CameraManager::kSimulatedWidth);
        const int height = extra.value(QStringLiteral("height")).toInt(CameraManager::kSimulatedHeight);
        auto* view = new CammerWidget(c, width, height, this);
        grid->addWidget(view, c / 2, c % 2);
        // The camera rows and columns share the screen; the button column and the rows it spans
        // beyond the cameras take only what they need.
        grid->setRowStretch(c / 2, 1);
        grid->setColumnStretch(c % 2, 1);
        cameraViews.append(view);
    }
    QVector<int> pictureBytes;
    for (const CammerWidget* view : qAsConst(cameraViews))
        pictureBytes.append(view->imagePixelCount * 4);
    allocateFailImages(pictureBytes, gDNum);

    createPictureDirs();
    loadCounters();

    gpSaveFialImageThread = new SaveFialImageThread;
    gpSaveFialImageThread->start(QThread::InheritPriority);
    connect(Copy2MoveDisk::getInstance(), &Copy2MoveDisk::diskStateChange, this, &MoJuWizard::slotDiskStateChange);

    m_modbusServer = std::make_unique<ModbusServer>(QHostAddress::Any, modbusPort);

    ResStatisticsParam* statistics = ResStatisticsParam::getInstance();
    statistics->init(gpWPara->getCurGroupName(), gDNum);
    statistics->setTimer(gpWPara->isUseStatistics != 0);
    // Same thread: every verdict is counted inside the emission.
    connect(this, &MoJuWizard::sendRecord, statistics, &ResStatisticsParam::addRecord, Qt::DirectConnection);

    StatisticsWidget* statisticsScreen = StatisticsWidget::getInstance();
    statisticsScreen->createWidget(statisticsPageNames());
    connect(statisticsScreen, &StatisticsWidget::sigUpdateRecord, statistics, &ResStatisticsParam::slotUpdateRecord);
    connect(statistics, &ResStatisticsParam::sigLoadFinish, statisticsScreen, &StatisticsWidget::slotUpdateRecord);
    connect(statisticsScreen, &StatisticsWidget::sigExportProgress, this, &MoJuWizard::slotExportProgress);
    connect(statisticsScreen, &StatisticsWidget::sigExportDataFinish, this, &MoJuWizard::slotExportFinish);

    m_ngEvery = qMax(0, envInt("MOULD_SIM_NG_EVERY", 10));
    m_cycleTimer.setInterval(qMax(10, envInt("MOULD_SIM_CYCLE_MS", 3000)));
    connect(&m_cycleTimer, &QTimer::timeout, this, &MoJuWizard::Run);
    m_alarmClearTimer.setSingleShot(true);
    m_alarmClearTimer.setInterval(2000);
    connect(&m_alarmClearTimer, &QTimer::timeout, this, &MoJuWizard::clearAlarm);
    m_dayTimer.setInterval(60 * 1000);
    connect(&m_dayTimer, &QTimer::timeout, this, &MoJuWizard::checkRecordDay);

    StartDetect();
    m_cycleTimer.start();
    m_dayTimer.start();
    qInfo() << "detection started with" << numCamera << "cameras and" << gDNum << "steps";
}

MoJuWizard::~MoJuWizard()
{
    // Its pool thread asks this window for register values: it stops while the window is whole.
    m_modbusServer.reset();
    m_settingsPage.reset();
    // A running export ends first and gives the model its timer back, so the model's last store
    // of the day still happens; then the statistics database thread is joined.
    StatisticsWidget::destroyInstance();
    ResStatisticsParam::destroyInstance();
    m_cycleTimer.stop();
    m_alarmClearTimer.stop();
    m_dayTimer.stop();
    // The picture thread reads the hand-over buffers and the folders: it goes first.
    delete gpSaveFialImageThread;
    gpSaveFialImageThread = nullptr;
    freeFailImages();
    // What waits (the last counters, records) is stored now, for a bounded time.
    m_writer->stop();
    if (const int lost = m_recordStore->waitingRecords())
        qCritical().noquote() << lost << "operation records could not be stored before the stop and are lost";
    recordDay().clearWaitingRecords(m_recordStore.get());
    RecordDay::Rolling(recordDay()).setOpenDay(QDate());
    if (gpWin == this)
        gpWin = nullptr;
}

QString MoJuWizard::recordDatabasePath()
{
    return RecordStore::databasePath();
}

RecordDay& MoJuWizard::recordDay()
{
    // Lives as long as the process: API work threads may still read when a window has gone.
    static RecordDay day;
    return day;
}

QString MoJuWizard::countFilePath()
{
    return QStringLiteral("./cnt_net/workspace/count.ini");
}

void MoJuWizard::storeRecords()
{
    RecordStore* store = m_recordStore.get();
    m_writer->replace(kRecordLane, [store] { return store->storeWaiting(); });
}

void MoJuWizard::checkRecordDay()
{
    m_recordStore->handOverRoll(AppClock::now().date());
    storeRecords();
}

bool MoJuWizard::acceptsClientRecords()
{
    return m_recordStore->acceptsClientRecords();
}

RecordStore* MoJuWizard::recordStore() const
{
    return m_recordStore.get();
}

void MoJuWizard::InsertRecord(QString remarks, QString recordtype)
{
    // One reading of the clock decides both the day file and the time of day of the record.
    const RecordStore::Record record{AppClock::now(), kNotLoggedIn, remarks, recordtype};
    m_recordStore->handOver(record);
    storeRecords();
    QJsonObject json;
    json.insert(QStringLiteral("recordtime"), record.moment.toString(QStringLiteral("hh.mm.ss")));
    json.insert(QStringLiteral("recordpassword"), record.password);
    json.insert(QStringLiteral("remarks"), remarks);
    json.insert(QStringLiteral("recordtype"), recordtype);
    JXK_NETMN::getInstance()->viewWatch->sndRecordOperate(json);
}

void MoJuWizard::slotDiskStateChange(bool present)
{
    if (present) {
        InsertRecord(QStringLiteral("存图磁盘已经插入"), QStringLiteral("info"));
        return;
    }
    InsertRecord(QStringLiteral("存图磁盘已拔出或是接触不良"), QStringLiteral("info"));
    if (!gpWPara || gpWPara->lostUpanAlarm == 0 || !gpWarnBox)
        return;
    gpWarnBox->setText(QStringLiteral("警告：存图磁盘已拔出或是\n接触不良，请确认！"));
    gpWarnBox->show();
}

void MoJuWizard::loadCounters()
{
    if (!QFile::exists(countFilePath()))
        return;
    bool readable = false;
    const QString problem = countFileProblem(countFilePath(), &readable);
    // The copy stays for a look by hand; the cycle's next write replaces the file.
    if (!problem.isEmpty())
        keepBrokenCopy(countFilePath(), problem);
    QSettings settings(countFilePath(), QSettings::IniFormat);
    // Every counter that reads as a count is kept; the others start from 0, and all of them
    // when nothing in the file can be trusted.
    const auto counter = [&settings, readable](const QString& key) {
        int value = 0;
        return readable && readCounter(settings.value(key), &value) ? value : 0;
    };
    settings.beginGroup(QStringLiteral("count"));
    for (int c = 0; c < kMaxCameras; ++c) {
        gAllNum[c] = counter(QStringLiteral("allNum%1").arg(c));
        gFailNum[c] = counter(QStringLiteral("failNum%1").arg(c));
        gAllCycleNum[c] = counter(QStringLiteral("allCycleNum%1").arg(c));
        gFailCycleNum[c] = counter(QStringLiteral("failCycleNum%1").arg(c));
    }
    gSyncNGNum = counter(QStringLiteral("syncNGNum"));
    gSyncNGCycleNum = counter(QStringLiteral("syncNGCycleNum"));
    settings.endGroup();
}

void MoJuWizard::CountWrite()
{
    QVariantMap counters;
    for (int c = 0; c < kMaxCameras; ++c) {
        counters.insert(QStringLiteral("count/allNum%1").arg(c), gAllNum[c]);
        counters.insert(QStringLiteral("count/failNum%1").arg(c), gFailNum[c]);
        counters.insert(QStringLiteral("count/allCycleNum%1").arg(c), gAllCycleNum[c]);
        counters.insert(QStringLiteral("count/failCycleNum%1").arg(c), gFailCycleNum[c]);
    }
    counters.insert(QStringLiteral("count/syncNGNum"), gSyncNGNum);
    counters.insert(QStringLiteral("count/syncNGCycleNum"), gSyncNGCycleNum);
    m_writer->replace(kCountLane, [counters] {
        // Written every cycle: a full disk is logged when it starts and when it ends.
        QString reason;
        const bool stored = writeSettingsAtomically(countFilePath(), counters, &reason);
        countFileLog().update(stored, reason);
        return stored;
    });
}

void MoJuWizard::createPictureDirs()
{
    for (int c = 0; c < numCamera; ++c) {
        for (int s = 0; s < kMaxSteps; ++s) {
            for (int k = 0; k < 2; ++k) {
                const QString path = QString(k == 0 ? QStringLiteral("%1//camera%2//detect%3//NG")
                                                    : QStringLiteral("%1//camera%2//detect%3//OK"))
                                         .arg(kPictureRoot)
                                         .arg(c + 1)
                                         .arg(s + 1);
                pictureDirs[c][s][k] = QDir(path);
                if (!pictureDirs[c][s][k].exists() && !QDir().mkpath(path))
                    qWarning() << "cannot create picture folder" << path;
            }
        }
    }
}

void MoJuWizard::StartDetect()
{
    m_runState = RunDetecting;
    m_viewState = ViewVerdict;
}

void MoJuWizard::StopDetect()
{
    m_runState = RunStopped;
    m_alarmClearTimer.stop();
    clearNetworkResults();
}

void MoJuWizard::Run()
{
    if (m_runState != RunDetecting || m_viewState == ViewNgAlarm)
        return;

    if (m_cycleClock.isValid())
        m_cycleTime = static_cast<int>(m_cycleClock.restart() / 100);
    else
        m_cycleClock.start();

    ++m_cycleNumber;
    startPeriodRecord();
    for (int step = 0; step < gDNum && m_viewState != ViewNgAlarm; ++step) {
        m_curStep = step;
        RunAlgorithm(step);
        CheckNG(step == gDNum - 1);
    }
}

void MoJuWizard::RunAlgorithm(int step)
{
    const QDateTime now = AppClock::now();
    // Camera 1 finds something left in the mould every m_ngEvery-th cycle, at the last step.
    const bool cycleNg = m_ngEvery > 0 && m_cycleNumber % m_ngEvery == 0 && step == gDNum - 1;
    for (CammerWidget* view : qAsConst(cameraViews)) {
        const bool ng = cycleNg && view->cameraIndex() == 0;
        for (int region = 0; region < 2; ++region) {
            const bool passed = !(ng && region == 0);
            recordRegionResult(view->cameraIndex(), step, region, 0, passed ? 3 : 85, passed);
        }
        view->setStepResult(step, !ng, ng ? 1 : 0, now);
    }
}

void MoJuWizard::CheckNG(bool lastStep)
{
    const int step = m_curStep;
    QList<bool> cameraOK;
    int ngCamera = -1;
    for (CammerWidget* view : qAsConst(cameraViews)) {
        const int c = view->cameraIndex();
        const bool ok = view->stepOK(step);
        cameraOK.append(ok);
        if (!ok && ngCamera < 0)
            ngCamera = c;
        if (!ok && gPicNumNG >= 1) {
            view->SaveFailImage(step, 0);
            m_saveRequest[c][step] = kSaveNG;
        } else if (ok && gPicNumOK >= 1) {
            view->SaveFailImage(step, 1);
            m_saveRequest[c][step] = kSaveOK;
        }
    }

    {
        QMutexLocker lock(pMutexSaveFail);
        for (CammerWidget* view : qAsConst(cameraViews)) {
            int& request = m_saveRequest[view->cameraIndex()][step];
            if (request == kSaveOK || request == kSaveBoth)
                gisSaveFail[view->cameraIndex()][step][1] = true;
            if (request == kSaveNG || request == kSaveBoth)
                gisSaveFail[view->cameraIndex()][step][0] = true;
            request = 0;
        }
    }

    for (int c = 0; c < cameraOK.size(); ++c) {
        ++gAllNum[c];
        if (!cameraOK.at(c))
            ++gFailNum[c];
    }
    if (ngCamera >= 0)
        ++gSyncNGNum;

    AddStatistics(step, cameraOK, lastStep);

    if (ngCamera >= 0 || lastStep) {
        for (int c = 0; c < numCamera; ++c) {
            ++gAllCycleNum[c];
            if (ngCamera == c)
                ++gFailCycleNum[c];
        }
        if (ngCamera >= 0)
            ++gSyncNGCycleNum;
        finishPeriodRecord();
        CountWrite();
    }
    if (ngCamera >= 0)
        startAlarm(step, ngCamera);
}

void MoJuWizard::AddStatistics(int step, const QList<bool>& cameraOK, bool lastStep)
{
    // The statistics switch only stops the day check: verdicts are counted all the same.
    emit sendRecord(step, AppClock::now().time().hour(), cameraOK, lastStep);
}

void MoJuWizard::startAlarm(int step, int camera)
{
    m_viewState = ViewNgAlarm;
    m_alarmCamera = camera;
    JXK_NETMN::getInstance()->viewWatch->sndAlarmStartTiming(step);
    InsertRecord(QStringLiteral("相机%1检测%2报警").arg(camera + 1).arg(step + 1), QStringLiteral("run"));
    m_alarmClearTimer.start();
}

void MoJuWizard::clearAlarm()
{
    if (m_viewState != ViewNgAlarm)
        return;
    // Cleared the way an operator's reset would ("do not detect this mould").
    ViewWatch2VUD* link = JXK_NETMN::getInstance()->viewWatch;
    link->addClearMethod(m_alarmCamera, kClearByReset);
    link->setAlarmState(ViewWatch2VUD::AlarmCleared);
    link->sndAlarmFinishTiming();
    m_viewState = ViewVerdict;
    m_curStep = 0;
    InsertRecord(QStringLiteral("报警复位"), QStringLiteral("operate"));
}

void MoJuWizard::startPeriodRecord()
{
    JXK_NETMN::getInstance()->start_PeriodRecord();
}

void MoJuWizard::finishPeriodRecord()
{
    JXK_NETMN::getInstance()->finish_PeriodRecord();
}

void MoJuWizard::recordRegionResult(int camera, int step, int region, int function, int value, bool passed)
{
    // The simulated regions all carry the same parameters, each with its second byte in use.
    param_roi result;
    result.camera = camera;
    result.detect = step;
    result.roi_id = region;
    result.algorithm_type = function;
    result.algorithm_result = value;
    result.algorithm_sensitivity = 0x0100 | 30;
    result.algorithm_areaMin = 0x0200 | 50;
    result.packed = 0x0100 | 8;
    result.roi_result = passed ? 1 : 0;
    JXK_NETMN* netmn = JXK_NETMN::getInstance();
    QMutexLocker lock(&netmn->roiMutex);
    netmn->roiCache.insert(JXK_NETMN::roiKey(camera, step, region), result);
}

void MoJuWizard::clearNetworkResults()
{
    JXK_NETMN::getInstance()->clearResults();
}

WizardParaWidget* MoJuWizard::settingsPage()
{
    if (!m_settingsPage)
        m_settingsPage = std::make_unique<WizardParaWidget>();
    return m_settingsPage.get();
}

void MoJuWizard::slotExportProgress(int total, int done)
{
    // No file to export counts as nothing done yet; more reports than files stay at 100.
    const int percent = total > 0 ? qBound(0, done * 100 / total, 100) : 0;
    m_exportLabel->setText(tr("生产统计导出中%1%").arg(percent));
}

void MoJuWizard::slotExportFinish()
{
    m_exportLabel->clear();
}
