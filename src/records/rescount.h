#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <vector>

// Counters of one production day: per parameter group, camera and detection step, OK and NG
// results per hour slot (slot k = k hours after the day's start). Camera index 8 and step
// index 8 select the all-camera and the whole-cycle record; the day JSON writes them as -1.

constexpr int kHourSlots = 24;
constexpr int kAllRecordIndex = 8;

struct sCount {
    int NG = 0;
    int OK = 0;
};

struct CountDetect {
    int detectID = -1;
    QList<int> OK;
    QList<int> NG;
    sCount morning;
    sCount night;
    sCount day;
};

struct CountCamera {
    int cameraID = -1;
    CountDetect cycle;
    QList<CountDetect> steps;
};

struct CountGroup {
    int morningStart = 8;
    int nightStart = 20;
    QString groupName = QStringLiteral("null");
    CountCamera allCameras;
    QList<CountCamera> cameras;
};

struct CountGroupList {
    QString date;
    std::vector<CountGroup> groups;
};

enum ShiftType { ShiftMorning = 0, ShiftNight = 1, ShiftDay = 2 };

Q_DECLARE_METATYPE(CountGroup)

// Registers the statistics types that travel through queued signals; called once at start-up.
void registerStatisticsMetaTypes();
