// The main window's status strip with a picture stick present: it shows the stick mark drawn in
// "./images/disk.png", as the operator sees it.
#include "base/lanstr.h"
#include "detection/iostatus.h"
#include "detection/mojuwizard.h"
#include "records/copy2movedisk.h"
#include "records/screen_support.h"
#include "support/testenv.h"

#include <QImage>
#include <gtest/gtest.h>

#include <memory>

TEST(StatusStrip, APictureStickShowsTheStickMarkFromItsImage)
{
    TestEnv::EnvGuard cycle("MOULD_SIM_CYCLE_MS", "3600000");
    TestEnv::EnvGuard ng("MOULD_SIM_NG_EVERY", "0");
    initLanStr();
    ScreenTest::placeImages();
    const QImage mark(QStringLiteral("images/disk.png"));
    ASSERT_FALSE(mark.isNull());
    {
        auto window = std::make_unique<MoJuWizard>(nullptr, 0);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        auto* strip = window->findChild<IOStatusWidget*>();
        ASSERT_NE(strip, nullptr);
        EXPECT_EQ(mark.size(), strip->markRect().size());   // drawn as drawn, not scaled

        UPanInfo stick;
        stick.uuid = QStringLiteral("AAAA-0001");
        stick.mountPath = QStringLiteral("/mnt");
        Copy2MoveDisk::getInstance()->diskInfoChange({stick});
        ASSERT_TRUE(IOStatusWidget::diskMarkShown());
        strip->repaint();
        const QImage shown = strip->grab(strip->markRect()).toImage().convertToFormat(QImage::Format_ARGB32);
        int differing = 0;
        for (int y = 0; y < mark.height(); ++y) {
            for (int x = 0; x < mark.width(); ++x) {
                const QColor drawn = mark.pixelColor(x, y);
                if (drawn.alpha() == 255 && drawn.rgb() != shown.pixel(x, y))
                    ++differing;
            }
        }
        EXPECT_EQ(differing, 0);
        EXPECT_TRUE(ScreenTest::saveShot(window.get(), "main_window_usb_stick"));
    }
    Copy2MoveDisk::destroyInstance();
}
