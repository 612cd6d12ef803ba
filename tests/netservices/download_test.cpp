#include "base/lanstr.h"
#include "config/wizardparawidget.h"
#include "detection/mojuwizard.h"
#include "widgets/publictools_widget.h"
#include "netservices/listingserver.h"
#include "netservices/netcards/versiondownloaddialog.h"
#include "records/screen_support.h"
#include "support/fakecommandrunner.h"
#include "support/testenv.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QScrollArea>
#include <QSet>
#include <QScrollBar>
#include <QScroller>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

namespace {

// A fake panel root holding the program folder, an earlier package and an earlier backup; tar
// through the fake runner makes the archive it is asked for (or fails, when told to).
class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        initLanStr();
        QDir().mkpath(root.path() + "/root/div-OVE");
        TestEnv::writeText(root.path() + "/root/div-OVE/newupdate.rar", "old package");
        TestEnv::writeText(root.path() + "/root/div-OVE-2025-01-01-10:00:00.tar.gz", "old backup");
        // The GUI thread's event loop ticks while tar runs (or not, if tar blocked it).
        QObject::connect(&guiTicker, &QTimer::timeout, [this] { guiTicked = true; });
        guiTicker.start(10);
        runner.setHandler([this](const QString& program, const QStringList& arguments) {
            CommandResult result;
            if (program == "tar") {
                guiTicked = false;
                for (int i = 0; i < 300 && !guiTicked; ++i)
                    QThread::msleep(10);
                tarSawGuiTick = guiTicked.load();
            }
            if (program == "tar" && arguments.size() >= 2 && !failTar)
                TestEnv::writeText(arguments.at(1), "new backup");
            result.exitCode = program == "tar" && failTar ? 2 : 0;
            return result;
        });
    }

    // Serves files of the working directory's "served" folder under "/monitor/".
    static void serve(const QString& relative, const QByteArray& content)
    {
        TestEnv::writeText("served/" + relative, content);
    }

    QString rootFile(const QString& absolute) const { return root.path() + absolute; }

    static QByteArray readFile(const QString& path)
    {
        return TestEnv::readBytes(path);
    }

    static QStringList visibleButtons(QButtonGroup* group)
    {
        QStringList names;
        const QList<QAbstractButton*> buttons = group->buttons();
        for (QAbstractButton* button : buttons) {
            if (button->isVisible())
                names << button->text();
        }
        return names;
    }

    static QAbstractButton* findButton(VersionDownloadDialog& dialog, int column, const QString& name)
    {
        return dialog.packageGroup(column)->button(dialog.packageList().at(column).names.indexOf(name));
    }

    // Whether a button's text, in its type and on as many lines as it has, lies inside it.
    static ::testing::AssertionResult textInside(const QAbstractButton* button)
    {
        const QRect text = button->fontMetrics().boundingRect(button->rect(), Qt::AlignCenter, button->text());
        if (button->rect().adjusted(4, 0, -4, 0).contains(text))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "\"" << button->text().toStdString() << "\" takes " << text.width() << " x "
                                             << text.height();
    }

    // Where a widget lies in the dialog.
    static QRect rectIn(const QWidget* widget, const QWidget* dialog)
    {
        return QRect(widget->mapTo(dialog, QPoint(0, 0)), widget->size());
    }

    QTemporaryDir root{QDir::tempPath() + "/mouldupdate-XXXXXX"};
    TestEnv::EnvGuard rootEnv{"MOULD_ROOT", root.path().toUtf8()};
    QTimer guiTicker;
    std::atomic<bool> guiTicked{false};
    std::atomic<bool> tarSawGuiTick{false};
    FakeCommandRunner runner;
    bool failTar = false;
};

}  // namespace

