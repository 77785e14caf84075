#include "TestBroker.h"

#include "ChildProcess.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Binds port 0 (the kernel's choice of a free port) and returns the port bound, or
// connects to the port and returns it when that succeeds; 0 otherwise.
quint16 probe(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    const bool ok = fd >= 0
        && (port ? ::connect(fd, raw, length) == 0
                 : ::bind(fd, raw, length) == 0 && ::getsockname(fd, raw, &length) == 0);
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
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
        m_port = probe(0);
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
    QFile file(m_dir.filePath(QStringLiteral("mosquitto.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool TestBroker::launch()
{
    QStringList lines {QStringLiteral("listener %1 127.0.0.1").arg(m_port),
                       QStringLiteral("persistence false"), QStringLiteral("log_dest stderr")};
    for (const char* type : {"error", "warning", "notice", "information"})
        lines << QStringLiteral("log_type ") + QLatin1String(type);
    // As root mosquitto would switch to the user "mosquitto", who cannot read our files.
    if (::geteuid() == 0)
        lines << QStringLiteral("user root");
    const QString passwords = m_dir.filePath(QStringLiteral("passwords"));
    QFile::remove(passwords);
    for (auto it = m_users.cbegin(); it != m_users.cend(); ++it) {
        const QStringList create = QFile::exists(passwords) ? QStringList() : QStringList {"-c"};
        if (QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              QStringList {"-b"} + create
                                  + QStringList {passwords, it.key(), it.value()})
            != 0) {
            qWarning() << "TestBroker: mosquitto_passwd failed for" << it.key();
            return false;
        }
    }
    lines << (m_users.isEmpty()
                  ? QStringLiteral("allow_anonymous true")
                  : QStringLiteral("allow_anonymous false\npassword_file ") + passwords)
          << m_extraConfig;
    QFile config(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || config.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n') < 0)
        return false;
    config.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("mosquitto.log")),
                                     QIODevice::Append);
    m_process->start(QStringLiteral("/usr/sbin/mosquitto"),
                     {QStringLiteral("-c"), config.fileName()});
    QElapsedTimer clock;
    clock.start();
    bool accepting = false;
    // The wait for the process doubles as the pause between probes.
    while (!accepting && clock.elapsed() < 10000 && !m_process->waitForFinished(10)
           && m_process->state() != QProcess::NotRunning)
        accepting = probe(m_port) != 0;
    if (!accepting) {
        qWarning().noquote() << "TestBroker: mosquitto did not start on port" << m_port << "\n"
                             << log();
        stop();
    }
    return accepting;
}
