#include "TerminalRig.h"

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <csignal>

namespace {
const char* const SimulatorBinary = KVRT_BINARY_DIR "/tools/kvrt-simulator";
constexpr int SimulatorReadyMs = 30000;

QString lastLines(const QString& text, int lines)
{
    QStringList all = text.split(QLatin1Char('\n'));
    if (all.size() > lines)
        all = all.mid(all.size() - lines);
    return all.join(QLatin1Char('\n'));
}

} // namespace

TerminalRig::TerminalRig() = default;

TerminalRig::~TerminalRig()
{
    // A clean stop first, so that the programs leave nothing behind; the members'
    // destructors kill whatever is left.
    if (m_terminal.isRunning())
        stopTerminal(10000);
    if (m_simulator.isRunning())
        stopSimulator(10000);
}

QString TerminalRig::missingTools()
{
    return VirtualDisplay::missingTools({QStringLiteral("Xvfb"), QStringLiteral("xdotool")});
}

bool TerminalRig::startDisplay()
{
    return m_display.start(QSize(1024, 600), 24);
}

bool TerminalRig::startBroker()
{
    return m_broker.start();
}

bool TerminalRig::startSimulator(const QStringList& arguments)
{
    m_simulator.setWorkingDirectory(m_dir.path());
    if (!m_simulator.start(QString::fromLatin1(SimulatorBinary),
                           QStringList {QStringLiteral("--host"), m_broker.host(),
                                        QStringLiteral("--port"), QString::number(m_broker.port())}
                               + arguments)) {
        qWarning().noquote() << "TerminalRig: could not start" << SimulatorBinary;
        return false;
    }
    // Ready once its control topic answers (each try waits up to its own time-out).
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < SimulatorReadyMs && m_simulator.isRunning()) {
        if (simulate({QStringLiteral("status")}))
            return true;
        QTest::qWait(200);
    }
    qWarning().noquote() << "TerminalRig: the simulator does not answer:\n"
                         << lastLines(m_simulator.standardOutput() + m_simulator.standardError(),
                                      20);
    return false;
}

bool TerminalRig::startTerminal(const Options& options)
{
    if (m_terminal.isRunning()) {
        qWarning() << "TerminalRig: the terminal already runs";
        return false;
    }
    QFile::remove(serialNumberFile());
    if (!options.deviceId.isEmpty()) {
        QFile serial(serialNumberFile());
        if (!serial.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || serial.write(options.deviceId.toUtf8() + '\n') < 0)
            return false;
    }

    QSettings ini(configFile(), QSettings::IniFormat);
    ini.clear();
    const QVariantMap config {{QStringLiteral("gui/isEntryGate"), options.entryGate},
                              {QStringLiteral("gui/deviceId"), serialNumberFile()},
                              {QStringLiteral("gui/locale"), options.language},
                              {QStringLiteral("log/syslog"), false},
                              {QStringLiteral("log/stderr"), true},
                              {QStringLiteral("mqtt/host"), m_broker.host()},
                              {QStringLiteral("mqtt/port"), m_broker.port()}};
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
    for (auto it = options.environment.cbegin(); it != options.environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    m_terminal.setEnvironment(environment);
    m_terminal.setWorkingDirectory(m_dir.path());
    return m_terminal.start(QStringLiteral(KVRT_TERMINAL_BINARY),
                            {QStringLiteral("-f"), configFile(), QStringLiteral("-e")});
}

bool TerminalRig::stopTerminal(int timeoutMs)
{
    if (!m_terminal.isRunning())
        return m_terminal.exitStatus() == QProcess::NormalExit && m_terminal.exitCode() == 0;
    m_terminal.sendSignal(SIGTERM);
    if (!m_terminal.waitForFinished(timeoutMs)) {
        qWarning() << "TerminalRig: the terminal did not end on SIGTERM; killing it";
        m_terminal.sendSignal(SIGKILL);
        m_terminal.waitForFinished(10000);
        return false;
    }
    return m_terminal.exitStatus() == QProcess::NormalExit && m_terminal.exitCode() == 0;
}

bool TerminalRig::stopSimulator(int timeoutMs)
{
    if (!m_simulator.isRunning())
        return true;
    m_simulator.sendSignal(SIGTERM);
    if (!m_simulator.waitForFinished(timeoutMs)) {
        m_simulator.sendSignal(SIGKILL);
        m_simulator.waitForFinished(10000);
        return false;
    }
    return m_simulator.exitCode() == 0;
}

bool TerminalRig::simulate(const QStringList& words, QString* answer)
{
    ChildProcess send;
    if (!send.start(QString::fromLatin1(SimulatorBinary),
                    QStringList {QStringLiteral("--host"), m_broker.host(),
                                 QStringLiteral("--port"), QString::number(m_broker.port()),
                                 QStringLiteral("send")}
                        + words))
        return false;
    const bool finished = send.waitForFinished(30000);
    if (answer)
        *answer = (send.standardOutput() + send.standardError()).trimmed();
    return finished && send.exitStatus() == QProcess::NormalExit && send.exitCode() == 0;
}

QString TerminalRig::log() const
{
    return m_terminal.standardError();
}

int TerminalRig::logMark() const
{
    return log().size();
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
        .arg(lastLines(m_terminal.standardError() + m_terminal.standardOutput(), lines),
             lastLines(m_simulator.standardOutput() + m_simulator.standardError(), lines / 2));
}
