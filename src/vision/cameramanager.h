#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// One camera as the camera source lists it.
struct _cameraInfo {
    QString typeName;
    QString serialNumber;
    QJsonObject extraInfo;
};

// Lists the cameras found. Without camera plug-ins it offers the simulated cameras
// (MOULD_SIM_CAMERAS, default 2, at most 8).
class CameraManager {
public:
    static CameraManager* getInstance();

    const QList<_cameraInfo>& cameraInfoList() const { return m_cameraInfo; }
    int cameraCount() const { return m_cameraInfo.size(); }

    static constexpr int kSimulatedWidth = 640;
    static constexpr int kSimulatedHeight = 480;

private:
    CameraManager();

    static CameraManager* _instance;
    QList<_cameraInfo> m_cameraInfo;
};
