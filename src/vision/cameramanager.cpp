#include "vision/cameramanager.h"

#include "vision/wizardpara.h"

#include <QtDebug>

CameraManager* CameraManager::_instance = nullptr;

CameraManager* CameraManager::getInstance()
{
    if (!_instance)
        _instance = new CameraManager;
    return _instance;
}

CameraManager::CameraManager()
{
    bool ok = false;
    int count = qEnvironmentVariableIntValue("MOULD_SIM_CAMERAS", &ok);
    if (!ok)
        count = 2;
    count = qBound(1, count, kMaxCameras);
    for (int i = 0; i < count; ++i) {
        _cameraInfo info;
        info.typeName = QStringLiteral("SimCamera");
        info.serialNumber = QStringLiteral("SIM%1").arg(i + 1, 4, 10, QLatin1Char('0'));
        info.extraInfo.insert(QStringLiteral("width"), kSimulatedWidth);
        info.extraInfo.insert(QStringLiteral("height"), kSimulatedHeight);
        m_cameraInfo.append(info);
    }
    qInfo() << "cameras found:" << count << "(simulated)";
}
