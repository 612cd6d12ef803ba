#include "netservices/netcards/versiondownloaddialog.h"

#include "detection/counters.h"
#include "base/lanstr.h"
#include "base/platform.h"
#include "base/safefile.h"
#include "widgets/dialogframe.h"
#include "widgets/publictools_widget.h"

#include <QButtonGroup>
#include <QDateTime>
#include <QDir>
#include <QDomDocument>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkReply>
#include <QPainter>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QScroller>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>

namespace {

const char* const kFontFamily = "wqy-microhei";
const char* const kSuffixes[] = {"gz", "tar", "rar"};
// The package buttons' size; a name wider than the button takes two lines.
constexpr int kPackageButtonWidth = 200;
constexpr int kPackageButtonHeight = 49;
// Where the columns start below the screen's title, and where in a column the buttons start.
constexpr int kColumnsTop = 90;
constexpr int kFirstButtonY = 90;
constexpr int kButtonStep = 80;
// The sideways bar of more than three columns, under the title and clear of the screen's edges
// (the settings page's buttons lie just beyond them).
constexpr int kBarHeight = 30;
constexpr int kBarMargin = 40;
constexpr int kBarGap = 6;

QPushButton* makeButton(const QString& text, QWidget* parent)
{
    return new ColorButton(text, parent, 3);
}

bool bigScreen()
{
    return gShowW > 1024;
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char('_') || c == QLatin1Char('-') || c == QLatin1Char(' ');
}

// The names of one column split into what they all share at the start, what tells each apart
// (its version, mostly) and what they all share at the end (the archive suffix, often more).
// The shared start ends at a separator, so that a version is not split; a name alone in its
// column shares only its archive suffix.
struct NameParts {
    int sharedStart = 0;
    int sharedEnd = 0;
};

NameParts splitColumn(const QStringList& names)
{
    NameParts parts;
    if (names.size() < 2) {
        parts.sharedEnd = names.isEmpty() ? 0 : VersionDownloadDialog::archiveSuffix(names.first()).size();
        return parts;
    }
    int shortest = INT_MAX;
    for (const QString& name : names)
        shortest = qMin(shortest, name.size());
    const QString& first = names.first();
    int start = 0;
    for (; start < shortest; ++start) {
        const QChar c = first.at(start);
        if (!std::all_of(names.cbegin(), names.cend(), [c, start](const QString& name) { return name.at(start) == c; }))
            break;
    }
    while (start > 0 && !isSeparator(first.at(start - 1)))
        --start;
    int end = 0;
    for (; end < shortest - start; ++end) {
        const QChar c = first.at(first.size() - 1 - end);
        if (!std::all_of(names.cbegin(), names.cend(),
                         [c, end](const QString& name) { return name.at(name.size() - 1 - end) == c; }))
            break;
    }
    parts.sharedStart = start;
    parts.sharedEnd = end;
    return parts;
}

// Text cut in its middle by count characters (none when count is 0).
QString cutMiddle(const QString& text, int count)
{
    if (count <= 0)
        return text;
    const int kept = text.size() - count;
    return text.left((kept + 1) / 2) + QStringLiteral("…") + text.right(kept / 2);
}

// Text in at most two lines of room pixels: broken after a separator in the last third of what
// fits on the first line, else where the first line is full. Empty when it does not fit.
QString inTwoLines(const QString& text, const QFontMetrics& metrics, int room)
{
    if (metrics.horizontalAdvance(text) <= room)
        return text;
    int fit = 0;
    while (fit < text.size() && metrics.horizontalAdvance(text.left(fit + 1)) <= room)
        ++fit;
    int cut = fit;
    for (int i = fit; i > fit * 2 / 3; --i) {
        if (isSeparator(text.at(i - 1))) {
            cut = i;
            break;
        }
    }
    const QString rest = text.mid(cut);
    if (metrics.horizontalAdvance(rest) > room)
        return QString();
    return text.left(cut) + QLatin1Char('\n') + rest;
}

// The least count from 0 to most for which fits holds; -1 when it holds for none.
int leastCut(int most, const std::function<bool(int)>& fits)
{
    for (int count = 0; count <= most; ++count) {
        if (fits(count))
            return count;
    }
    return -1;
}

// A package name on its button, told from the other names of its column: in the button's own
// type when it fits, else in two lines of smaller type (20 px, still readable): the whole name
// when it fits them; else what the names share at the start on the first line and the version
// opening the second, the shared parts cut in their middle; else flowing over both lines, the
// shared parts cut first and the version only where nothing else is left to cut.
void setPackageName(QPushButton* button, const QString& name, const NameParts& parts)
{
    const int room = kPackageButtonWidth - 12;
    button->setToolTip(name);
    button->ensurePolished();
    if (button->fontMetrics().horizontalAdvance(name) <= room) {
        button->setText(name);
        return;
    }
    button->setStyleSheet(button->styleSheet() + QStringLiteral("QPushButton{font-size:20px;}"));
    button->ensurePolished();
    const QFontMetrics metrics = button->fontMetrics();
    const auto fits = [&metrics, room](const QString& line) { return metrics.horizontalAdvance(line) <= room; };
    const QString whole = inTwoLines(name, metrics, room);
    if (!whole.isEmpty()) {
        button->setText(whole);
        return;
    }

    const QString start = name.left(parts.sharedStart);
    const QString end = name.right(parts.sharedEnd);
    const QString own = name.mid(start.size(), name.size() - start.size() - end.size());
    // Each shared part keeps two characters on either side of its cut.
    const int startCuttable = qMax(0, start.size() - 4);
    const int endCuttable = qMax(0, end.size() - 4);
    const int startCut = leastCut(startCuttable, [&](int count) { return fits(cutMiddle(start, count)); });
    const int endCut = leastCut(endCuttable, [&](int count) { return fits(own + cutMiddle(end, count)); });
    if (!start.isEmpty() && startCut >= 0 && endCut >= 0) {
        button->setText(cutMiddle(start, startCut) + QLatin1Char('\n') + own + cutMiddle(end, endCut));
        return;
    }
    for (int cut = 0;; ++cut) {
        const int fromStart = qMin(cut, startCuttable);
        const int fromEnd = qMin(cut - fromStart, endCuttable);
        const int fromOwn = qMin(cut - fromStart - fromEnd, own.size());
        const QString shownOwn = fromOwn == 0 ? own : own.left(own.size() - fromOwn) + QStringLiteral("…");
        const QString shown = inTwoLines(cutMiddle(start, fromStart) + shownOwn + cutMiddle(end, fromEnd), metrics, room);
        const bool nothingLeftToCut = fromStart == startCuttable && fromEnd == endCuttable && fromOwn == own.size();
        if (!shown.isEmpty() || nothingLeftToCut) {
            button->setText(shown.isEmpty() ? metrics.elidedText(name, Qt::ElideMiddle, room) : shown);
            return;
        }
    }
}

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const
    {
        if (reply->isRunning())
            reply->abort();
        delete reply;
    }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, ReplyDeleter>;

// Waits in a nested loop until the reply finishes or the time is up; true when it finished.
bool waitForReply(QNetworkReply* reply, int waitMs)
{
    if (reply->isFinished())
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(waitMs);
    loop.exec();
    return reply->isFinished();
}

}  // namespace

