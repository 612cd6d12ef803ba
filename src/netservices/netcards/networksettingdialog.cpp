#include "netservices/netcards/networksettingdialog.h"

#include "base/lanstr.h"
#include "base/platform.h"
#include "base/publictools.h"
#include "base/safefile.h"
#include "detection/counters.h"
#include "detection/mapplication.h"
#include "netservices/companion/network.h"
#include "netservices/netcards/networkmanager.h"
#include "widgets/edit.h"
#include "widgets/editip.h"
#include "widgets/numberinput.h"
#include "widgets/numcharinput.h"
#include "widgets/publictools_widget.h"

#include <QFile>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPixmap>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScroller>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QtDebug>

NetworkSettingDialog* gpNetDialog = nullptr;

namespace {

const char* const kFontFamily = "wqy-microhei";
const char* const kTileStyle =
    "QWidget{border-style:solid;background-color:rgb(110,110,110);border: 0px;border-left: 10px solid %1;}";
const char* const kCancelStyle = "outline:0px;border:none;font-size:%1px;color:white;background-color:#E91E63;";
const char* const kLabelStyle = "QLabel{border:none;background:transparent;color:white;font-size:20px;}";
constexpr int kTileWidth = 680;
constexpr int kTileHeight = 120;
// Controls of the card settings: tall enough for a finger, text big enough to read at arm's length.
constexpr int kControlHeight = 50;
constexpr int kControlFontPx = 24;
constexpr int kCaptionWidth = 200;

QLabel* tileLabel(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setStyleSheet(QString::fromLatin1(kLabelStyle));
    label->setGeometry(geometry);
    return label;
}

// Shows text in the label, cut with "…" to the label's width; the whole text is its tool tip.
void setElidedText(QLabel* label, const QString& text)
{
    label->ensurePolished();
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, label->width());
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

QFont controlFont()
{
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(kControlFontPx);
    return font;
}

// A button showing a picture from "./images/" at the size it was drawn.
void setImageIcon(QPushButton* button, const QString& file)
{
    const QPixmap icon(file);
    button->setIcon(icon);
    button->setIconSize(icon.isNull() ? QSize(40, 40) : icon.size());
}

// A dotted IPv4 address as a number; false when the text is not one.
bool toIpv4(const QString& text, quint32* value)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    quint32 result = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint octet = part.toUInt(&ok);
        if (!ok || octet > 255)
            return false;
        result = (result << 8) | octet;
    }
    *value = result;
    return true;
}

// A netmask is ones followed by zeros, and at least one one: 0.0.0.0 would take the card's
// network down.
bool isNetmask(quint32 mask)
{
    return mask != 0 && (~mask & (~mask + 1)) == 0;
}

// An address a card or a server may have on the network of the mask: unicast, not loopback, not
// the network's own address nor its broadcast (which /31 and /32 networks do not have).
bool isHostAddress(quint32 address, quint32 mask)
{
    const quint32 first = address >> 24;
    if (first == 0 || first == 127 || first >= 224)
        return false;
    const quint32 host = address & ~mask;
    return ~mask <= 1 || (host != 0 && host != ~mask);
}

// What an address field holds for the card files: nothing when it was left empty (no gateway,
// no name server), else the dotted address.
QString fieldAddress(const EditIP* edit)
{
    return edit->isEmpty() ? QString() : edit->getAddress();
}

