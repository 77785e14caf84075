#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A program run by a test as a separate process (the terminal, the simulator, or the
// test program in a helper role), its output collected as it arrives. The waits run
// the caller's event loop and end as soon as their condition holds. A process still
// running at destruction is killed.
class ChildProcess : public QObject
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject* parent = nullptr);
    ~ChildProcess() override;

    // The system environment without the variables that change Qt's message output,
    // with the headless platform plug-in.
    static QProcessEnvironment defaultEnvironment();
    // Ends a server process: SIGTERM, and SIGKILL if it is still there after 10 s.
    static void terminate(QProcess& process);

    void setWorkingDirectory(const QString& directory) { m_process.setWorkingDirectory(directory); }
    void setEnvironment(const QProcessEnvironment& environment)
    {
        m_process.setProcessEnvironment(environment);
    }
    // Starts the program; false if it could not be started.
    bool start(const QString& program, const QStringList& arguments = {});

    bool waitForFinished(int msecs = 60000);
    // Sends a POSIX signal (SIGTERM, SIGKILL, ...) to the running process.
    bool sendSignal(int signalNumber);

    bool isRunning() const { return !m_finished && m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_finished ? 0 : m_process.processId(); }
    QString standardOutput() const { return QString::fromUtf8(m_stdout); }
    QString standardError() const { return QString::fromUtf8(m_stderr); }
    // As received, without a conversion per look (for waits on a busy output).
    const QByteArray& standardErrorBytes() const { return m_stderr; }
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

private:
    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
    bool m_finished = false;
};
