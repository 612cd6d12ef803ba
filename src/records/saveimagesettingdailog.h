#pragma once

#include <QDialog>
#include <QJsonObject>

class CheckBox;
class Edit;

// The picture storage settings of the settings page: day folders kept on the USB stick, whether
// pictures go to the stick at all, and whether losing it warns. It only edits a JSON object;
// the settings page fills it from the parameters and takes the values back. GUI thread only.
class SaveImageSettingDailog : public QDialog {
    Q_OBJECT
public:
    // The day folders a stick may keep.
    static constexpr int kMinDays = 1;
    static constexpr int kMaxDays = 9999;

    explicit SaveImageSettingDailog(QWidget* parent = nullptr);

    // Sets the control of each of "days", "useDiskSaveImage", "lostUpanAlarm" the object holds.
    void init(QJsonObject json);
    // Writes all three keys; "days" is -1 when the field holds no day count in range.
    void save(QJsonObject& json);

    void setDays(int days);
    int getDays(bool* ok);

    Edit* daysEdit() const { return editDays; }
    CheckBox* diskBox() const { return useDisk; }
    CheckBox* alarmBox() const { return lostAlarm; }

public slots:
    // The confirm button: accepts an empty field or a day count in range, and refuses any other
    // with a message, staying open.
    void confirm();

private:
    Edit* editDays = nullptr;
    CheckBox* lostAlarm = nullptr;
    CheckBox* useDisk = nullptr;
};