QPushButton* cancelButton(QDialog* dialog, const QString& text, int fontPx = 32)
{
    auto* cancel = new QPushButton(text, dialog);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setFixedSize(100, 50);
    cancel->setStyleSheet(QString::fromLatin1(kCancelStyle).arg(fontPx));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return cancel;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Network_CardItem::Network_CardItem(const stu_netinfo& info, QWidget* parent) : QWidget(parent), m_info(info)
{
    setFixedSize(kTileWidth, kTileHeight);
    setAttribute(Qt::WA_StyledBackground);
    chgHardWare(false);

    // Three rows of 20 px text left of the in-use mark and the modify button: name and hardware
    // address; address, mask and gateway; description, priority and receive rate.
    int x = 18;
    if (info.iswifi) {
        QLabel* wifi = tileLabel(this, "labwifi", QRect(x, 6, 40, 40));
        wifi->setPixmap(QPixmap(QStringLiteral("./images/wifi.png")));
        wifi->setScaledContents(true);
        x += 45;
    }
    QLabel* name = tileLabel(this, "labname", QRect(x, 4, 340 - x, 44));
    name->setStyleSheet(QStringLiteral("QLabel{border:none;background:transparent;color:rgb(128,216,255);"
                                       "font-size:30px;font-weight:bold;}"));
    setElidedText(name, info.name);
    // The widest hardware address is 186 px in 20 px type.
    setElidedText(tileLabel(this, "labmac", QRect(346, 12, 190, 28)), info.mac);
    tileLabel(this, "labip", QRect(18, 52, 172, 28));
    tileLabel(this, "labmask", QRect(192, 52, 172, 28));
    tileLabel(this, "labroute", QRect(366, 52, 172, 28));
    QLabel* tip = tileLabel(this, "labtip", QRect(18, 86, 290, 28));
    tip->setMaximumWidth(400);
    tileLabel(this, "labpriority", QRect(312, 86, 80, 28))
        ->setStyleSheet(QStringLiteral("QLabel{border:none;background:transparent;color:yellow;font-size:20px;}"));
    QLabel* rate = tileLabel(this, "labspeed", QRect(396, 86, 142, 28));
    rate->setMinimumWidth(80);
    rate->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QLabel* unused = tileLabel(this, "labuse", QRect(542, 30, 60, 60));
    unused->setPixmap(QPixmap(QStringLiteral("./images/error.png")));
    unused->setScaledContents(true);

    m_whole = tileLabel(this, "labwhole", QRect(10, 0, 532, kTileHeight));
    m_whole->setStyleSheet(QStringLiteral("QLabel{border:none;background-color:rgb(80,80,80);color:white;"
                                          "font-size:20px;padding-left:8px;}"));
    m_whole->setWordWrap(true);
    m_whole->setTextFormat(Qt::RichText);
    m_whole->setAttribute(Qt::WA_TransparentForMouseEvents);   // the touch that hides it is the tile's
    m_whole->hide();
    m_wholeTimer.setSingleShot(true);
    m_wholeTimer.setInterval(5000);
    connect(&m_wholeTimer, &QTimer::timeout, m_whole, &QWidget::hide);

    auto* modify = new QPushButton(this);
    modify->setObjectName(QStringLiteral("btnmodify"));
    modify->setGeometry(608, 35, 60, 50);
    modify->setStyleSheet(QStringLiteral("QPushButton{border:none;background-color:#00BCD4;color:white;font-size:20px;}"));
    setImageIcon(modify, QStringLiteral("./images/modify.png"));
    connect(modify, &QPushButton::released, this, &Network_CardItem::slotChgCardInfo);

    if (info.ispriority)
        NetworkManager::getInstance()->setPriorityCardName(info.name);
    reload_information(info);
}

void Network_CardItem::reload_information(const stu_netinfo& info)
{
    m_info = info;
    // A card on DHCP keeps its static settings in the card files for a return to them, but they
    // are not what it runs with: the tile says it takes its address automatically instead.
    setElidedText(findChild<QLabel*>(QStringLiteral("labip")), info.isdhcp ? lanText(609) : info.address);
    setElidedText(findChild<QLabel*>(QStringLiteral("labmask")), info.isdhcp ? QString() : info.netmask);
    setElidedText(findChild<QLabel*>(QStringLiteral("labroute")), info.isdhcp ? QString() : info.gateway);
    QLabel* tip = findChild<QLabel*>(QStringLiteral("labtip"));
    setElidedText(tip, info.describe);
    tip->setVisible(gLan != 3);
    findChild<QLabel*>(QStringLiteral("labuse"))->setVisible(!info.use);
    findChild<QLabel*>(QStringLiteral("labpriority"))->setText(info.ispriority ? QStringLiteral("优先启用") : QString());
}

void Network_CardItem::mouseReleaseEvent(QMouseEvent* event)
{
    // A finger has no hover: touching the tile shows the whole name and description over it
    // for a while; touching it again goes back.
    if (rect().contains(event->pos()))
        showWholeText(!m_whole->isVisible());
    QWidget::mouseReleaseEvent(event);
}

void Network_CardItem::showWholeText(bool show)
{
    if (!show) {
        m_whole->hide();
        return;
    }
    QString text = QStringLiteral("<b>%1</b>").arg(m_info.name.toHtmlEscaped());
    if (gLan != 3)
        text += QStringLiteral("<br>") + m_info.describe.toHtmlEscaped();
    m_whole->setText(text);
    m_whole->raise();
    m_whole->show();
    m_wholeTimer.start();
}

void Network_CardItem::chgHardWare(bool running)
{
    setStyleSheet(QString::fromLatin1(kTileStyle).arg(running ? QStringLiteral("green") : QStringLiteral("red")));
}

void Network_CardItem::updateSpeed(const QString& rate)
{
    findChild<QLabel*>(QStringLiteral("labspeed"))->setText(rate);
}

void Network_CardItem::slotChgCardInfo()
{
    Network_CardItem_SetDia dialog(m_info, gpNetDialog);
    if (gpNetDialog)
        dialog.move(gpNetDialog->geometry().center() - dialog.rect().center());
    const int result = dialog.exec();
    if (gpNumPad)
        gpNumPad->close();
    if (gpNumCharPad)
        gpNumCharPad->close();
    if (result != QDialog::Accepted)
        return;
    m_info = dialog.getNetINfo();
    if (m_info.ispriority)
        NetworkManager::getInstance()->setPriorityCardName(m_info.name);
    QTimer::singleShot(100, this, &Network_CardItem::sigUpdateAll);
    MApplication::manualStopTscTimeup();
}

// ---------------------------------------------------------------------------------------------

Network_CardItem_SetDia::Network_CardItem_SetDia(const stu_netinfo& info, QWidget* parent)
    : CComp_DialogFrame(QStringLiteral("Net_Card Setting"), parent), m_info(info)
{
    setFixedSize(800, info.iswifi ? 800 : 500);
    setStyleSheet(QStringLiteral("QDialog{background-color:rgb(110,110,110);border: 1px solid #BDBDBD;}"
                                 "QLabel{color:white;font-size:22px;} QCheckBox{color:white;font-size:22px;}"));
    addTitleWgt(cancelButton(this, QStringLiteral("cancel"), 24));
    QVBoxLayout* body = bodyLayout();
    body->setSpacing(0);

    // The card's whole name and description, which its tile may show cut.
    auto* header = new QLabel(this);
    header->setObjectName(QStringLiteral("labcard"));
    header->setWordWrap(true);
    header->setTextFormat(Qt::RichText);
    header->setFont(controlFont());
    header->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    header->setText(QStringLiteral("<span style=\"font-size:28px;font-weight:bold;color:rgb(128,216,255)\">%1</span>"
                                   "&nbsp;&nbsp;%2")
                        .arg(info.name.toHtmlEscaped(), info.describe.toHtmlEscaped()));
    body->addWidget(header);

    // Every row keeps its finger size; the rows share what is left of the height evenly.
    const auto addRow = [body](QWidget* widget, QLayout* layout) {
        body->addStretch(1);
        if (widget)
            body->addWidget(widget);
        else
            body->addLayout(layout);
    };
    const auto row = [addRow, this](const QString& caption, QWidget* control) {
        auto* line = new QHBoxLayout;
        auto* label = new QLabel(caption, this);
        label->setFixedWidth(kCaptionWidth);
        label->setFont(controlFont());
        line->addWidget(label);
        control->setFixedHeight(kControlHeight);
        control->setFont(controlFont());
        line->addWidget(control, 1);
        addRow(nullptr, line);
    };
    const auto combo = [this](const char* name, const QStringList& items) {
        auto* box = new ComboBox(this);
        box->setObjectName(QLatin1String(name));
        CComp_DialogFrame::setStyleCombobox(box, nullptr, QStringLiteral("QComboBox{min-height:%1px;font-size:%2px;}")
                                                              .arg(kControlHeight - 4)
                                                              .arg(kControlFontPx));
        box->setItemHeight(kControlHeight);
        box->addItems(items);
        return box;
    };
    const auto textField = [this](const char* name, const QString& text) {
        auto* field = new Edit(Edit::TypeText, this, 1);
        field->setObjectName(QLatin1String(name));
        field->setStyleSheet(field->styleSheet() + QStringLiteral("QLineEdit{font-size:%1px;}").arg(kControlFontPx));
        if (!text.isEmpty())
            field->setText(text);
        return field;
    };

    if (info.iswifi) {
        ComboBox* use = combo("QComboBox_pComUse", {lanText(250), lanText(251)});
        use->setCurrentIndex(info.use ? 0 : 1);
        row(lanText(613), use);

        Edit* hotName = textField("Edit_editHotName", info.hotname);
        row(QStringLiteral("wifi名称:"), hotName);

        QStringList scanned = NetworkManager::getInstance()->getHotPoints(info.name);
        if (!info.hotname.isEmpty() && !scanned.contains(info.hotname))
            scanned << info.hotname;
        ComboBox* networks = combo("QComboBox_pLabHotName", scanned);
        if (!info.hotname.isEmpty())
            networks->setCurrentText(info.hotname);
        connect(networks, &QComboBox::textActivated, hotName, &QLineEdit::setText);
        row(QString(), networks);

        row(lanText(669), textField("Edit_editPasswd", info.passwd));
    }

    ComboBox* tool = combo("QComboBox_pComTool", {lanText(608), lanText(609)});
    tool->setCurrentIndex(info.isdhcp ? 1 : 0);
    row(lanText(610), tool);

    auto* priority = new CheckBox(this, QStringLiteral("优先"));
    priority->setObjectName(QStringLiteral("RouteMetric"));
    priority->setValue(info.ispriority ? 1 : 0);
    priority->setFixedHeight(kControlHeight);
    priority->setStyleSheet(priority->styleSheet() + QStringLiteral("QCheckBox{font-size:%1px;}").arg(kControlFontPx));
    addRow(priority, nullptr);

    const struct {
        const char* name;
        QString title;
        QString value;
    } addresses[] = {{"IPAddressEdite_IP", QStringLiteral("IP :"), info.address},
                     {"IPAddressEdite_Mask", lanText(330), info.netmask},
                     {"IPAddressEdite_Route", lanText(611), info.gateway},
                     {"IPAddressEdite_DNS", lanText(612), info.dns}};
    QList<EditIP*> staticFields;
    for (const auto& address : addresses) {
        auto* edit = new EditIP(address.title, 1, this);
        edit->setObjectName(QLatin1String(address.name));
        edit->setFixedSize(550, kControlHeight);
        edit->setAddress(address.value);
        addRow(edit, nullptr);
        staticFields << edit;
    }
    // Under DHCP the card script applies none of the addresses: they keep their values for a
    // return to static, but cannot be edited as if they counted.
    const auto enableStaticFields = [staticFields](int mode) {
        for (EditIP* edit : staticFields)
            edit->setEnabled(mode == 0);
    };
    connect(tool, QOverload<int>::of(&QComboBox::currentIndexChanged), this, enableStaticFields);
    enableStaticFields(tool->currentIndex());
}

stu_netinfo Network_CardItem_SetDia::getNetINfo()
{
    if (auto* use = findChild<QComboBox*>(QStringLiteral("QComboBox_pComUse")))
        m_info.use = use->currentIndex() == 0;
    if (auto* hotName = findChild<QLineEdit*>(QStringLiteral("Edit_editHotName")))
        m_info.hotname = hotName->text();
    if (auto* passwd = findChild<QLineEdit*>(QStringLiteral("Edit_editPasswd")))
        m_info.passwd = passwd->text();
    if (auto* tool = findChild<QComboBox*>(QStringLiteral("QComboBox_pComTool")))
        m_info.isdhcp = tool->currentIndex() == 1;
    if (auto* priority = findChild<CheckBox*>(QStringLiteral("RouteMetric")))
        m_info.ispriority = priority->value() != 0;
    if (auto* ip = findChild<EditIP*>(QStringLiteral("IPAddressEdite_IP")))
        m_info.address = fieldAddress(ip);
    if (auto* mask = findChild<EditIP*>(QStringLiteral("IPAddressEdite_Mask")))
        m_info.netmask = fieldAddress(mask);
    if (auto* route = findChild<EditIP*>(QStringLiteral("IPAddressEdite_Route")))
        m_info.gateway = fieldAddress(route);
    if (auto* dns = findChild<EditIP*>(QStringLiteral("IPAddressEdite_DNS")))
        m_info.dns = fieldAddress(dns);
    return m_info;
}

QString Network_CardItem_SetDia::staticSettingsProblem() const
{
    const auto* tool = findChild<QComboBox*>(QStringLiteral("QComboBox_pComTool"));
    const auto* use = findChild<QComboBox*>(QStringLiteral("QComboBox_pComUse"));
    // DHCP, or a Wi-Fi card left unused, applies none of the static fields.
    if ((tool && tool->currentIndex() == 1) || (use && use->currentIndex() != 0))
        return QString();
    const auto* ip = findChild<EditIP*>(QStringLiteral("IPAddressEdite_IP"));
    const auto* mask = findChild<EditIP*>(QStringLiteral("IPAddressEdite_Mask"));
    const auto* route = findChild<EditIP*>(QStringLiteral("IPAddressEdite_Route"));
    const auto* dns = findChild<EditIP*>(QStringLiteral("IPAddressEdite_DNS"));
    const QString badAddress = tr("静态地址需要有效的IP地址");
    quint32 address = 0;
    quint32 netmask = 0;
    if (!ip->isComplete() || !toIpv4(ip->getAddress(), &address))
        return badAddress;
    if (!mask->isComplete() || !toIpv4(mask->getAddress(), &netmask) || !isNetmask(netmask))
        return tr("静态地址需要有效的子网掩码\n(连续的1，如 255.255.255.0)");
    if (!isHostAddress(address, netmask))
        return badAddress;
    // A gateway and a name server are optional; one that is given must be a whole address.
    const auto optionalProblem = [](const EditIP* edit) {
        quint32 value = 0;
        return !edit->isEmpty() && (!edit->isComplete() || !toIpv4(edit->getAddress(), &value) || !isHostAddress(value, 0));
    };
    if (optionalProblem(route))
        return tr("默认网关须为有效的地址，或留空");
    // The card reaches its gateway directly: one outside the card's network is unreachable, and
    // the card script would apply a default route that leads nowhere.
    quint32 gateway = 0;
    if (!route->isEmpty() && toIpv4(route->getAddress(), &gateway) && (gateway & netmask) != (address & netmask))
        return tr("默认网关须与IP地址在同一网段，或留空");
    if (optionalProblem(dns))
        return tr("默认DNS须为有效的地址，或留空");
    return QString();
}

void Network_CardItem_SetDia::acceptDialog()
{
    // Nothing is written or applied for settings that would leave the card off the network.
    const QString problem = staticSettingsProblem();
    if (!problem.isEmpty()) {
        qWarning().noquote() << "settings of card" << m_info.name << "refused:" << QString(problem).replace(QLatin1Char('\n'), QLatin1Char(' '));
        WarnBox box(this);
        box.setText(problem);
        box.exec();
        return;
    }
    CComp_DialogFrame::acceptDialog();
}

// ---------------------------------------------------------------------------------------------

NetworkSettingDialog::NetworkSettingDialog(QWidget* parent) : CComp_DialogFrame(lanText(328), parent)
{
    setGeometry(0, 0, gShowW, gShowH);
    QFont dialogFont(QString::fromLatin1(kFontFamily));
    dialogFont.setPixelSize(22);
    setFont(dialogFont);
    addTitleWgt(cancelButton(this, QStringLiteral("取消")));

    NetworkManager* manager = NetworkManager::getInstance();
    manager->initnetcard(false);
    manager->NDSpeed_Touch(true, 500);

    auto* columns = new QHBoxLayout;
    bodyLayout()->addLayout(columns, 1);

    auto* scroll = new QScrollArea(this);
    scroll->setMinimumWidth(700);
    scroll->setFixedWidth(820);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;}"));
    // A finger drags the column: past eight cards a thin scroll bar is hard to hit.
    QScroller::grabGesture(scroll->viewport(), QScroller::LeftMouseButtonGesture);
    auto* tileColumn = new QWidget;
    tileColumn->setStyleSheet(QStringLiteral("background:transparent;"));
    auto* tileLayout = new QVBoxLayout(tileColumn);
    tileLayout->setSpacing(10);
    tileLayout->setContentsMargins(0, 0, 0, 0);
    int columnHeight = 0;
    const QMap<QString, stu_netinfo> cards = manager->readNetInfo();
    for (const stu_netinfo& card : cards) {
        auto* tile = new Network_CardItem(card, tileColumn);
        connect(tile, &Network_CardItem::sigUpdateAll, this, &NetworkSettingDialog::slotUpdateAll, Qt::QueuedConnection);
        m_tiles.insert(card.name, tile);
        tileLayout->addWidget(tile);
        columnHeight += tile->minimumHeight() + 10;
    }
    tileColumn->setFixedSize(800, columnHeight);
    scroll->setWidget(tileColumn);
    columns->addWidget(scroll);
    columns->addSpacing(40);

    m_checkTimer.setInterval(1000);
    connect(&m_checkTimer, &QTimer::timeout, this, &NetworkSettingDialog::slotTimeout_ChKState);
    m_checkTimer.start();
    ininconfig();

    auto* right = new QVBoxLayout;
    right->setSpacing(20);
    columns->addLayout(right, 1);
    auto* stateRow = new QHBoxLayout;
    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("lab_showstate"));
    m_state->setStyleSheet(QStringLiteral("color:rgb(128,216,255);font-size:20px;"));
    stateRow->addWidget(m_state, 1);
    m_apply = new QPushButton(this);
    m_apply->setObjectName(QStringLiteral("btnapply"));
    m_apply->setFixedSize(100, 50);
    m_apply->setStyleSheet(QStringLiteral("border:none;background-color:#00BCD4;color:white;font-size:22px;"));
    setImageIcon(m_apply, QStringLiteral("./images/Rotate.png"));
    connect(m_apply, &QPushButton::clicked, this, &NetworkSettingDialog::slotUpdateVUD);
    stateRow->addWidget(m_apply);
    right->addLayout(stateRow);

    m_apiBox = new CheckBox(this, QStringLiteral("是否开启API接口功能"));
    m_netBox = new CheckBox(this, lanText(598));
    m_videoBox = new CheckBox(this, lanText(599));
    for (CheckBox* box : {m_apiBox, m_netBox, m_videoBox}) {
        box->setStyleSheet(box->styleSheet() + QStringLiteral("QCheckBox{color:white;font-size:24px;}"));
        right->addWidget(box);
    }

    auto* idRow = new QHBoxLayout;
    auto* idLabel = new QLabel(lanText(600), this);
    idLabel->setStyleSheet(QStringLiteral("color:white;font-size:24px;"));
    idRow->addWidget(idLabel);
    m_deviceId = new Edit(Edit::TypeText, this, 1);
    m_deviceId->setObjectName(QStringLiteral("Edit_deviceId"));
    // Left to the row, the field shrank to a sliver that no finger could hit nor eye read.
    m_deviceId->setFixedSize(200, 50);
    m_deviceId->setStyleSheet(m_deviceId->styleSheet() + QStringLiteral("QLineEdit{font-size:24px;}"));
    idRow->addWidget(m_deviceId);
    idRow->addStretch(1);
    right->addLayout(idRow);

    m_serverIp = new EditIP(lanText(602), 1, this);
    right->addWidget(m_serverIp);
    m_vudTimer.setInterval(1000);
    connect(&m_vudTimer, &QTimer::timeout, this, &NetworkSettingDialog::slotTimeout_VUDState);
    m_vudTimer.start();

    auto* pingRow = new QHBoxLayout;
    m_pingTarget = new Edit(Edit::TypeText, this, 1);
    m_pingTarget->setObjectName(QStringLiteral("Edit_pingTarget"));
    m_pingTarget->setFixedSize(400, 50);
    m_pingTarget->setStyleSheet(m_pingTarget->styleSheet() + QStringLiteral("QLineEdit{font-size:24px;}"));
    // An empty server field gives no target (its address would read 0.0.0.0).
    connect(m_serverIp, &EditIP::textchange, m_pingTarget,
            [this](const QString& address) { m_pingTarget->setText(m_serverIp->isEmpty() ? QString() : address); });
    pingRow->addWidget(m_pingTarget);
    m_pingButton = new QPushButton(QStringLiteral("Ping"), this);
    m_pingButton->setObjectName(QStringLiteral("btnping"));
    m_pingButton->setFixedSize(150, 50);
    m_pingButton->setStyleSheet(QStringLiteral("outline:0px;border:none;font-size:28px;color:white;background-color:#00BCD4;"));
    connect(m_pingButton, &QPushButton::clicked, this, &NetworkSettingDialog::slotPing);
    pingRow->addWidget(m_pingButton);
    pingRow->addStretch(1);
    right->addLayout(pingRow);

    m_pingPanel = new TextShowWidget(this);
    m_pingPanel->setMinimumHeight(300);
    m_pingPanel->hide();
    connect(m_pingPanel, &TextShowWidget::sigHideWidget, this, [this] {
        stopPing();
        m_pingPanel->textEdit()->clear();
    });
    right->addWidget(m_pingPanel, 1);
    right->addStretch(0);
    showConfig();
}