TEST_F(DownloadTest, SubdirectoryPackagesPageBySevenAndRootLevelDirectoriesAreFilteredByName)
{
    for (int i = 0; i < 10; ++i)
        serve(QString("release/V17_p%1.rar").arg(i), "x");
    serve("release/readme.txt", "not a package");
    serve("V18/V17_never.rar", "x");      // another product line's folder is not walked
    serve("notes.txt", "x");
    ListingServer server("served");
    ASSERT_NE(server.port(), 0);

    VersionDownloadDialog dialog("127.0.0.1", server.port());
    ASSERT_TRUE(dialog.isReachable());
    EXPECT_EQ(dialog.directoryNames(), QStringList({"release"}));
    ASSERT_EQ(dialog.packageList().size(), 1);
    EXPECT_EQ(dialog.packageList().at(0).directory, "release");
    EXPECT_EQ(dialog.packageList().at(0).names.size(), 10);
    EXPECT_EQ(dialog.packageList().at(0).urls.at(3),
              QString("http://127.0.0.1:%1/monitor/release/V17_p3.rar").arg(server.port()));
    EXPECT_EQ(dialog.requestCount(), 2);

    dialog.QDialog::show();
    EXPECT_TRUE(ScreenTest::saveShot(&dialog, "version-download"));
    QButtonGroup* column = dialog.packageGroup(0);
    EXPECT_EQ(visibleButtons(column).size(), 7);
    dialog.nextPageButton(0)->click();
    EXPECT_EQ(visibleButtons(column), QStringList({"V17_p7.rar", "V17_p8.rar", "V17_p9.rar"}));
    dialog.nextPageButton(0)->click();
    EXPECT_EQ(dialog.currentPage(0), 1);
    dialog.lastPageButton(0)->click();
    dialog.lastPageButton(0)->click();
    EXPECT_EQ(dialog.currentPage(0), 0);
    EXPECT_EQ(visibleButtons(column).size(), 7);
}

// A button only for what the server has: "V17_a.tar.gz" holds ".tar" but there is no
// "V17_a.tar" to fetch. Packages of the root listing page like any column.
TEST_F(DownloadTest, RootPackagesMakeOneUntitledPagedColumnAndATarGzLineOneButton)
{
    serve("V17_a.tar.gz", "a");
    serve("V17_b.rar", "b");
    serve("v17_c.gz", "c");
    serve("V16_old.tar.gz", "old");
    serve("V17_notes.gz.txt", "not a package");
    for (int i = 0; i < 6; ++i)
        serve(QString("V17_r%1.rar").arg(i), "r");
    serve("release/V17_sub.rar", "not walked: the root holds packages");
    ListingServer server("served");
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    ASSERT_EQ(dialog.packageList().size(), 1);
    EXPECT_EQ(dialog.packageList().at(0).names,
              QStringList({"V17_a.tar.gz", "V17_b.rar", "V17_r0.rar", "V17_r1.rar", "V17_r2.rar", "V17_r3.rar",
                           "V17_r4.rar", "V17_r5.rar", "v17_c.gz"}));
    EXPECT_EQ(dialog.packageGroup(0)->buttons().size(), 9);
    EXPECT_EQ(dialog.packageList().at(0).directory, "");
    EXPECT_TRUE(dialog.directoryNames().isEmpty());
    dialog.QDialog::show();
    ASSERT_NE(dialog.nextPageButton(0), nullptr);
    dialog.nextPageButton(0)->click();
    EXPECT_EQ(visibleButtons(dialog.packageGroup(0)), QStringList({"V17_r5.rar", "v17_c.gz"}));

    EXPECT_EQ(VersionDownloadDialog::archiveSuffix("V17_a.tar.gz"), ".tar.gz");
    EXPECT_EQ(VersionDownloadDialog::archiveSuffix("V17_rar2.tar"), ".tar");
    EXPECT_EQ(VersionDownloadDialog::archiveSuffix("v17_c.gz"), ".gz");
    EXPECT_EQ(VersionDownloadDialog::archiveSuffix("V17_b.rar"), ".rar");
}

