#pragma once

#include <QString>
#include <QtGlobal>

// One network card as the card files hold it; the JSON key of each field is its name.
struct stu_netinfo {
    bool isdhcp = false;
    bool iswifi = false;
    bool ispriority = false;
    QString name;        // kernel interface name, the card's key everywhere
    QString address;
    QString netmask;
    QString gateway;
    QString mac;
    QString dns;
    QString status;      // state text as the card script reports it
    QString describe;    // shown on the card tile
    bool use = true;
    QString hotname;     // Wi-Fi network name
    QString passwd;      // Wi-Fi key
};

// The polled state of one interface for its card tile.
struct stu_speedinfo {
    bool running = false;        // link up and bytes received in the last rate step
    quint64 previousBytes = 0;   // received bytes of the previous rate step
    quint64 currentBytes = 0;    // received bytes of the current rate step
    QString rateText = QStringLiteral("0 kb/s");
    // False until the first rate step after the dialog was shown has stored this interface's
    // counts: only then is there a span to divide by.
    bool counted = false;
};
