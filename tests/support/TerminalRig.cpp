#include "TerminalRig.h"

#include <QDebug>
#include <QSettings>
#include <QTest>

#include <csignal>

static const QString Simulator = QStringLiteral(KVRT_BINARY_DIR "/tools/kvrt-simulator");

QStringList TerminalRig::brokerOptions() const
{
    return {QStringLiteral("--host"), m_broker.host(), QStringLiteral("--port"),
            QString::number(m_broker.port())};
}

bool TerminalRig::startSimulator(const QStringList& arguments)
{
    m_simulator.setWorkingDirectory(m_dir.path());
    // Ready once its control topic answers (each try waits up to its own time-out).
    const auto answers = [&] {
        return !m_simulator.isRunning() || simulate({"status"}) || (QTest::qWait(200), false);
    };
    const bool ready = m_simulator.start(Simulator, brokerOptions() + arguments)
        && QTest::qWaitFor(answers, 30000) && m_simulator.isRunning();
    if (!ready)
        qWarning().noquote() << "TerminalRig: the simulator does not answer:\n" << diagnosis(20);
    return ready;
}

bool TerminalRig::prepareTerminal(const Options& options)
{
    if (m_terminal.isRunning())
        return false;
    const QString serial = m_dir.filePath(QStringLiteral("serialnumber"));
    QFile::remove(serial);
    QFile file(serial);
    if (!options.deviceId.isEmpty()
        && (!file.open(QIODevice::WriteOnly) || file.write(options.deviceId.toUtf8() + '\n') < 0))
        return false;
    file.close();

    const QString configFile = m_dir.filePath(QStringLiteral("gui.conf"));
    QSettings ini(configFile, QSettings::IniFormat);
    ini.clear();
    const QVariantMap config {{"gui/isEntryGate", options.entryGate},
                              {"gui/deviceId", serial},
                              {"gui/locale", options.language},
                              {"log/syslog", false},
                              {"log/stderr", true},
                              {"mqtt/host", m_broker.host()},
                              {"mqtt/port", m_broker.port()}};
    for (const QVariantMap& values : {config, options.config})
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            ini.setValue(it.key(), it.value());
    ini.sync();
    if (ini.status() != QSettings::NoError)
        return false;

    QProcessEnvironment environment = m_display.environment(ChildProcess::defaultEnvironment());
#if defined(__SANITIZE_ADDRESS__)
    // The terminal is a sanitizer build too. Its leak report at exit needs full stacks
    // to tell Qt's own leftovers (suppressed by name) apart from the program's leaks.
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       asan + (asan.isEmpty() ? "" : ":") + "fast_unwind_on_malloc=0");
#endif
    // The host's clock is not the test's to change: timedatectl is a stand-in that keeps its
    // zone in a file beside it.
    QFile tool(m_dir.filePath(QStringLiteral("timedatectl")));
    if (!tool.open(QIODevice::WriteOnly)
        || tool.write("#!/bin/sh\nzone=\"$(dirname \"$0\")/zone\"\ncase \"$1\" in\n"
                      "--no-pager) printf 'Europe/Athens\\nEurope/Berlin\\n';;\n"
                      "status) echo \"  Time zone: $(cat \"$zone\" 2>/dev/null || echo "
                      "Europe/Athens) (EET)\";;\n"
                      "set-timezone) echo \"$2\" > \"$zone\";;\nesac\n")
            < 0
        || !tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return false;
    tool.close();
    environment.insert(QStringLiteral("PATH"),
                       m_dir.path() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    for (auto it = options.environment.cbegin(); it != options.environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    m_terminal.setEnvironment(environment);
    m_terminal.setWorkingDirectory(m_dir.path());
    return true;
}

bool TerminalRig::launchTerminal()
{
    return !m_terminal.isRunning()
        && m_terminal.start(QStringLiteral(KVRT_TERMINAL_BINARY),
                            {QStringLiteral("-f"), m_dir.filePath(QStringLiteral("gui.conf")),
                             QStringLiteral("-e")});
}

bool TerminalRig::stop(ChildProcess& process, int timeoutMs)
{
    if (process.isRunning()) {
        process.sendSignal(SIGTERM);
        if (!process.waitForFinished(timeoutMs)) {
            qWarning() << "TerminalRig: a program did not end on SIGTERM; killing it";
            process.sendSignal(SIGKILL);
            process.waitForFinished(10000);
            return false;
        }
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool TerminalRig::simulate(const QStringList& words)
{
    ChildProcess send;
    return send.start(Simulator, brokerOptions() + QStringList {QStringLiteral("send")} + words)
        && send.waitForFinished(30000) && send.exitStatus() == QProcess::NormalExit
        && send.exitCode() == 0;
}

int TerminalRig::waitForLog(const QString& text, int from, int timeoutMs)
{
    int found = -1;
    (void)QTest::qWaitFor(
        [&] {
            found = log().indexOf(text, from);
            return found >= 0 || !m_terminal.isRunning();
        },
        timeoutMs);
    if (found < 0)
        found = log().indexOf(text, from);
    return found < 0 ? -1 : found + text.size();
}

QString TerminalRig::diagnosis(int lines) const
{
    return QStringLiteral("--- terminal (last lines) ---\n%1\n--- simulator (last lines) ---\n%2")
        .arg(
            (m_terminal.standardError() + m_terminal.standardOutput()).section('\n', -lines),
            (m_simulator.standardOutput() + m_simulator.standardError()).section('\n', -lines / 2));
}
