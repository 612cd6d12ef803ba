#include "config/wizardparawidget.h"

#include "records/copy2movedisk.h"
#include "records/resstatisticsparam.h"
#include "vision/wizardpara.h"

#include <QtDebug>

namespace {

// The machine type whose step count can be changed on the settings page.
constexpr int kConfigurableStepsMachine = 3;

}  // namespace

WizardParaWidget::WizardParaWidget(QWidget* parent) : QWidget(parent)
{
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