// Four folders on a screen that shows three columns: a finger drags the fourth into view, and
// every package on every page can be touched there; a long name is cut on the button, its
// version kept, and asked about whole.
TEST_F(DownloadTest, EveryPackageOfFourFoldersCanBeReachedAndTouched)
{
    const QString longName = "V17_mould_monitor_18.0.1.71_werkhalle3_2025-12-07.tar.gz";
    serve("alpha/V17_alpha.rar", "a");
    serve("beta/" + longName, "b");
    serve("beta/V17_beta.gz", "b");
    serve("customer/V17_customer.rar", "c");
    for (int i = 0; i < 9; ++i)
        serve(QString("legacy/V17_legacy%1.rar").arg(i), "l");
    ListingServer server("served");
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    ASSERT_EQ(dialog.packageList().size(), 4);
    dialog.QDialog::show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_TRUE(ScreenTest::saveShot(&dialog, "version_download_four_folders"));

    QAbstractButton* cut = findButton(dialog, 1, longName);
    ASSERT_NE(cut, nullptr);
    EXPECT_TRUE(cut->text().startsWith("V17_mould")) << cut->text().toStdString();
    EXPECT_TRUE(cut->text().contains("18.0.1.71")) << cut->text().toStdString();
    EXPECT_GE(QFontInfo(cut->font()).pixelSize(), 20);
    EXPECT_TRUE(cut->text().contains("…"));
    EXPECT_TRUE(textInside(cut));

    // The fourth column, out of sight at first, comes in under a dragging finger.
    QAbstractButton* fourth = dialog.packageGroup(3)->button(0);
    EXPECT_FALSE(dialog.rect().contains(rectIn(fourth, &dialog)) && dialog.childAt(fourth->mapTo(&dialog, QPoint(5, 5))) == fourth);
    const QPoint start(dialog.width() - 100, 400);
    QTest::mousePress(dialog.windowHandle(), Qt::LeftButton, {}, start);
    for (int step = 1; step <= 20; ++step) {
        QTest::qWait(15);
        QTest::mouseMove(dialog.windowHandle(), start - QPoint(step * 30, 0));
    }
    QTest::mouseRelease(dialog.windowHandle(), Qt::LeftButton, {}, start - QPoint(600, 0));
    EXPECT_TRUE(TestEnv::waitUntil([&] { return dialog.childAt(fourth->mapTo(&dialog, QPoint(5, 5))) == fourth; }, 3000));

    auto* area = dialog.findChild<QScrollArea*>();
    // A finger lets the columns come to rest before it touches a button.
    if (area) {
        EXPECT_TRUE(TestEnv::waitUntil(
            [area] { return QScroller::scroller(area->viewport())->state() == QScroller::Inactive; }, 5000));
    }
    for (int column = 0; column < 4; ++column) {
        const QStringList& names = dialog.packageList().at(column).names;
        for (int id = 0; id < names.size(); ++id) {
            SCOPED_TRACE(names.at(id).toStdString());
            if (id > 0 && id % VersionDownloadDialog::kPageSize == 0)
                ScreenTest::touch(dialog.nextPageButton(column));
            QAbstractButton* button = dialog.packageGroup(column)->button(id);
            ASSERT_TRUE(button->isVisible());
            if (area)
                area->ensureWidgetVisible(button);
            EXPECT_TRUE(dialog.rect().contains(rectIn(button, &dialog)));
            ASSERT_EQ(dialog.childAt(button->mapTo(&dialog, button->rect().center())), button);
            BoxAnswerer answerer({"否"});
            ScreenTest::touch(button);
            ASSERT_TRUE(TestEnv::waitUntil([&] { return !answerer.texts.isEmpty(); }, 3000));
            EXPECT_EQ(answerer.texts, QStringList({"是否开始下载该版本?\n" + names.at(id)}));
        }
    }
    EXPECT_TRUE(runner.commands().isEmpty());

    v_SelectBox ask(0, 0, nullptr, 2);
    ask.setText("是否开始下载该版本?\n" + longName);
    ask.QDialog::show();
    EXPECT_TRUE(ScreenTest::saveShot(&ask, "version_download_confirm_long_name"));
}