v_SelectBox::v_SelectBox(int x, int y, QWidget* parent, int mode)
    : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog | Qt::WindowStaysOnTopHint), m_mode(mode)
{
    setModal(true);
    m_geometry = bigScreen() ? QRect(x, y, 750, 370) : QRect(x, y, 420, 180);
    setGeometry(m_geometry);
    setStyleSheet(QStringLiteral("QDialog{background-color:rgb(60,60,60);}"));
    const QSize buttonSize = bigScreen() ? QSize(200, 60) : QSize(120, 40);
    const int buttonY = m_geometry.height() - buttonSize.height() - 20;
    if (mode == 1) {
        QPushButton* confirm = makeButton(lanText(121), this);
        confirm->setGeometry((m_geometry.width() - buttonSize.width()) / 2, buttonY, buttonSize.width(), buttonSize.height());
        connect(confirm, &QPushButton::clicked, this, &QDialog::accept);
    } else if (mode == 2) {
        QPushButton* yes = makeButton(lanText(122), this);
        yes->setGeometry(m_geometry.width() / 4 - buttonSize.width() / 2, buttonY, buttonSize.width(), buttonSize.height());
        connect(yes, &QPushButton::clicked, this, &QDialog::accept);
        QPushButton* no = makeButton(lanText(123), this);
        no->setGeometry(m_geometry.width() * 3 / 4 - buttonSize.width() / 2, buttonY, buttonSize.width(), buttonSize.height());
        connect(no, &QPushButton::clicked, this, &QDialog::reject);
    }
}