NetworkSettingDialog::~NetworkSettingDialog()
{
    m_checkTimer.stop();
    m_vudTimer.stop();
    stopPing();
    if (gpNetDialog == this)
        gpNetDialog = nullptr;
}

void NetworkSettingDialog::ininconfig()
{
    // A file that does not open or parse reads as empty: every setting keeps its default.
    m_config = stuconfig();
    const QJsonObject object = readNetworkConfig();
    if (object.value(QStringLiteral("devicename")).isString())
        m_config.devicename = object.value(QStringLiteral("devicename")).toString();
    if (object.value(QStringLiteral("serveraddr")).isString())
        m_config.serveraddr = object.value(QStringLiteral("serveraddr")).toString();
    if (object.value(QStringLiteral("device_workapifunc")).isBool())
        m_config.api = object.value(QStringLiteral("device_workapifunc")).toBool();
    if (object.value(QStringLiteral("device_worknetfunc")).isBool())
        m_config.net = object.value(QStringLiteral("device_worknetfunc")).toBool();
    if (object.value(QStringLiteral("device_workvideo")).isBool())
        m_config.video = object.value(QStringLiteral("device_workvideo")).toBool();
}

void NetworkSettingDialog::showConfig()
{
    m_apiBox->setValue(m_config.api);
    m_netBox->setValue(m_config.net);
    m_videoBox->setValue(m_config.video);
    m_deviceId->setText(m_config.devicename);
    m_serverIp->setAddress(m_config.serveraddr);   // the ping target follows
}

