#pragma once

#include "widgets/dialogframe.h"

// The network settings screen: card tiles, companion-link settings and the ping tool.
class NetworkSettingDialog : public CComp_DialogFrame {
    Q_OBJECT
public:
    explicit NetworkSettingDialog(QWidget* parent = nullptr);
};
