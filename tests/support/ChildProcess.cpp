#include "ChildProcess.h"

#include <QTest>

#include <signal.h>

ChildProcess::ChildProcess(QObject* parent)
    : QObject(parent)
{
    m_process.setProcessEnvironment(defaultEnvironment());
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &ChildProcess::collect);
    connect(&m_process, &QProcess::readyReadStandardError, this, &ChildProcess::collect);
    connect(&m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this] {
                collect();
                m_finished = true;
            });
}

ChildProcess::~ChildProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(30000);
    }
}

QProcessEnvironment ChildProcess::defaultEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    environment.remove(QStringLiteral("QT_LOGGING_TO_CONSOLE"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

void ChildProcess::setWorkingDirectory(const QString& directory)
{
    m_process.setWorkingDirectory(directory);
}

void ChildProcess::setEnvironment(const QProcessEnvironment& environment)
{
    m_process.setProcessEnvironment(environment);
}

bool ChildProcess::start(const QString& program, const QStringList& arguments)
{
    m_stdout.clear();
    m_stderr.clear();
    m_finished = false;
    m_process.start(program, arguments);
    return m_process.waitForStarted(60000);
}

bool ChildProcess::waitForStandardError(const QString& text, int msecs)
{
    return QTest::qWaitFor([&] { return standardError().contains(text) || m_finished; }, msecs)
        && standardError().contains(text);
}

bool ChildProcess::waitForStandardOutput(const QString& text, int msecs)
{
    return QTest::qWaitFor([&] { return standardOutput().contains(text) || m_finished; }, msecs)
        && standardOutput().contains(text);
}

bool ChildProcess::waitForFinished(int msecs)
{
    return QTest::qWaitFor([&] { return m_finished; }, msecs);
}

bool ChildProcess::sendSignal(int signalNumber)
{
    const qint64 pid = m_process.processId();
    return pid > 0 && !m_finished && ::kill(pid_t(pid), signalNumber) == 0;
}

bool ChildProcess::isRunning() const
{
    return !m_finished && m_process.state() != QProcess::NotRunning;
}

qint64 ChildProcess::processId() const
{
    return m_finished ? 0 : m_process.processId();
}

QString ChildProcess::standardOutput() const
{
    return QString::fromUtf8(m_stdout);
}

QString ChildProcess::standardError() const
{
    return QString::fromUtf8(m_stderr);
}

int ChildProcess::exitCode() const
{
    return m_process.exitCode();
}

QProcess::ExitStatus ChildProcess::exitStatus() const
{
    return m_process.exitStatus();
}

void ChildProcess::collect()
{
    m_stdout += m_process.readAllStandardOutput();
    m_stderr += m_process.readAllStandardError();
}
