#pragma once

#include <QString>

// The system parameters as far as the records and network services use them, stored in
// "PARAM.db", table sysparam, one (name, value) row per member.
class WizardPara {
public:
    int days = 31;               // days of pictures kept on a USB stick
    int useDiskSaveImage = 0;    // copy pictures to a USB stick
    int lostUpanAlarm = 0;       // warn when the picture stick is lost
    int isUseStatistics = 1;     // production statistics on
    int picNumNG = 500;          // pictures kept per NG folder
    int picNumOK = 0;            // pictures kept per OK folder
    int detectNum = 2;           // detection steps in use (gDNum)
    int machineType = 1;
    QString groupName = QStringLiteral("default");

    QString getCurGroupName() const { return groupName; }

    // Loads every member from the database file; a missing file, table or row gets its
    // default and is written back. A stored value the program cannot use (no number, outside
    // what the settings screens allow) is warned about, naming its key, and the default is used.
    // A file that is no database or is damaged is set aside ("<path>.broken-<stamp>") and made
    // afresh. False only when the database cannot be used at all (all members then default).
    bool load(const QString& databasePath = QStringLiteral("PARAM.db"));
    bool save(const QString& databasePath = QStringLiteral("PARAM.db")) const;
};

extern WizardPara* gpWPara;      // live parameters
extern WizardPara* gpWParaBak;   // the settings screens' edit copy
extern int gDNum;                // detection steps in use, 1..8
extern int numCamera;            // cameras in use, 1..8

constexpr int kMaxCameras = 8;
constexpr int kMaxSteps = 8;
