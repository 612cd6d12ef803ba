#pragma once

#include <QString>
#include <QWidget>

// The settings page, as far as the records services depend on it: the picture storage dialog,
// accepting edited settings and switching the parameter group. Edits go into gpWParaBak; the
// confirm button takes them over through accept(), Return drops them. GUI thread only.
class WizardParaWidget : public QWidget {
    Q_OBJECT
public:
    explicit WizardParaWidget(QWidget* parent = nullptr);

    // Takes the edited copy (gpWParaBak) as the live parameters, stores them in "PARAM.db" and
    // tells the USB copier and the statistics model what changed.
    void accept();

    // What deleting or restoring a parameter group does to the running services: the new
    // group's name becomes current, and the statistics count under it from the next result.
    void setCurrentParaGroup(const QString& name);

public slots:
    // Opens the picture storage dialog on gpWParaBak's values and takes back what it confirms.
    void SlotSaveImageSetting();
};
