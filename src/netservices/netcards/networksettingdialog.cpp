#include "netservices/netcards/networksettingdialog.h"

#include "base/lanstr.h"

NetworkSettingDialog* gpNetDialog = nullptr;

NetworkSettingDialog::NetworkSettingDialog(QWidget* parent) : CComp_DialogFrame(lanText(328), parent)
{
}