TEST_F(DownloadTest, WalkIsBoundedAndAV17FolderGetsItsOwnTitledColumn)
{
    serve("V17/v17_low.gz", "x");
    for (int i = 0; i < 40; ++i)
        QDir().mkpath(QString("served/empty%1").arg(i, 2, 10, QChar('0')));
    // A folder that lists itself would be walked for ever.
    ASSERT_TRUE(QFile::link(QDir("served").absolutePath(), "served/loop"));
    ListingServer server("served");
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    EXPECT_TRUE(dialog.isReachable());
    EXPECT_EQ(dialog.requestCount(), VersionDownloadDialog::kMaxRequests);
    ASSERT_GE(dialog.packageList().size(), 1);
    EXPECT_EQ(dialog.packageList().at(0).directory, "V17");
    EXPECT_EQ(dialog.packageList().at(0).names, QStringList({"v17_low.gz"}));
    EXPECT_FALSE(dialog.directoryNames().contains("V17"));
    // Only walked directories get a title and paging buttons: the root, V17 and 30 empty ones.
    EXPECT_EQ(dialog.directoryNames().size(), VersionDownloadDialog::kMaxRequests - 2);
    EXPECT_EQ(dialog.nextPageButton(VersionDownloadDialog::kMaxRequests - 2), nullptr);

    // A listing naming more packages than a screen can page through gets buttons for the first ones.
    for (int i = 0; i < 600; ++i)
        TestEnv::writeText(QString("crowded/V17_%1.rar").arg(i, 3, 10, QChar('0')), "x");
    ListingServer crowdedServer("crowded");
    VersionDownloadDialog crowded("127.0.0.1", crowdedServer.port());
    ASSERT_EQ(crowded.packageList().size(), 1);
    EXPECT_EQ(crowded.packageList().at(0).names.size(), VersionDownloadDialog::kMaxPackages);
    EXPECT_EQ(crowded.packageGroup(0)->buttons().size(), VersionDownloadDialog::kMaxPackages);
    EXPECT_EQ(crowded.packageList().at(0).names.last(), "V17_511.rar");
}

TEST_F(DownloadTest, SubdirectoryPackageIsStoredByteForByteAfterTheBackup)
{
    QByteArray package(300 * 1024, '\0');
    for (char& byte : package)
        byte = char(QRandomGenerator::global()->bounded(256));
    serve("release/V17_sub.tar.gz", package);
    ListingServer server("served");
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    QAbstractButton* button = findButton(dialog, 0, "V17_sub.tar.gz");
    ASSERT_NE(button, nullptr);

    {
        BoxAnswerer answerer({"是", "确定"});
        button->click();
        // The progress note may come and go between two looks of the answerer.
        answerer.texts.removeAll("下载中...");
        EXPECT_EQ(answerer.texts, QStringList({"是否开始下载该版本?\nV17_sub.tar.gz", "下载成功\n重启后自动更新"}));
        EXPECT_EQ(answerer.unexpected, 0);
    }
    EXPECT_EQ(readFile(rootFile("/root/div-OVE/newupdate.tar.gz")), package);
    EXPECT_FALSE(QFile::exists(rootFile("/root/div-OVE/newupdate.rar")));
    EXPECT_FALSE(QFile::exists(rootFile("/root/div-OVE-2025-01-01-10:00:00.tar.gz")));
    const QStringList backups = QDir(rootFile("/root")).entryList({"div-OVE-*.tar.gz"}, QDir::Files);
    ASSERT_EQ(backups.size(), 1);
    ASSERT_EQ(runner.commands().size(), 1);
    EXPECT_EQ(runner.commands().at(0), "tar -zcvf " + rootFile("/root/") + backups.at(0) + " -C " + rootFile("/root") + " div-OVE");
    EXPECT_TRUE(tarSawGuiTick);   // the backup did not hold the GUI thread
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(dialog.exitButton()->isEnabled());
}