void v_SelectBox::setText(const QString& text)
{
    m_text = text;
    update();
}

void v_SelectBox::showEvent(QShowEvent* event)
{
    setGeometry(m_geometry);
    QDialog::showEvent(event);
}

void v_SelectBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(QPen(QColor(0, 188, 212), 5));
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
    QRect textArea = rect().adjusted(20, 20, -20, -20);
    if (m_mode != 0)
        textArea.setBottom(height() - (bigScreen() ? 90 : 65));
    // A package name has no blanks to wrap at: it wraps anywhere, and the type gets smaller
    // until the whole text fits.
    const int flags = Qt::AlignCenter | Qt::TextWrapAnywhere;
    QFont font(QString::fromLatin1(kFontFamily));
    for (int pixels = bigScreen() ? 40 : 20; pixels >= 12; pixels -= 2) {
        font.setPixelSize(pixels);
        if (textArea.contains(QFontMetrics(font).boundingRect(textArea, flags, m_text)))
            break;
    }
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(textArea, flags, m_text);
}

VersionDownloadDialog::VersionDownloadDialog(const QString& server, quint16 port, QWidget* parent)
    : QDialog(parent)
{
    m_baseUrl = QStringLiteral("http://%1:%2/monitor/").arg(server).arg(port);
    getNodeInfos(m_baseUrl);

    const QSize size = bigScreen() ? QSize(1280, 960) : QSize(700, 500);
    setGeometry((gShowW - size.width()) / 2, (gShowH - size.height()) / 2, size.width(), size.height());
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(bigScreen() ? 30 : 16);
    setFont(font);

    m_exit = makeButton(QStringLiteral("退出"), this);
    m_exit->setGeometry(width() - 150 - 5, 5, 150, 50);
    connect(m_exit, &QPushButton::clicked, this, &VersionDownloadDialog::acceptDialog);

    for (const stu_packageInfos& packages : qAsConst(m_packages))
        m_titles << packages.directory;

    // Three columns fit the screen; more scroll sideways under a finger. The bar that shows there
    // is more lies at the top, under the title: at the bottom edge it sat on the settings page's
    // buttons below the screen and read as covering them.
    const int columnWidth = width() / 3;
    const int columnCount = m_packages.size();
    int areaTop = kColumnsTop;
    m_area = new QScrollArea(this);
    m_area->setFrameShape(QFrame::NoFrame);
    m_area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_area->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;}"));
    QScroller::grabGesture(m_area->viewport(), QScroller::LeftMouseButtonGesture);
    if (columnCount > 3) {
        m_bar = new QScrollBar(Qt::Horizontal, this);
        m_bar->setObjectName(QStringLiteral("columnsBar"));
        m_bar->setGeometry(kBarMargin, kColumnsTop, width() - 2 * kBarMargin, kBarHeight);
        // A bar a finger can take, and that shows at a glance that there is more to the right.
        m_bar->setStyleSheet(QStringLiteral(
            "QScrollBar:horizontal{height:30px;background:rgb(80,80,80);}"
            "QScrollBar::handle:horizontal{background:#ff9900;min-width:80px;border-radius:6px;}"
            "QScrollBar::add-line:horizontal,QScrollBar::sub-line:horizontal{width:0px;}"));
        QScrollBar* inner = m_area->horizontalScrollBar();
        connect(inner, &QScrollBar::rangeChanged, m_bar, [this, inner](int min, int max) {
            m_bar->setRange(min, max);
            m_bar->setPageStep(inner->pageStep());
        });
        connect(inner, &QScrollBar::valueChanged, m_bar, &QScrollBar::setValue);
        connect(m_bar, &QScrollBar::valueChanged, inner, &QScrollBar::setValue);
        areaTop += kBarHeight + kBarGap;
    }
    // Inside the screen's frame, which stays drawn around it.
    m_area->setGeometry(1, areaTop, width() - 2, height() - areaTop - 1);
    m_columns = new QWidget;
    m_columns->setObjectName(QStringLiteral("columns"));
    m_columns->setStyleSheet(QStringLiteral("#columns{background:transparent;}"));
    m_columns->setFixedSize(columnWidth * qMax(3, columnCount), m_area->height());
    m_area->setWidget(m_columns);

    for (int column = 0; column < columnCount; ++column) {
        auto* title = new QLabel(m_columns);
        title->setGeometry(column * columnWidth, 10, columnWidth, 60);
        title->setAlignment(Qt::AlignCenter);
        title->setFont(font);
        title->setText(title->fontMetrics().elidedText(m_titles.at(column), Qt::ElideMiddle, columnWidth - 10));
        if (column > 0) {
            auto* line = new QFrame(m_columns);
            line->setFrameShape(QFrame::VLine);
            line->setStyleSheet(QStringLiteral("color:rgb(189,189,189);"));
            line->setGeometry(column * columnWidth - 1, 0, 2, m_columns->height() - 10);
        }
    }

    for (int column = 0; column < columnCount; ++column) {
        auto* group = new QButtonGroup(this);
        const QStringList& names = m_packages.at(column).names;
        const NameParts parts = splitColumn(names);
        for (int id = 0; id < names.size(); ++id) {
            QPushButton* button = makeButton(QString(), m_columns);
            button->setFixedSize(kPackageButtonWidth, kPackageButtonHeight);
            setPackageName(button, names.at(id), parts);
            button->hide();
            group->addButton(button, id);
        }
        connect(group, &QButtonGroup::idClicked, this, [this, column](int id) { onPackageClicked(column, id); });
        m_groups << group;
        m_pages << 0;
        m_pageCounts << (names.size() + kPageSize - 1) / kPageSize;
        show(column);
    }

    // Every column pages, the packages of the root listing too: none is out of reach.
    m_lastPageGroup = new QButtonGroup(this);
    m_nextPageGroup = new QButtonGroup(this);
    for (int column = 0; column < columnCount; ++column) {
        const int centre = columnWidth / 2 + column * columnWidth;
        QPushButton* last = makeButton(QStringLiteral("上一页"), m_columns);
        QPushButton* next = makeButton(QStringLiteral("下一页"), m_columns);
        for (QPushButton* button : {last, next})
            button->setStyleSheet(QStringLiteral("background:transprent;color:white;border:1px solid #BDBDBD;font-size:22px;"));
        last->setGeometry(centre - 104, m_columns->height() - 60, 99, 49);
        next->setGeometry(centre + 5, m_columns->height() - 60, 99, 49);
        m_lastPageGroup->addButton(last, column);
        m_nextPageGroup->addButton(next, column);
    }
    connect(m_lastPageGroup, &QButtonGroup::idClicked, this, &VersionDownloadDialog::slotToLastPage);
    connect(m_nextPageGroup, &QButtonGroup::idClicked, this, &VersionDownloadDialog::slotToNextPage);

    setWindowFlags(windowFlags() | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    CComp_DialogFrame::setDefaultWgt(this);
}