void NetworkSettingDialog::slotUpdateVUD()
{
    m_config.api = m_apiBox->value() != 0;
    m_config.net = m_netBox->value() != 0;
    m_config.video = m_videoBox->value() != 0;
    m_config.devicename = m_deviceId->text();
    m_config.serveraddr = m_serverIp->getAddress();

    QJsonObject object;
    const bool writable = networkConfigToUpdate(&object);
    object.insert(QStringLiteral("device_workapifunc"), m_config.api);
    object.insert(QStringLiteral("device_worknetfunc"), m_config.net);
    object.insert(QStringLiteral("device_workvideo"), m_config.video);
    object.insert(QStringLiteral("devicename"), m_config.devicename);
    object.insert(QStringLiteral("serveraddr"), m_config.serveraddr);
    object.insert(QStringLiteral("serverport"), m_config.serverport);
    if (!object.contains(QStringLiteral("videoapp_dir")))
        object.insert(QStringLiteral("videoapp_dir"), m_config.videoapp_dir);
    if (!object.contains(QStringLiteral("workspace")))
        object.insert(QStringLiteral("workspace"), m_config.workspace);
    if (!writable || !writeFileAtomically(JXK_NETMN::configPath(), QJsonDocument(object).toJson(QJsonDocument::Indented)))
        qWarning().noquote() << "network settings not stored in" << JXK_NETMN::configPath();

    JXK_NETMN* network = JXK_NETMN::getInstance();
    network->setWorkTask(m_config.net, m_config.video, m_config.api);
    network->initStart();
}