TEST_F(DownloadTest, FailedBackupOrTransferLosesNothingAndNoKeepsEverything)
{
    serve("release/V17_sub.tar.gz", "new package");
    ListingServer server("served");
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    QAbstractButton* button = findButton(dialog, 0, "V17_sub.tar.gz");
    ASSERT_NE(button, nullptr);

    {   // NO: nothing is fetched or run
        BoxAnswerer answerer({"否"});
        button->click();
        EXPECT_EQ(answerer.texts, QStringList({"是否开始下载该版本?\nV17_sub.tar.gz"}));
    }
    EXPECT_TRUE(runner.commands().isEmpty());
    EXPECT_TRUE(button->isEnabled());

    // A package that cannot be committed: failure, and the earlier package stays.
    ASSERT_TRUE(QDir().mkpath(rootFile("/root/div-OVE/newupdate.tar.gz")));
    {
        BoxAnswerer answerer({"是", "确定"});
        button->click();
        EXPECT_EQ(answerer.texts.last(), "下载失败");
    }
    EXPECT_EQ(readFile(rootFile("/root/div-OVE/newupdate.rar")), "old package");
    ASSERT_TRUE(QDir(rootFile("/root/div-OVE/newupdate.tar.gz")).removeRecursively());

    // A failed backup: the package is stored, but the older backups stay.
    for (const QString& backup : QDir(rootFile("/root")).entryList({"div-OVE-*.tar.gz"}, QDir::Files))
        QFile::remove(rootFile("/root/") + backup);
    TestEnv::writeText(rootFile("/root/div-OVE-2025-01-01-10:00:00.tar.gz"), "old backup");
    failTar = true;
    {
        BoxAnswerer answerer({"是", "确定"});
        button->click();
        EXPECT_EQ(answerer.texts.last(), "下载成功\n重启后自动更新");
    }
    EXPECT_EQ(readFile(rootFile("/root/div-OVE/newupdate.tar.gz")), "new package");
    EXPECT_FALSE(QFile::exists(rootFile("/root/div-OVE/newupdate.rar")));
    EXPECT_EQ(readFile(rootFile("/root/div-OVE-2025-01-01-10:00:00.tar.gz")), "old backup");

    QFile::remove("served/release/V17_sub.tar.gz");   // the server now answers 404
    const int commandsBefore = runner.commands().size();
    {
        BoxAnswerer answerer({"是", "确定"});
        button->click();
        EXPECT_EQ(answerer.texts.last(), "下载失败");
    }
    EXPECT_EQ(readFile(rootFile("/root/div-OVE/newupdate.tar.gz")), "new package");
    EXPECT_EQ(runner.commands().size(), commandsBefore);   // no backup for a failed transfer
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(dialog.exitButton()->isEnabled());
}

TEST_F(DownloadTest, SilentOrFailingServersAndBadListings)
{
    QTcpServer silent;   // accepts and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    {
        VersionDownloadDialog dialog("127.0.0.1", silent.serverPort());
        EXPECT_FALSE(dialog.isReachable());
        EXPECT_TRUE(dialog.packageList().isEmpty());
    }

    ListingServer server("absent");   // every address answers 404: no listing to show either
    VersionDownloadDialog missing("127.0.0.1", server.port());
    EXPECT_FALSE(missing.isReachable());
    EXPECT_TRUE(missing.packageList().isEmpty());
    EXPECT_EQ(missing.requestCount(), 1);

    VersionDownloadDialog dialog("127.0.0.1", server.port());
    EXPECT_FALSE(dialog.analysisdata("<html><body>V17_a.tar.gz 1\r\n</pre></body></html>"));
    EXPECT_TRUE(dialog.packageList().isEmpty());
    EXPECT_TRUE(dialog.analysisdata("<html><body>\r\nV17_x.rar 07-Dec-2025 10:00    12\r\n\r\n</body></html>"));
    EXPECT_EQ(dialog.packageList().size(), 1);

    // A name no file system holds is no package: it is not listed (nor fitted on a button).
    const QString endless = "V17_" + QString(VersionDownloadDialog::kMaxNameLength, QLatin1Char('v')) + ".rar";
    VersionDownloadDialog other("127.0.0.1", server.port());
    EXPECT_TRUE(other.analysisdata("<html><body>\r\n" + endless + " 07-Dec-2025 10:00    12\r\nV17_y.rar 1\r\n\r\n</body></html>"));
    ASSERT_EQ(other.packageList().size(), 1);
    EXPECT_EQ(other.packageList().first().names, QStringList{"V17_y.rar"});
}