QString VersionDownloadDialog::listingAddress(const QString& directory) const
{
    return m_baseUrl + QString::fromLatin1(QUrl::toPercentEncoding(directory)) + QLatin1Char('/');
}

bool VersionDownloadDialog::mayRequest(const QString& url) const
{
    return !m_requested.contains(url) && m_requested.size() < kMaxRequests;
}

int VersionDownloadDialog::packageCount() const
{
    int count = 0;
    for (const stu_packageInfos& packages : m_packages)
        count += packages.names.size();
    return count;
}

void VersionDownloadDialog::getNodeInfos(const QString& url, const QString& directory)
{
    if (m_requested.contains(url)) {
        qWarning().noquote() << "listing already read:" << url;
        return;
    }
    if (m_requested.size() >= kMaxRequests) {
        qWarning().noquote() << "too many listings, not read:" << url;
        return;
    }
    m_requested.insert(url);

    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(kTransferTimeoutMs);
    bool tooBig = false;   // declared first: the reply's abort on destruction may still report progress
    ReplyPtr reply(m_network.get(request));
    QNetworkReply* raw = reply.get();
    connect(raw, &QNetworkReply::downloadProgress, raw, [raw, &tooBig](qint64 received, qint64) {
        if (received > kMaxListingBytes && !tooBig) {
            tooBig = true;
            raw->abort();
        }
    });
    if (!waitForReply(raw, kListingWaitMs)) {
        m_reachable = false;
        qWarning() << "error";
        return;
    }
    if (tooBig) {
        qWarning().noquote() << "listing larger than" << kMaxListingBytes << "bytes, skipped:" << url;
        return;
    }
    if (raw->error() != QNetworkReply::NoError) {
        qWarning().noquote() << "listing" << url << "not read:" << raw->errorString();
        return;
    }
    m_reachable = true;
    const QByteArray body = raw->readAll();
    const int zero = body.indexOf('\0');
    QString text = QString::fromLatin1(body.constData(), zero < 0 ? body.size() : zero);
    text.remove(QStringLiteral("<hr>"));
    reply.reset();

    const QString outerUrl = m_listingUrl;
    const QString outerDir = m_listingDir;
    m_listingUrl = url;
    m_listingDir = directory;
    analysisdata(text);
    m_listingUrl = outerUrl;
    m_listingDir = outerDir;
}

