#include "config/wizardparawidget.h"

#include "base/lanstr.h"
#include "detection/counters.h"
#include "detection/mapplication.h"
#include "detection/mojuwizard.h"
#include "netservices/netcards/networksettingdialog.h"
#include "netservices/netcards/versiondownloaddialog.h"
#include "records/copy2movedisk.h"
#include "records/resstatisticsparam.h"
#include "records/saveimagesettingdailog.h"
#include "vision/wizardpara.h"
#include "widgets/publictools_widget.h"

#include <QHBoxLayout>
#include <QJsonObject>
#include <QPushButton>
#include <QVBoxLayout>

#include <QtDebug>

namespace {

// The machine type whose step count can be changed on the settings page.
constexpr int kConfigurableStepsMachine = 3;

}  // namespace

WizardParaWidget::WizardParaWidget(QWidget* parent) : QWidget(parent, parent ? Qt::Widget : Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("WizardParaWidget"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#WizardParaWidget{background-color:rgb(110,110,110);}"));
    QPushButton* pictures = new ColorButton(tr("图片存储"), this, 3);
    QPushButton* network = new ColorButton(lanText(328), this, 3);
    m_updateButton = new ColorButton(QStringLiteral("在线升级"), this, 3);
    QPushButton* confirm = new ColorButton(lanText(121), this, 3);
    QPushButton* back = new ColorButton(lanText(58), this, 3);
    pictures->setObjectName(QStringLiteral("pictureStorage"));
    network->setObjectName(QStringLiteral("network"));
    m_updateButton->setObjectName(QStringLiteral("update"));
    confirm->setObjectName(QStringLiteral("confirm"));
    back->setObjectName(QStringLiteral("return"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 40, 40, 40);
    column->addWidget(pictures);
    column->addWidget(network);
    column->addWidget(m_updateButton);
    column->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* button : {pictures, network, m_updateButton, confirm, back})
        button->setFixedSize(300, 70);
    row->addWidget(confirm);
    row->addWidget(back);
    column->addLayout(row);

    connect(pictures, &QPushButton::clicked, this, &WizardParaWidget::SlotSaveImageSetting);
    connect(network, &QPushButton::clicked, this, &WizardParaWidget::SlotToNetwork);
    connect(m_updateButton, &QPushButton::clicked, this, &WizardParaWidget::SlotToVerion);
    connect(confirm, &QPushButton::clicked, this, [this] {
        accept();
        hide();
    });
    connect(back, &QPushButton::clicked, this, [this] {
        if (gpWPara && gpWParaBak)
            *gpWParaBak = *gpWPara;
        hide();
    });
}

void WizardParaWidget::showPage()
{
    // Not a full-screen request: without a window manager that is ignored, and the page stayed
    // at its layout's size in a corner with the main window's buttons usable beside it.
    setGeometry(0, 0, gShowW, gShowH);
    show();
    raise();
    activateWindow();
}

void WizardParaWidget::SlotSaveImageSetting()
{
    if (!gpWParaBak)
        return;
    QJsonObject json;
    json.insert(QStringLiteral("days"), gpWParaBak->days);
    json.insert(QStringLiteral("lostUpanAlarm"), gpWParaBak->lostUpanAlarm);
    json.insert(QStringLiteral("useDiskSaveImage"), gpWParaBak->useDiskSaveImage);
    SaveImageSettingDailog dialog(this);
    dialog.init(json);
    if (dialog.exec() != QDialog::Accepted)
        return;
    dialog.save(json);
    const int days = json.value(QStringLiteral("days")).toInt(-1);
    if (days != -1)
        gpWParaBak->days = days;
    gpWParaBak->lostUpanAlarm = json.value(QStringLiteral("lostUpanAlarm")).toInt();
    gpWParaBak->useDiskSaveImage = json.value(QStringLiteral("useDiskSaveImage")).toInt();
}

QPair<QString, quint16> WizardParaWidget::updateServer()
{
    const QString setting = qEnvironmentVariable("MOULD_UPDATE_SERVER", QStringLiteral("127.0.0.1"));
    const int colon = setting.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return {setting, VersionDownloadDialog::kDefaultPort};
    bool ok = false;
    const uint port = setting.mid(colon + 1).toUInt(&ok);
    return {setting.left(colon), ok && port > 0 && port < 65536 ? quint16(port) : VersionDownloadDialog::kDefaultPort};
}

void WizardParaWidget::SlotToNetwork()
{
    if (!gpNetDialog)
        gpNetDialog = new NetworkSettingDialog;
    if (gpNetDialog->exec() == QDialog::Accepted)
        gpNetDialog->slotUpdateVUD();
    MApplication::manualStopTscTimeup();
}

void WizardParaWidget::SlotToVerion()
{
    m_updateButton->setEnabled(false);
    const QPair<QString, quint16> server = updateServer();
    {
        VersionDownloadDialog dialog(server.first, server.second, gpWin);
        if (gpWin)
            gpWin->versionDialog = &dialog;
        if (dialog.isReachable()) {
            dialog.exec();
        } else if (gpWarnBox) {
            gpWarnBox->setText(QStringLiteral("网络异常无法访问"));
            gpWarnBox->exec();
        }
    }
    // However the screen or the box was closed, the page stays usable.
    m_updateButton->setEnabled(true);
}

void WizardParaWidget::accept()
{
    if (!gpWPara || !gpWParaBak)
        return;
    const WizardPara before = *gpWPara;
    const WizardPara& edited = *gpWParaBak;

    Copy2MoveDisk* copier = Copy2MoveDisk::getInstance();
    if (edited.days != before.days)
        copier->setDays(edited.days);
    if (edited.useDiskSaveImage != before.useDiskSaveImage) {
        if (edited.useDiskSaveImage == 0)
            copier->stop();
        else
            copier->start();
    }

    ResStatisticsParam* statistics = ResStatisticsParam::getInstance();
    if (edited.machineType == kConfigurableStepsMachine && edited.detectNum != gDNum)
        statistics->checkCameraDetectCount(edited.detectNum);

    *gpWPara = edited;
    if (!gpWPara->save())
        qWarning() << "cannot store the accepted settings";
    statistics->setTimer(gpWPara->isUseStatistics != 0);
}

void WizardParaWidget::setCurrentParaGroup(const QString& name)
{
    if (!gpWPara || !gpWParaBak)
        return;
    gpWPara->groupName = name;
    gpWParaBak->groupName = name;
    if (!gpWPara->save())
        qWarning() << "cannot store the parameter group" << name;
    ResStatisticsParam::getInstance()->curGroupName = name;
}
