#include "records/saveimagesettingdailog.h"

#include "base/lanstr.h"
#include "widgets/edit.h"
#include "widgets/publictools_widget.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QVBoxLayout>

namespace {

const QString kDays = QStringLiteral("days");
const QString kUseDisk = QStringLiteral("useDiskSaveImage");
const QString kLostAlarm = QStringLiteral("lostUpanAlarm");

CheckBox* settingBox(const QString& text, QWidget* parent)
{
    auto* box = new CheckBox(parent, text);
    QFont font(QStringLiteral("wqy-microhei"));
    font.setPixelSize(33);
    box->setFont(font);
    // 300 wide as drawn, wider where the caption needs it (the Chinese one does at 33 px).
    box->setMinimumSize(300, 60);
    box->setFixedHeight(60);
    return box;
}

}  // namespace

SaveImageSettingDailog::SaveImageSettingDailog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint)
{
    auto* label = new QLabel(tr("储存天数"), this);
    label->setFixedSize(150, 50);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setStyleSheet(QStringLiteral("QLabel{color:white;font-size:33px;}"));
    editDays = new Edit(Edit::TypeInteger, this, 1);
    editDays->setFixedSize(200, 50);
    editDays->setAlignment(Qt::AlignCenter);
    editDays->setStyleSheet(editDays->styleSheet() + QStringLiteral("Edit{color:black;font-size:33px;}"));
    // Whole day counts only: the keypad then offers no sign and takes no fifth digit.
    editDays->setValidator(new QIntValidator(kMinDays, kMaxDays, editDays));

    useDisk = settingBox(tr("启用磁盘存储图片记录"), this);
    lostAlarm = settingBox(lanText(678), this);

    auto* confirm = new ColorButton(tr("确定"), this, 3);
    auto* cancel = new ColorButton(tr("取消"), this, 3);
    confirm->setObjectName(QStringLiteral("confirm"));
    cancel->setObjectName(QStringLiteral("cancel"));
    confirm->setFixedSize(150, 70);
    cancel->setFixedSize(150, 70);
    connect(confirm, &QPushButton::clicked, this, &SaveImageSettingDailog::confirm);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // 300 pixels hold the four rows only with small margins and gaps.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 12, 40, 12);
    column->setSpacing(4);
    auto* daysRow = new QHBoxLayout;
    daysRow->addStretch(1);
    daysRow->addWidget(label);
    daysRow->addWidget(editDays);
    daysRow->addStretch(1);
    column->addLayout(daysRow);
    column->addWidget(useDisk, 0, Qt::AlignHCenter);
    column->addWidget(lostAlarm, 0, Qt::AlignHCenter);
    column->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(confirm);
    buttons->addSpacing(40);
    buttons->addWidget(cancel);
    buttons->addStretch(1);
    column->addLayout(buttons);

    setFixedSize(600, 300);
    setStyleSheet(QStringLiteral("QDialog{background-image: url(./images/background.png);"
                                 "background-color:rgb(110,110,110);outline:0px;border:none;}"));
}

void SaveImageSettingDailog::init(QJsonObject json)
{
    if (json.contains(kDays))
        setDays(json.value(kDays).toInt(0));
    if (json.contains(kUseDisk))
        useDisk->setValue(json.value(kUseDisk).toInt(0));
    if (json.contains(kLostAlarm))
        lostAlarm->setValue(json.value(kLostAlarm).toInt(0));
}

void SaveImageSettingDailog::save(QJsonObject& json)
{
    bool ok = false;
    const int days = getDays(&ok);
    json.insert(kDays, ok ? days : -1);
    json.insert(kUseDisk, useDisk->value());
    json.insert(kLostAlarm, lostAlarm->value());
}

void SaveImageSettingDailog::setDays(int days)
{
    editDays->setValue(days);
}

int SaveImageSettingDailog::getDays(bool* ok)
{
    bool number = false;
    const int days = editDays->text().trimmed().toInt(&number, 10);
    // Day folders to keep: a whole number in range; anything else keeps the old value.
    const bool valid = number && days >= kMinDays && days <= kMaxDays;
    if (ok)
        *ok = valid;
    return valid ? days : 0;
}

void SaveImageSettingDailog::confirm()
{
    // An empty field keeps the stored count (save() writes -1); a count out of range is said so,
    // and the dialog stays open for another one.
    bool ok = false;
    getDays(&ok);
    if (!ok && !editDays->text().trimmed().isEmpty()) {
        WarnBox box(this);
        box.setText(tr("储存天数须为%1到%2之间的整数").arg(kMinDays).arg(kMaxDays));
        box.exec();
        return;
    }
    accept();
}
