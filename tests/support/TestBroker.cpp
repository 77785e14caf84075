#include "TestBroker.h"

#include "ChildProcess.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QStringList& lines)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(lines.join('\n').toUtf8() + '\n') > 0;
}

} // namespace

TestBroker::TestBroker() = default;

TestBroker::~TestBroker()
{
    stop();
}

bool TestBroker::start()
{
    if (isRunning())
        return true;
    if (m_port != 0)
        return launch();
    // Another process may take the free port before the broker binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer server;
        m_port = server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
        server.close();
        if (m_port != 0 && launch())
            return true;
    }
    m_port = 0;
    return false;
}

void TestBroker::stop()
{
    if (m_process)
        ChildProcess::terminate(*m_process);
    m_process.reset();
}

bool TestBroker::restart()
{
    stop();
    return start();
}

bool TestBroker::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString TestBroker::log() const
{
    QFile file(m_dir.filePath("mosquitto.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool TestBroker::launch()
{
    QStringList config {QString("listener %1 127.0.0.1").arg(m_port), "persistence false",
                        "log_dest stderr"};
    for (const char* type : {"error", "warning", "notice", "information"})
        config << QString("log_type ") + type;
    // As root mosquitto would switch to the user "mosquitto", who cannot read our files.
    if (::geteuid() == 0)
        config << "user root";
    const QString passwords = m_dir.filePath("passwords");
    QStringList users;
    for (auto it = m_users.cbegin(); it != m_users.cend(); ++it)
        users << it.key() + ':' + it.value();
    if (users.isEmpty())
        config << "allow_anonymous true";
    else if (writeFile(passwords, users)
             && QProcess::execute("mosquitto_passwd", {"-U", passwords}) == 0)
        config << "allow_anonymous false"
               << "password_file " + passwords;
    if (!m_dir.isValid() || !writeFile(m_dir.filePath("mosquitto.conf"), config + m_extraConfig))
        return false;

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath("mosquitto.log"), QIODevice::Append);
    m_process->start("/usr/sbin/mosquitto", {"-c", m_dir.filePath("mosquitto.conf")});
    QElapsedTimer clock;
    clock.start();
    bool accepting = false;
    // The wait for the process doubles as the pause between probes.
    while (!accepting && clock.elapsed() < 10000 && !m_process->waitForFinished(10)
           && m_process->state() != QProcess::NotRunning) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        accepting = probe.waitForConnected(1000);
    }
    if (!accepting) {
        qWarning().noquote() << "TestBroker: mosquitto did not start on port" << m_port << "\n"
                             << log();
        stop();
    }
    return accepting;
}
