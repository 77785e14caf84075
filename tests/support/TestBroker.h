#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// A real mosquitto broker for tests and benchmarks on a free loopback port, configured
// in a temporary directory (no persistence), stopped at destruction.
//
//     TestBroker broker;
//     QVERIFY(broker.start());
//     client.setHostname(broker.host());
//     client.setPort(broker.port());
class TestBroker
{
public:
    TestBroker();
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Before start(): require these credentials instead of allowing anonymous clients.
    void addUser(const QString& name, const QString& password) { m_users.insert(name, password); }
    // Before start(): one more mosquitto.conf line, e.g. "max_queued_messages 0".
    void addConfig(const QString& line) { m_extraConfig.append(line); }

    // Returns once the broker accepts connections. The first start picks a free port,
    // later starts keep it.
    bool start();
    // SIGTERM, and waits: clients see their connection close.
    void stop();
    bool restart();
    bool isRunning() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    // The broker's log since the first start, for diagnosis and for what it received.
    QString log() const;

private:
    bool launch();

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QMap<QString, QString> m_users;
    QStringList m_extraConfig;
};
