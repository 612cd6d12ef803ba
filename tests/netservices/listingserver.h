#pragma once

// The update server of the download tests: the repo's listing server (python3) serving a folder
// of the test's working directory under "/monitor/" on 127.0.0.1 at a port it picks, and an
// answerer for the download dialog's message boxes.
#include "netservices/netcards/versiondownloaddialog.h"
#include "support/testenv.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

class ListingServer {
public:
    explicit ListingServer(const QString& folder)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral("python3"), {script(), folder});
        if (!m_process.waitForStarted(5000))
            return;
        // The first line tells the port: "listening on 127.0.0.1:PORT".
        TestEnv::waitUntil([this] { return m_process.canReadLine() || m_process.state() != QProcess::Running; }, 10000);
        const QByteArray line = m_process.readLine().trimmed();
        m_port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
    }

    ~ListingServer()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }

    static QString script()
    {
        return QFileInfo(QStringLiteral(MOULD_PROGRAM_PATH)).absolutePath() + QStringLiteral("/standins/listing_server.py");
    }

    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// Answers the download dialog's boxes in order (by button text) and records every box's text.
// A box that asks for an answer nobody gave is rejected at once and counted as unexpected.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QStringList answers) : m_answers(std::move(answers))
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start(10);
    }

    QStringList texts;
    int unexpected = 0;

private:
    void poll()
    {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            auto* box = qobject_cast<v_SelectBox*>(window);
            if (!box || !box->isVisible() || box->property("answered").toBool())
                continue;
            box->setProperty("answered", true);
            texts << box->text();
            if (box->mode() == 0)
                continue;
            if (m_answers.isEmpty()) {
                ++unexpected;
                box->reject();
                continue;
            }
            const QString answer = m_answers.takeFirst();
            const QList<QPushButton*> buttons = box->findChildren<QPushButton*>();
            for (QPushButton* button : buttons) {
                if (button->text() == answer) {
                    button->click();
                    break;
                }
            }
        }
    }

    QStringList m_answers;
    QTimer m_timer;
};
