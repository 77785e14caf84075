#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A program run by a test as a separate process (the terminal itself, or the test
// program re-run in a helper role), with its output collected as it arrives.
// The waits keep the caller's event loop running and use generous time-outs: they
// end as soon as the awaited condition holds. A process still running when the
// object is destroyed is killed.
class ChildProcess : public QObject
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject* parent = nullptr);
    ~ChildProcess() override;

    // The system environment without the variables that change Qt's message
    // output, and with the headless platform plug-in.
    static QProcessEnvironment defaultEnvironment();

    void setWorkingDirectory(const QString& directory);
    void setEnvironment(const QProcessEnvironment& environment);

    // Starts the program and waits until it runs; false if it could not be started.
    bool start(const QString& program, const QStringList& arguments = {});

    bool waitForStandardError(const QString& text, int msecs = 60000);
    bool waitForStandardOutput(const QString& text, int msecs = 60000);
    bool waitForFinished(int msecs = 60000);
    // Sends a POSIX signal (SIGTERM, SIGINT, ...) to the running process.
    bool sendSignal(int signalNumber);

    bool isRunning() const;
    // The operating system's id of the running process (0 when none).
    qint64 processId() const;
    QString standardOutput() const;
    QString standardError() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;

private:
    void collect();

    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
    bool m_finished = false;
};
