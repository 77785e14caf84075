#pragma once

#include "ChildProcess.h"
#include "TestBroker.h"
#include "VirtualDisplay.h"

#include <QTemporaryDir>
#include <QVariantMap>

// The whole terminal on this machine, each part its own process as on a device: a real
// broker, the simulator program (kvrt-simulator) and the terminal program on a virtual
// display, with its configuration and serial-number files in a scratch directory.
class TerminalRig
{
public:
    struct Options
    {
        bool entryGate = true;
        QString language = QStringLiteral("en_US");
        QString deviceId = QStringLiteral("K00000001"); // empty: no serial-number file
        QVariantMap config; // further keys ("group/name")
        QMap<QString, QString> environment; // further variables
    };
    ~TerminalRig() { stopTerminal(10000), stopSimulator(10000); }

    // The programs the virtual display needs that are missing (empty: none).
    static QString missingTools() { return VirtualDisplay::missingTools({"Xvfb", "xdotool"}); }

    bool startDisplay() { return m_display.start(QSize(1024, 600), 24); }
    bool startBroker() { return m_broker.start(); }
    // Starts kvrt-simulator with these arguments; returns once it answers commands.
    bool startSimulator(const QStringList& arguments = {});
    // Writes the configuration and starts the terminal (log to standard error).
    bool startTerminal(const Options& options)
    {
        return prepareTerminal(options) && launchTerminal();
    }
    // The two halves of startTerminal: writing its files, and starting the program.
    bool prepareTerminal(const Options& options);
    bool launchTerminal();
    // SIGTERM and wait; true if it ended by itself with exit code 0. Killed otherwise.
    bool stopTerminal(int timeoutMs = 30000) { return stop(m_terminal, timeoutMs); }
    bool stopSimulator(int timeoutMs = 30000) { return stop(m_simulator, timeoutMs); }
    // Runs "kvrt-simulator send <words>"; true if the simulator accepted the command.
    bool simulate(const QStringList& words);

    // The terminal's log (standard error) so far; waitForLog returns the position just
    // after the text at or after from, or -1 on time-out or when the terminal ended.
    QString log() const { return m_terminal.standardError(); }
    int waitForLog(const QString& text, int from = 0, int timeoutMs = 60000);
    // The last lines of the terminal's and the simulator's output, for a failure report.
    QString diagnosis(int lines = 40) const;

    TestBroker& broker() { return m_broker; }
    VirtualDisplay& display() { return m_display; }
    ChildProcess& terminal() { return m_terminal; }
    QString directory() const { return m_dir.path(); }

private:
    static bool stop(ChildProcess& process, int timeoutMs);
    QStringList brokerOptions() const;

    QTemporaryDir m_dir;
    VirtualDisplay m_display;
    TestBroker m_broker;
    ChildProcess m_simulator;
    ChildProcess m_terminal;
};