void NetworkSettingDialog::slotUpdateAll()
{
    NetworkManager* manager = NetworkManager::getInstance();
    QJsonArray wired;
    QJsonArray wifi;
    for (QWidget* widget : qAsConst(m_tiles)) {
        const stu_netinfo& card = static_cast<Network_CardItem*>(widget)->info();
        (card.iswifi ? wifi : wired).append(manager->stu2json(card));
    }
    if (NetworkManager::mayWriteMachineFiles()) {
        const struct {
            const char* path;
            const QJsonArray& cards;
        } files[] = {{NetworkManager::kWiredFile, wired}, {NetworkManager::kWifiFile, wifi}};
        for (const auto& file : files) {
            const QByteArray content = QJsonDocument(QJsonObject{{QStringLiteral("netcard_info"), file.cards}}).toJson();
            if (!writeFileAtomically(Platform::path(QLatin1String(file.path)), content))
                qWarning() << "card file left as it was:" << file.path;
        }
    } else {
        qInfo() << "card files not written off the panel without a machine tree (MOULD_ROOT)";
    }

    manager->initnetcard(true);
    const QMap<QString, stu_netinfo> cards = manager->readNetInfo();
    for (auto it = m_tiles.begin(); it != m_tiles.end(); ++it) {
        if (!cards.contains(it.key()))
            continue;
        static_cast<Network_CardItem*>(it.value())->reload_information(cards.value(it.key()));
        it.value()->repaint();
    }
}

