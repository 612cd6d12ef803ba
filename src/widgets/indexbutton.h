#pragma once

#include <QWidget>

class ColorButton;

// The main window's column of screen buttons. Each button announces its screen; the main window
// (or the caller that owns the screen) decides how to show it. GUI thread only.
class IndexButton : public QWidget {
    Q_OBJECT
public:
    explicit IndexButton(QWidget* parent = nullptr);

    ColorButton* statisticsButton() const { return m_statistics; }
    ColorButton* settingsButton() const { return m_settings; }

signals:
    void sigStatistics();
    void sigSettings();

private:
    ColorButton* m_statistics = nullptr;
    ColorButton* m_settings = nullptr;
};