TEST_F(DownloadTest, OutsideServer)
{
    const QByteArray target = qgetenv("MOULD_UPDATE_SERVER");
    if (target.isEmpty())
        GTEST_SKIP() << "set MOULD_UPDATE_SERVER=host:port to download from a real update server";
    const QString host = QString::fromLatin1(target.left(target.lastIndexOf(':')));
    const quint16 port = quint16(target.mid(target.lastIndexOf(':') + 1).toUInt());
    VersionDownloadDialog dialog(host, port);
    ASSERT_TRUE(dialog.isReachable());
    ASSERT_FALSE(dialog.packageList().isEmpty());
    QNetworkAccessManager network;
    for (int column = 0; column < dialog.packageList().size(); ++column) {
        const QString name = dialog.packageList().at(column).names.at(0);
        const QString url = dialog.packageList().at(column).urls.at(0);
        {
            BoxAnswerer answerer({"是", "确定"});
            dialog.packageGroup(column)->button(0)->click();
            ASSERT_EQ(answerer.texts.last(), "下载成功\n重启后自动更新") << name.toStdString();
        }
        QNetworkReply* reply = network.get(QNetworkRequest(QUrl(url)));
        ASSERT_TRUE(TestEnv::waitUntil([reply] { return reply->isFinished(); }, 30000));
        const QByteArray fresh = reply->readAll();
        reply->deleteLater();
        const QString path = rootFile("/root/div-OVE/newupdate" + VersionDownloadDialog::archiveSuffix(name));
        EXPECT_EQ(readFile(path), fresh);
        std::printf("downloaded %s from %s to %s (%lld bytes)\n", qPrintable(name), qPrintable(url), qPrintable(path),
                    static_cast<long long>(fresh.size()));
    }
}

// Three versions of one program: their names differ only in the version, which their buttons
// show whole, on two lines of readable type inside the button.
TEST_F(DownloadTest, TheButtonsOfThreeVersionsOfOneProgramShowWhatTellsThemApart)
{
    const QStringList versions = {"18.0.1.71", "18.0.1.72", "18.0.2.1"};
    QStringList names;
    for (const QString& version : versions) {
        names << "V17_mouldmonitor_" + version + "_arm64_release.tar.gz";
        serve("release/" + names.last(), "x");
    }
    ListingServer server("served");
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    ASSERT_EQ(dialog.packageList().size(), 1);
    dialog.QDialog::show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QSet<QString> shown;
    for (int i = 0; i < names.size(); ++i) {
        const QAbstractButton* button = findButton(dialog, 0, names.at(i));
        ASSERT_NE(button, nullptr);
        shown << button->text();
        EXPECT_TRUE(button->text().contains(versions.at(i))) << button->text().toStdString();
        EXPECT_GE(QFontInfo(button->font()).pixelSize(), 20);
        EXPECT_TRUE(textInside(button));
        EXPECT_EQ(button->toolTip(), names.at(i));
    }
    EXPECT_EQ(shown.size(), 3);
    EXPECT_TRUE(ScreenTest::saveShot(&dialog, "version_download_similar_names"));
}

