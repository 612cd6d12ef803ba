#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The few lines the program prints on its terminal once it has started: that it runs, where it
// works, which ports it opened (and which it could not, with why), where its log and stored
// files are, and how to stop it. The program runs for hours without a screen to look at, so
// whoever started it learns this at once and not from the log. They go to standard output
// only; the log files keep their own lines. Built and printed in the GUI thread at start-up.
namespace StartupNotice {

struct Port {
    quint16 port = 0;
    QString service;   // "Modbus TCP"
    QString where;     // "every interface"
    QString note;      // what a newcomer should know of it while it listens
    QString error;     // why it could not be opened, in the socket's words; empty when it listens
};

struct Facts {
    QString version;
    qint64 pid = 0;
    bool panel = false;
    bool root = false;     // running as root: the ports below 1024 can be opened
    QString machineRoot;   // MOULD_ROOT; empty when none
    QString workDir;
    QString logDir;
    QString subscriptions;   // the file the API keeps its subscriptions in
    QList<Port> ports;
};

QStringList lines(const Facts& facts);
// Writes the lines to standard output at once.
void print(const QStringList& lines);

}  // namespace StartupNotice
