#pragma once

// Screens in tests: answering the modal boxes a screen opens (so none can block a test) and
// saving what a screen shows as a PNG.
#include "support/testenv.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <deque>
#include <ostream>
#include <functional>
#include <gtest/gtest.h>

QT_BEGIN_NAMESPACE
// Readable failures: texts as text.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace ScreenTest {

// The text of a message or question box (its first label).
inline QString boxText(QWidget* box)
{
    const QLabel* label = box->findChild<QLabel*>();
    return label ? label->text() : QString();
}

// Clicks the named button of a box; a box without it is closed and the test fails.
inline void clickIn(QWidget* box, const QString& buttonName)
{
    if (auto* button = box->findChild<QAbstractButton*>(buttonName)) {
        button->click();
        return;
    }
    ADD_FAILURE() << "no button \"" << buttonName.toStdString() << "\" in " << box->metaObject()->className();
    box->close();
}

// Answers the modal boxes that come up, in order, each with the next handler. A box nobody
// expects fails the test and is closed at once, so it never waits for the ctest timeout. A
// handler runs outside the answerer's own timer, so a box it opens (a message over a dialog) is
// answered too; a box stays answered while it is shown.
class ModalAnswerer {
public:
    using Handler = std::function<void(QWidget* box)>;

    ModalAnswerer()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
    }
    ~ModalAnswerer() { EXPECT_TRUE(m_expected.empty()) << m_expected.size() << " expected box(es) never came"; }

    void expect(Handler handler) { m_expected.push_back(std::move(handler)); }
    // Expects a box of the given class and presses one of its buttons.
    void expectClick(const char* className, const QString& buttonName)
    {
        expect([className, buttonName](QWidget* box) {
            EXPECT_STREQ(box->metaObject()->className(), className);
            clickIn(box, buttonName);
        });
    }
    // Waits until every expected box has come and been answered.
    bool waitAllAnswered(int timeoutMs = 10000)
    {
        return TestEnv::waitUntil([this] { return m_expected.empty() && !QApplication::activeModalWidget(); }, timeoutMs);
    }
    // Texts of the boxes answered so far.
    QStringList texts() const { return m_texts; }

private:
    void poll()
    {
        m_answered.erase(std::remove_if(m_answered.begin(), m_answered.end(),
                                        [](const QPointer<QWidget>& box) { return !box || !box->isVisible(); }),
                         m_answered.end());
        QWidget* box = QApplication::activeModalWidget();
        if (!box || !box->isVisible() || m_answered.contains(box))
            return;
        m_texts << boxText(box);
        if (m_expected.empty()) {
            ADD_FAILURE() << "unexpected box " << box->metaObject()->className() << ": " << boxText(box).toStdString();
            box->close();
            return;
        }
        m_answered << box;
        Handler handler = std::move(m_expected.front());
        m_expected.pop_front();
        QTimer::singleShot(0, box, [handler, box] { handler(box); });
    }

    QTimer m_timer;
    std::deque<Handler> m_expected;
    QStringList m_texts;
    QList<QPointer<QWidget>> m_answered;
};

// Touches a widget as a finger does: a click at its middle through its window, where a running
// modal dialog blocks other windows and a window's gesture filters see it.
inline void touch(QWidget* widget)
{
    QWidget* window = widget->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, widget->mapTo(window, widget->rect().center()));
}

// Touches the key of the given name on a keypad (or any button of a window).
inline void touchKey(QWidget* keypad, const QString& key)
{
    auto* button = keypad->findChild<QAbstractButton*>(key);
    if (!button || !button->isEnabled() || !button->isVisible()) {
        ADD_FAILURE() << "no key \"" << key.toStdString() << "\" to touch";
        return;
    }
    touch(button);
}

inline QString screenshotDir()
{
    const QString dir = qEnvironmentVariableIsEmpty("MOULD_SCREENSHOT_DIR")
                            ? QStringLiteral(MOULD_SCREENSHOT_DEFAULT_DIR)
                            : qEnvironmentVariable("MOULD_SCREENSHOT_DIR");
    QDir().mkpath(dir);
    return dir;
}

// Saves what the widget shows; false when the picture could not be written.
inline bool saveShot(QWidget* widget, const QString& name)
{
    QApplication::processEvents();
    return widget->grab().save(screenshotDir() + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Saves the part of what the widget shows that lies in the rectangle (widget coordinates).
inline bool saveShot(QWidget* widget, const QString& name, const QRect& part)
{
    QApplication::processEvents();
    return widget->grab(part).save(screenshotDir() + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Saves several windows as they lie over each other on the screen (a keypad over its dialog),
// later ones on top; the picture covers all of them.
inline bool saveShotOfWindows(const QList<QWidget*>& windows, const QString& name)
{
    QApplication::processEvents();
    QRect area;
    for (const QWidget* window : windows)
        area |= window->frameGeometry();
    QPixmap picture(area.size());
    picture.fill(Qt::black);
    QPainter painter(&picture);
    for (QWidget* window : windows)
        painter.drawPixmap(window->frameGeometry().topLeft() - area.topLeft(), window->grab());
    painter.end();
    return picture.save(screenshotDir() + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Whether a box lies where Qt centres a dialog on the rectangle: its middle there, less the
// window frame Qt allows for when there is no window manager to ask (10 left, 40 up).
inline ::testing::AssertionResult isCentredOn(const QRect& box, const QRect& on)
{
    const QPoint offset = box.center() - on.center();
    if (offset.x() <= 0 && offset.x() >= -10 && offset.y() <= 0 && offset.y() >= -40)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "box middle off by " << offset.x() << "," << offset.y();
}

// The screens' images ("./images/...") in the working directory, as ./run.sh places them.
inline void placeImages()
{
    QDir().mkpath(QStringLiteral("images"));
    const QDir built(QStringLiteral(MOULD_IMAGES_DIR));
    for (const QString& name : built.entryList({QStringLiteral("*.png")}, QDir::Files))
        QFile::copy(built.filePath(name), QStringLiteral("images/") + name);
}

}  // namespace ScreenTest