bool VersionDownloadDialog::analysisdata(const QString& text)
{
    QDomDocument document;
    QString message;
    int line = 0;
    int column = 0;
    if (!document.setContent(text, false, &message, &line, &column)) {
        qWarning().noquote() << "Error: Parse error at line " + QString::number(line) + ", " + "column " +
                                    QString::number(column) + ": " + message;
        return false;
    }
    parseTrxMembers(document.documentElement());
    return true;
}

void VersionDownloadDialog::parseTrxMembers(const QDomElement& root)
{
    for (QDomElement body = root.firstChildElement(QStringLiteral("body")); !body.isNull();
         body = body.nextSiblingElement(QStringLiteral("body"))) {
        QStringList lines;
        const QStringList pieces = body.text().split(QLatin1Char('/'));
        for (const QString& piece : pieces)
            lines << piece.split(QStringLiteral("\r\n"));

        stu_packageInfos packages;
        packages.directory = m_listingDir;
        int room = kMaxPackages - packageCount();
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QString& line = lines.at(i);
            for (const char* suffix : kSuffixes) {
                const QString needle = QLatin1Char('.') + QLatin1String(suffix);
                const int at = line.lastIndexOf(needle);
                if (at < 0)
                    continue;
                const QString candidate = line.left(at + needle.size());
                if (!candidate.startsWith(QLatin1String("V17")) && !candidate.startsWith(QLatin1String("v17")))
                    continue;
                if (candidate.size() > kMaxNameLength)
                    continue;
                // Only where the listed name ends: "V17_a.tar.gz" holds ".tar" too, but the server
                // has no "V17_a.tar".
                if (candidate.size() < line.size() && !line.at(candidate.size()).isSpace())
                    continue;
                if (room-- <= 0)
                    continue;
                packages.names << candidate;
                packages.urls << m_listingUrl + QString::fromLatin1(QUrl::toPercentEncoding(candidate));
            }
        }
        if (room < 0)
            qWarning().noquote() << "more than" << kMaxPackages << "packages listed; the rest left out:" << m_listingUrl;
        if (!packages.names.isEmpty()) {
            m_packages << packages;
            continue;
        }

        int notWalked = 0;
        for (int i = 1; i + 1 < lines.size(); ++i) {
            if (!lines.at(i).startsWith(QLatin1Char(' ')))
                continue;
            const QString directory = lines.at(i - 1);
            const bool followed = !directory.contains(QLatin1Char('V')) || directory == QLatin1String("V17");
            if (!followed)
                continue;
            if (!mayRequest(listingAddress(directory))) {
                ++notWalked;
                continue;
            }
            if (directory != QLatin1String("V17"))
                m_dirNames << directory;
            getNodeInfos(listingAddress(directory), directory);
        }
        if (notWalked > 0)
            qWarning().noquote() << notWalked << "directories listed again or past" << kMaxRequests << "requests, not walked";
    }
}

