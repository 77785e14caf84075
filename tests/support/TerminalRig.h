#pragma once

#include "ChildProcess.h"
#include "TestBroker.h"
#include "VirtualDisplay.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

// The whole terminal on this machine, each part its own process as on a device: a real
// broker, the simulator program (kvrt-simulator) and the terminal program on a virtual
// display, with its configuration and serial-number files in a scratch directory.
//
//     TerminalRig rig;
//     QVERIFY(rig.startDisplay() && rig.startBroker() && rig.startSimulator());
//     QVERIFY(rig.startTerminal({}) && rig.waitForLog("status changed : online") >= 0);
class TerminalRig
{
public:
    struct Options
    {
        bool entryGate = true;
        QString language = QStringLiteral("en_US");
        // Written to the serial-number file; empty: the file does not exist.
        QString deviceId = QStringLiteral("K00000001");
        // Further configuration keys ("group/name") written to the file.
        QVariantMap config;
        // Further environment variables.
        QMap<QString, QString> environment;
    };

    TerminalRig();
    ~TerminalRig();
    TerminalRig(const TerminalRig&) = delete;
    TerminalRig& operator=(const TerminalRig&) = delete;

    // The programs the virtual display needs that are missing (empty when none).
    static QString missingTools();

    bool startDisplay();
    bool startBroker();
    // Starts kvrt-simulator with the arguments (after the broker options) and waits
    // until it answers control commands.
    bool startSimulator(const QStringList& arguments = {});
    // Writes the configuration and starts the terminal on the display (log to
    // standard error, not to syslog). Returns once the process runs.
    bool startTerminal(const Options& options);
    // Asks the terminal to stop (SIGTERM) and waits; true if it ended by itself with
    // exit code 0. A terminal that does not end is killed.
    bool stopTerminal(int timeoutMs = 30000);
    bool stopSimulator(int timeoutMs = 30000);

    // Runs "kvrt-simulator send <words>"; true if the simulator accepted the command.
    // answer receives what it printed (its message, or why it failed).
    bool simulate(const QStringList& words, QString* answer = nullptr);

    // The terminal's log (standard error) so far, and its length as a mark.
    QString log() const;
    int logMark() const;
    // Waits until the terminal's log has the text at or after the mark; returns the
    // position just after it, or -1 on time-out or when the terminal ended.
    int waitForLog(const QString& text, int from = 0, int timeoutMs = 60000);
    // The last lines of the terminal's and the simulator's output, for a failure report.
    QString diagnosis(int lines = 40) const;

    TestBroker& broker() { return m_broker; }
    VirtualDisplay& display() { return m_display; }
    ChildProcess& terminal() { return m_terminal; }
    QString directory() const { return m_dir.path(); }

private:
    QString configFile() const { return m_dir.filePath(QStringLiteral("gui.conf")); }
    QString serialNumberFile() const { return m_dir.filePath(QStringLiteral("serialnumber")); }

    QTemporaryDir m_dir;
    VirtualDisplay m_display;
    TestBroker m_broker;
    ChildProcess m_simulator;
    ChildProcess m_terminal;
};