void NetworkSettingDialog::slotTimeout_ChKState()
{
    if (isHidden())
        return;
    const QMap<QString, stu_speedinfo> table = NetworkManager::getInstance()->speedTable();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        auto* tile = static_cast<Network_CardItem*>(m_tiles.value(it.key()));
        if (!tile)
            continue;
        tile->chgHardWare(it->running);
        tile->updateSpeed(it->rateText);
    }
}

void NetworkSettingDialog::slotTimeout_VUDState()
{
    if (isHidden())
        return;
    m_state->setText(QStringLiteral("Unknow"));
    int row = 607;
    switch (JXK_NETMN::getInstance()->isAllowSnd_2_VW()) {
    case -1: row = 605; break;
    case -2: row = 603; break;
    case -3: row = 604; break;
    case -4: row = 606; break;
    default: break;
    }
    m_state->setText(lanText(row));
}

bool NetworkSettingDialog::isPingTarget(const QString& target)
{
    static const QRegularExpression blank(QStringLiteral("\\s"));
    return !target.isEmpty() && !target.contains(blank) && !target.startsWith(QLatin1Char('-'))
           && target != QLatin1String("0.0.0.0");
}

void NetworkSettingDialog::slotPing()
{
    const QString target = m_pingTarget->text();
    if (!isPingTarget(target)) {
        qWarning() << "ping target refused:" << target;
        WarnBox box(this);
        box.setText(tr("请先输入要Ping的地址"));
        box.exec();
        return;
    }
    m_pingPanel->show();
    stopPing();
    m_pingPanel->textEdit()->clear();
    qInfo() << "start ping";
    auto stop = std::make_shared<std::atomic<bool>>(false);
    m_pingStop = stop;
    CommandRunner* runner = CommandRunner::instance();
    const quint64 run = m_pingRun;
    m_pingThread = QThread::create([this, runner, target, stop, run] {
        runner->runStreaming(QStringLiteral("ping"), {target}, [this, run](const QByteArray& line) {
            const QString text = QString::fromLocal8Bit(line);
            QMetaObject::invokeMethod(this, [this, text, run] {
                if (run == m_pingRun)
                    m_pingPanel->textEdit()->append(text);
            }, Qt::QueuedConnection);
        }, stop.get());
    });
    m_pingThread->start();
    qInfo() << "ping finish";
}

void NetworkSettingDialog::stopPing()
{
    // Lines of the ended ping still on their way to the panel are dropped on arrival.
    ++m_pingRun;
    if (!m_pingThread)
        return;
    m_pingStop->store(true);
    m_pingThread->wait();
    delete m_pingThread;
    m_pingThread = nullptr;
}

void NetworkSettingDialog::showEvent(QShowEvent* event)
{
    // The screen lives on between visits: what a cancelled visit changed is dropped, and the
    // controls show what the file (and so the network manager) holds.
    ininconfig();
    showConfig();
    CComp_DialogFrame::showEvent(event);
    m_checkTimer.start(1000);
    m_vudTimer.start(1000);
    NetworkManager::getInstance()->NDSpeed_Touch(true, 500);
}

void NetworkSettingDialog::hideEvent(QHideEvent* event)
{
    m_checkTimer.stop();
    m_vudTimer.stop();
    stopPing();
    m_pingPanel->hide();
    CComp_DialogFrame::hideEvent(event);
}
