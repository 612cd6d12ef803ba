#pragma once

#include <QPair>
#include <QString>
#include <QWidget>

class QPushButton;

// The settings page, as far as the records and network services depend on it: the picture
// storage dialog, the network settings and update screens, accepting edited settings and
// switching the parameter group. Edits go into gpWParaBak; the confirm button takes them over
// through accept(), Return drops them. GUI thread only.
class WizardParaWidget : public QWidget {
    Q_OBJECT
public:
    explicit WizardParaWidget(QWidget* parent = nullptr);

    // Shows the page over the whole screen (gShowW x gShowH), as the main window lies, in front.
    void showPage();

    // Takes the edited copy (gpWParaBak) as the live parameters, stores them in "PARAM.db" and
    // tells the USB copier and the statistics model what changed.
    void accept();

    // What deleting or restoring a parameter group does to the running services: the new
    // group's name becomes current, and the statistics count under it from the next result.
    void setCurrentParaGroup(const QString& name);

    // The update button of the maintenance actions (disabled while the update screen is open).
    QPushButton* updateButton() const { return m_updateButton; }
    // The update server as "host" or "host:port", from MOULD_UPDATE_SERVER (default 127.0.0.1).
    static QPair<QString, quint16> updateServer();

public slots:
    // Opens the picture storage dialog on gpWParaBak's values and takes back what it confirms.
    void SlotSaveImageSetting();
    // Opens the network settings screen (built once, kept in gpNetDialog); OK applies the
    // companion settings.
    void SlotToNetwork();
    // Opens the update screen when its server answers, else says the network cannot be reached.
    void SlotToVerion();

private:
    QPushButton* m_updateButton = nullptr;
};