QString VersionDownloadDialog::archiveSuffix(const QString& name)
{
    for (const char* suffix : {".tar.gz", ".gz", ".tar", ".rar"}) {
        if (name.endsWith(QLatin1String(suffix)))
            return QLatin1String(suffix);
    }
    return QString();
}

bool VersionDownloadDialog::downloadPackage(int column, int id)
{
    if (column < 0 || column >= m_packages.size() || id < 0 || id >= m_packages.at(column).urls.size())
        return false;
    const QString name = m_packages.at(column).names.at(id);
    QNetworkRequest request{QUrl(m_packages.at(column).urls.at(id))};
    request.setTransferTimeout(kTransferTimeoutMs);
    ReplyPtr reply(m_network.get(request));
    if (!waitForReply(reply.get(), kDownloadWaitMs)) {
        qWarning() << "error";
        return false;
    }
    if (reply->error() != QNetworkReply::NoError) {
        qWarning().noquote() << "download of" << name << "failed:" << reply->errorString();
        return false;
    }
    const QByteArray package = reply->readAll();
    reply.reset();

    // tar of the whole program folder takes a while: it runs on a pool thread behind the wait
    // dialog, so the detection cycle and the screen go on meanwhile.
    QString archive;
    bool backedUp = false;
    CComp_DiaWait wait([this, &archive, &backedUp] { backedUp = backUpPackage(&archive); });
    wait.exec();
    if (backedUp)
        deleteBackupFile(archive);

    const QString target = QStringLiteral("newupdate") + archiveSuffix(name);
    const QString folder = Platform::path(QLatin1String(Platform::kProgramDir));
    // A package cut short by a full disk would be installed at the next start: all or nothing.
    QString reason = QStringLiteral("no program folder");
    if (!QFileInfo(folder).isDir() || !writeFileAtomically(folder + QLatin1Char('/') + target, package, &reason)) {
        qWarning().noquote() << "path error" << target + ':' << reason;
        return false;
    }
    deleteFile(target);
    qInfo().noquote() << "downloaded" << name << "as" << target << package.size() << "bytes";
    return true;
}

bool VersionDownloadDialog::backUpPackage(QString* archiveName)
{
    if (!Platform::mayWriteMachineFiles()) {
        qInfo() << "no backup archive off the panel: the program folder is the working directory";
        return false;
    }
    if (!QFileInfo(Platform::path(QLatin1String(Platform::kProgramDir))).isDir())
        return false;
    const QString name = QStringLiteral("div-OVE-%1.tar.gz")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hh:mm:ss")));
    const QString archive = Platform::path(QStringLiteral("/root/") + name);
    const CommandResult result = CommandRunner::instance()->run(
        QStringLiteral("tar"), {QStringLiteral("-zcvf"), archive, QStringLiteral("-C"), Platform::path(QStringLiteral("/root")),
                                QStringLiteral("div-OVE")},
        kBackupTimeoutMs);
    if (archiveName)
        *archiveName = name;
    if (!result.ok() || !QFileInfo::exists(archive)) {
        qWarning().noquote() << "backup" << name << "not made; earlier backups kept";
        return false;
    }
    return true;
}

void VersionDownloadDialog::deleteBackupFile(const QString& keep)
{
    QDir root(Platform::path(QStringLiteral("/root")));
    if (!Platform::mayWriteMachineFiles() || !root.exists())
        return;
    const QStringList entries = root.entryList(QDir::Files | QDir::Hidden);
    for (const QString& entry : entries) {
        const QStringList parts = entry.split(QLatin1Char('-'));
        if (entry == keep || !entry.contains(QLatin1String(".tar.gz")) || parts.size() <= 2)
            continue;
        if (parts.at(0) + QLatin1Char('-') + parts.at(1) == QLatin1String("div-OVE"))
            root.remove(entry);
    }
}

