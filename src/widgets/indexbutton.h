#pragma once

#include <QWidget>

class ColorButton;

// The main window's column of screen buttons. The statistics button shows the statistics screen
// full screen (building it when nobody has yet); the others announce their screen to the main
// window, which owns it. GUI thread only.
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
