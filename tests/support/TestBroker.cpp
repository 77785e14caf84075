#include "TestBroker.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* const BrokerBinary = "/usr/sbin/mosquitto";
const char* const PasswdBinary = "mosquitto_passwd";
constexpr int StartTimeoutMs = 10000;

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Asks the kernel for a port nobody uses right now.
quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool accepts(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

} // namespace

TestBroker::TestBroker() = default;

TestBroker::~TestBroker()
{
    stop();
}

void TestBroker::addUser(const QString& name, const QString& password)
{
    m_users.insert(name, password);
}

void TestBroker::addConfig(const QString& line)
{
    m_extraConfig.append(line);
}

bool TestBroker::start()
{
    if (isRunning())
        return true;
    if (!m_dir.isValid()) {
        qWarning() << "TestBroker: no temporary directory";
        return false;
    }
    if (m_port != 0)
        return writeConfig() && launch();
    // Another process may take the free port before the broker binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        if (m_port != 0 && writeConfig() && launch())
            return true;
    }
    m_port = 0;
    return false;
}

void TestBroker::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
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
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool TestBroker::writeConfig()
{
    QStringList lines;
    lines << QStringLiteral("listener %1 127.0.0.1").arg(m_port)
          << QStringLiteral("persistence false") << QStringLiteral("log_dest stderr")
          << QStringLiteral("log_type error") << QStringLiteral("log_type warning")
          << QStringLiteral("log_type notice") << QStringLiteral("log_type information");
    // As root mosquitto would switch to the user "mosquitto", who cannot read our files.
    if (::geteuid() == 0)
        lines << QStringLiteral("user root");

    if (m_users.isEmpty()) {
        lines << QStringLiteral("allow_anonymous true");
    } else {
        const QString passwordFile = m_dir.filePath(QStringLiteral("passwords"));
        QFile::remove(passwordFile);
        bool first = true;
        for (auto it = m_users.cbegin(); it != m_users.cend(); ++it) {
            QStringList arguments {QStringLiteral("-b")};
            if (first)
                arguments << QStringLiteral("-c");
            arguments << passwordFile << it.key() << it.value();
            if (QProcess::execute(QString::fromLatin1(PasswdBinary), arguments) != 0) {
                qWarning() << "TestBroker: mosquitto_passwd failed for" << it.key();
                return false;
            }
            first = false;
        }
        lines << QStringLiteral("allow_anonymous false")
              << QStringLiteral("password_file %1").arg(passwordFile);
    }
    lines << m_extraConfig;

    QFile config(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    config.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    return true;
}

bool TestBroker::launch()
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("mosquitto.log")),
                                     QIODevice::Append);
    m_process->start(QString::fromLatin1(BrokerBinary),
                     {QStringLiteral("-c"), m_dir.filePath(QStringLiteral("mosquitto.conf"))});
    if (!m_process->waitForStarted(StartTimeoutMs) || !waitUntilAccepting(StartTimeoutMs)) {
        qWarning().noquote() << "TestBroker: mosquitto did not start on port" << m_port << "\n"
                             << log();
        stop();
        return false;
    }
    return true;
}

bool TestBroker::waitUntilAccepting(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (accepts(m_port))
            return true;
        // Doubles as the pause between probes and notices a broker that gave up.
        if (m_process->waitForFinished(10) || m_process->state() != QProcess::Running)
            return false;
    }
    return false;
}