void VersionDownloadDialog::deleteFile(const QString& keep)
{
    QDir program(Platform::path(QLatin1String(Platform::kProgramDir)));
    if (!program.exists())
        return;
    const QStringList entries = program.entryList(QDir::Files | QDir::Hidden);
    for (const QString& entry : entries) {
        if (entry != keep && entry.section(QLatin1Char('.'), 0, 0) == QLatin1String("newupdate"))
            program.remove(entry);
    }
}

QButtonGroup* VersionDownloadDialog::packageGroup(int column) const
{
    return column >= 0 && column < m_groups.size() ? m_groups.at(column) : nullptr;
}

QAbstractButton* VersionDownloadDialog::lastPageButton(int column) const
{
    return m_lastPageGroup->button(column);
}

QAbstractButton* VersionDownloadDialog::nextPageButton(int column) const
{
    return m_nextPageGroup->button(column);
}

QAbstractButton* VersionDownloadDialog::exitButton() const
{
    return m_exit;
}

int VersionDownloadDialog::currentPage(int column) const
{
    return column >= 0 && column < m_pages.size() ? m_pages.at(column) : -1;
}

void VersionDownloadDialog::show(int column)
{
    QButtonGroup* group = packageGroup(column);
    if (!group)
        return;
    const int first = m_pages.at(column) * kPageSize;
    const int x = width() / 6 + column * width() / 3 - kPackageButtonWidth / 2;
    for (int row = 0; row < kPageSize; ++row) {
        QAbstractButton* button = group->button(first + row);
        if (!button)
            break;
        button->move(x, kFirstButtonY + row * kButtonStep);
        button->show();
    }
}

void VersionDownloadDialog::vhide(int column)
{
    QButtonGroup* group = packageGroup(column);
    if (!group)
        return;
    const int first = m_pages.at(column) * kPageSize;
    for (int row = 0; row < kPageSize; ++row) {
        if (QAbstractButton* button = group->button(first + row))
            button->hide();
    }
}

void VersionDownloadDialog::slotToLastPage(int column)
{
    if (!packageGroup(column))
        return;
    vhide(column);
    if (m_pages[column] > 0)
        --m_pages[column];
    show(column);
}

void VersionDownloadDialog::slotToNextPage(int column)
{
    if (!packageGroup(column))
        return;
    vhide(column);
    if (m_pages[column] + 1 < m_pageCounts.at(column))
        ++m_pages[column];
    show(column);
}

void VersionDownloadDialog::setEnable(bool enable)
{
    m_exit->setEnabled(enable);
    for (QButtonGroup* group : qAsConst(m_groups)) {
        const QList<QAbstractButton*> buttons = group->buttons();
        for (QAbstractButton* button : buttons)
            button->setEnabled(enable);
    }
}

void VersionDownloadDialog::acceptDialog()
{
    accept();
}

void VersionDownloadDialog::onPackageClicked(int column, int id)
{
    setEnable(false);
    const int x = gShowW / 2 - 375;
    const int y = gShowH / 2 - 185;
    v_SelectBox ask(x, y, this, 2);
    ask.setText(QStringLiteral("是否开始下载该版本?\n") + m_packages.value(column).names.value(id));
    if (ask.exec() == QDialog::Accepted) {
        bool stored = false;
        {
            v_SelectBox progress(x, y, this, 0);
            progress.setText(QStringLiteral("下载中..."));
            progress.QDialog::show();
            stored = downloadPackage(column, id);
        }
        v_SelectBox result(x, y, this, 1);
        result.setText(stored ? QStringLiteral("下载成功\n重启后自动更新") : QStringLiteral("下载失败"));
        result.exec();
    }
    // However the result box was closed, the screen must stay usable.
    setEnable(true);
}

void VersionDownloadDialog::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.setPen(Qt::white);
    QFont titleFont = font();
    titleFont.setPixelSize(32);
    painter.setFont(titleFont);
    painter.drawText(QRect(0, 10, width(), 60), Qt::AlignCenter, QStringLiteral("版本库"));
}