TEST_F(DownloadTest, SettingsPageWarnsWheneverTheListingCannotBeReadAndOpensAnAnsweringServer)
{
    WarnBox warnBox;
    gpWarnBox = &warnBox;
    WizardParaWidget page;
    page.showPage();
    QString warned;
    QString picture;   // the picture to save of the warning over the page, once
    bool recorded = false;
    QTimer answer;   // answers the warning and closes the update screen, whichever comes
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (warnBox.isVisible()) {
            warned = warnBox.text();
            if (!picture.isEmpty()) {
                // In the middle of the panel, clear of the page's buttons.
                EXPECT_TRUE(ScreenTest::isCentredOn(warnBox.frameGeometry(), page.frameGeometry()));
                for (const QAbstractButton* button : page.findChildren<QAbstractButton*>()) {
                    EXPECT_FALSE(warnBox.frameGeometry().intersects(QRect(button->mapToGlobal(QPoint(0, 0)), button->size())))
                        << button->text().toStdString();
                }
                EXPECT_TRUE(ScreenTest::saveShotOfWindows({&page, &warnBox}, picture));
                picture.clear();
            }
            warnBox.accept();
        }
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<VersionDownloadDialog*>(window);
            if (!dialog || !dialog->isVisible())
                continue;
            recorded = gpWin && gpWin->versionDialog == dialog && dialog->parentWidget() == gpWin;
            dialog->exitButton()->click();
        }
    });
    answer.start(10);

    // A server that stays silent, one that refuses the connection (a port just closed) and one
    // without the listing (404): the operator is told each time, never left with an empty screen.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    quint16 refused = 0;
    {
        QTcpServer closed;
        ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
        refused = closed.serverPort();
    }
    ListingServer missing("absent");
    for (const quint16 port : {silent.serverPort(), refused, missing.port()}) {
        SCOPED_TRACE(port);
        warned.clear();
        if (port == refused)
            picture = "version_download_refused";
        TestEnv::EnvGuard server("MOULD_UPDATE_SERVER", "127.0.0.1:" + QByteArray::number(port));
        page.SlotToVerion();
        EXPECT_EQ(warned, "网络异常无法访问");
        EXPECT_TRUE(page.updateButton()->isEnabled());
    }
    EXPECT_TRUE(picture.isEmpty());

    warned.clear();
    serve("V17_a.rar", "a");
    ListingServer listing("served");
    // The open screen is a child of the main window and recorded there until it is gone.
    TestEnv::EnvGuard cycle("MOULD_SIM_CYCLE_MS", "3600000");
    MoJuWizard window(nullptr, 0);
    {
        TestEnv::EnvGuard server("MOULD_UPDATE_SERVER", "127.0.0.1:" + QByteArray::number(listing.port()));
        page.SlotToVerion();
    }
    EXPECT_TRUE(recorded);
    EXPECT_TRUE(window.versionDialog.isNull());
    EXPECT_TRUE(warned.isEmpty());
    EXPECT_TRUE(page.updateButton()->isEnabled());
    TestEnv::waitUntil([] { return false; }, 50);   // lets a screen deleted later go
    for (QWidget* top : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<VersionDownloadDialog*>(top), nullptr);   // the screen was freed
    gpWarnBox = nullptr;
}

// More columns than fit: the bar that scrolls them lies under the screen's title, inside the
// screen, clear of the settings page's buttons below it.
TEST_F(DownloadTest, TheSidewaysBarLiesInsideTheScreenClearOfTheSettingsPageButtons)
{
    initLanStr();
    for (const char* folder : {"alpha", "beta", "gamma", "delta"})
        serve(QString("%1/V17_%1.rar").arg(folder), "x");
    ListingServer server("served");
    WizardParaWidget page;
    page.showPage();
    VersionDownloadDialog dialog("127.0.0.1", server.port());
    dialog.QDialog::show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QList<QScrollBar*> bars;
    for (QScrollBar* bar : dialog.findChildren<QScrollBar*>()) {
        if (bar->isVisible())
            bars << bar;
    }
    ASSERT_EQ(bars.size(), 1);
    const QRect bar(bars.at(0)->mapToGlobal(QPoint(0, 0)), bars.at(0)->size());
    EXPECT_EQ(bars.at(0)->orientation(), Qt::Horizontal);
    EXPECT_TRUE(dialog.geometry().adjusted(1, 1, -1, -1).contains(bar));
    for (QAbstractButton* button : page.findChildren<QAbstractButton*>()) {
        const QRect rect(button->mapToGlobal(QPoint(0, 0)), button->size());
        EXPECT_FALSE(rect.intersects(bar)) << button->objectName().toStdString();
    }
    // It still scrolls the columns: at its end the fourth one is in view.
    bars.at(0)->setValue(bars.at(0)->maximum());
    QAbstractButton* fourth = dialog.packageGroup(3)->button(0);
    EXPECT_TRUE(TestEnv::waitUntil([&] { return dialog.childAt(fourth->mapTo(&dialog, QPoint(5, 5))) == fourth; }, 3000));
    EXPECT_TRUE(ScreenTest::saveShotOfWindows({&page, &dialog}, "version_download_over_settings"));
}
