// Test entry: a Qt application on the offscreen platform with a screen of the panel's size, none
// of the machine settings of the shell, and for every test a fresh temporary working directory
// (the program writes relative paths) that is removed afterwards.
#include "base/runtimefolder.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <memory>

namespace {

class WorkDirListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        m_original = QDir::currentPath();
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/mouldtest-XXXXXX"));
        ASSERT_TRUE(m_dir->isValid());
        QDir::setCurrent(m_dir->path());
    }

    void OnTestEnd(const ::testing::TestInfo&) override
    {
        QDir::setCurrent(m_original);
        if (qEnvironmentVariableIsSet("MOULD_KEEP_TEST_DIRS"))
            m_dir->setAutoRemove(false);
        m_dir.reset();
    }

private:
    QString m_original;
    std::unique_ptr<QTemporaryDir> m_dir;
};

// Qt 5.15's offscreen platform has one screen of 800 x 600 and no setting for another size (a
// configuration of its screens came with Qt 6). On it a dialog or box that Qt centres on its
// parent is pushed back onto those 800 x 600 and sits elsewhere than on the panel: the screen is
// told the panel's size instead, as a window system tells a screen that was resized.
void giveTheScreenThePanelsSize()
{
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        return;
    const QRect panel(0, 0, 1920, 1080);
    QWindowSystemInterface::handleScreenGeometryChange(QGuiApplication::primaryScreen(), panel, panel);
    QWindowSystemInterface::flushWindowSystemEvents();
}

}  // namespace

int main(int argc, char** argv)
{
    // Settings a test could inherit from the shell that would let it reach this machine:
    // MOULD_PANEL=1 runs killall, date, mount and the like for real, and MOULD_ROOT or
    // MOULD_COMMAND_LOG would send files outside the test's folder. The programs the tests start
    // inherit the cleared environment; a test that needs one of them sets it itself.
    for (const char* name : {"MOULD_PANEL", "MOULD_ROOT", "MOULD_COMMAND_LOG"})
        qunsetenv(name);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    provideRuntimeFolder();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    giveTheScreenThePanelsSize();
    ::testing::UnitTest::GetInstance()->listeners().Append(new WorkDirListener);
    return RUN_ALL_TESTS();
}
