#pragma once

#include "netservices/api/apireplies.h"
#include "netservices/api/httpapiserver.h"
#include "netservices/companion/network.h"

#include <QDir>
#include <QHostAddress>

#include <memory>

// What the API's tests start: a main window whose simulated cycle runs only when a test asks,
// with its counters at zero, and a network manager whose API is switched on.
namespace ApiTest {

// Before the main window is made.
inline void holdTheCycle()
{
    qputenv("MOULD_SIM_CYCLE_MS", "3600000");
    qputenv("MOULD_SIM_NG_EVERY", "0");
    qputenv("MOULD_SIM_CAMERAS", "2");
    HttpApiReplies::clearCurrentCount();
}

// With its workspace made; nothing listens on its companion port. Its API does not listen yet.
inline std::unique_ptr<JXK_NETMN> manager()
{
    auto manager = std::make_unique<JXK_NETMN>(1);   // nothing listens on port 1
    manager->devicename = "press 7";
    manager->workspace = "./ws/";
    QDir().mkpath(manager->workspace);
    manager->device_workapifunc = true;
    return manager;
}

// The same, listening on a free loopback port.
inline std::unique_ptr<JXK_NETMN> listeningManager()
{
    auto started = manager();
    started->apiServer->init(QHostAddress::LocalHost, 0);
    return started;
}

}  // namespace ApiTest
