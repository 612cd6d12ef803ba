#pragma once

// Small shared pieces of the probe programs: lines on stdout (flushed at once, so a script
// reading a pipe sees each line when it happens), ADDR:PORT arguments, and a clean stop on
// SIGTERM or SIGINT.
#include "base/signalwatcher.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace Probe {

inline void printLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

inline void printJson(const QJsonObject& object)
{
    printLine(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

// "ADDR:PORT"; the port may be 0. False when the text is not of that form.
inline bool parseEndpoint(const QString& text, QHostAddress& address, quint16& port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint value = text.mid(colon + 1).toUInt(&ok);
    if (!ok || value > 65535 || !address.setAddress(text.left(colon)))
        return false;
    port = quint16(value);
    return true;
}

inline int usage(const char* text)
{
    std::fprintf(stderr, "usage: %s\n", text);
    return 2;
}

// Leaves the event loop on SIGTERM or SIGINT; lives as long as the application.
inline void quitOnSignals(QCoreApplication& app)
{
    auto* watcher = new SignalWatcher(&app);
    QObject::connect(watcher, &SignalWatcher::sigTerminate, &app, [](int) { QCoreApplication::quit(); });
}

}  // namespace Probe
