#include "config/wizardparawidget.h"

#include "detection/mapplication.h"
#include "detection/mojuwizard.h"
#include "netservices/netcards/networksettingdialog.h"
#include "netservices/netcards/versiondownloaddialog.h"
#include "records/copy2movedisk.h"
#include "records/resstatisticsparam.h"
#include "vision/wizardpara.h"
#include "widgets/publictools_widget.h"

#include <QPushButton>

#include <QtDebug>

namespace {

// The machine type whose step count can be changed on the settings page.
constexpr int kConfigurableStepsMachine = 3;

}  // namespace

WizardParaWidget::WizardParaWidget(QWidget* parent) : QWidget(parent)
{
    m_updateButton = new QPushButton(QStringLiteral("在线升级"), this);
    m_updateButton->setFixedSize(200, 60);
    connect(m_updateButton, &QPushButton::clicked, this, &WizardParaWidget::SlotToVerion);
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
