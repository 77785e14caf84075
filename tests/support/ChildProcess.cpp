#include "ChildProcess.h"

#include "ProcessGuard.h"

#include <QTest>

ChildProcess::ChildProcess(QObject* parent)
    : QObject(parent)
{
    m_process.setProcessEnvironment(defaultEnvironment());
    const auto collect = [this] {
        m_stdout += m_process.readAllStandardOutput();
        m_stderr += m_process.readAllStandardError();
        m_finished = m_process.state() == QProcess::NotRunning;
    };
    connect(&m_process, &QProcess::readyReadStandardOutput, this, collect);
    connect(&m_process, &QProcess::readyReadStandardError, this, collect);
    connect(&m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            collect);
}

ChildProcess::~ChildProcess()
{
    if (ProcessGuard::kill(m_process))
        m_process.waitForFinished(30000);
}

QProcessEnvironment ChildProcess::defaultEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_MESSAGE_PATTERN", "QT_LOGGING_RULES", "QT_LOGGING_TO_CONSOLE"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

void ChildProcess::terminate(QProcess& process)
{
    if (ProcessGuard::terminate(process) && !process.waitForFinished(10000)
        && ProcessGuard::kill(process))
        process.waitForFinished(10000);
}

bool ChildProcess::start(const QString& program, const QStringList& arguments)
{
    m_stdout.clear();
    m_stderr.clear();
    m_finished = false;
    m_process.start(program, arguments);
    return m_process.waitForStarted(60000);
}

bool ChildProcess::waitForFinished(int msecs)
{
    return QTest::qWaitFor([&] { return m_finished; }, msecs);
}

bool ChildProcess::sendSignal(int signalNumber)
{
    return !m_finished && ProcessGuard::signal(m_process, signalNumber);
}
