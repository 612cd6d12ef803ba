#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread, so the program can stop its
// threads and leave the event loop in order instead of dying in the middle of a write.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

signals:
    void sigTerminate(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};
