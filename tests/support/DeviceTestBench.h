#pragma once

#include "MqttClient.h"
#include "TestPeer.h"

#include <QJsonObject>

#include <memory>

class TestBroker;

// The two ends of a device-client test on a real broker: the MqttClient that the
// client under test uses, and a peer that plays the device service and records what
// the client publishes.
//
//     DeviceTestBench bench(broker);
//     auto& board = bench.make<manager::Board>("ovant/board");
//     QVERIFY(bench.start("ovant/board/#"));   // the client's subscriptions are in force
//     QVERIFY(bench.deliver("ovant/board/status", ...)); // handled by the board
class DeviceTestBench
{
public:
    explicit DeviceTestBench(const TestBroker& broker);
    DeviceTestBench(const DeviceTestBench&) = delete;
    DeviceTestBench& operator=(const DeviceTestBench&) = delete;

    manager::MqttClient& client() { return m_client; }
    // Creates the client under test on client() (more constructor arguments follow the
    // base); the bench owns it and deletes it before the connection.
    template<class Client, class... Args>
    Client& make(const QString& base, Args&&... args)
    {
        auto client = std::make_unique<Client>(m_client, base, std::forward<Args>(args)...);
        Client& result = *client;
        m_device = std::move(client);
        return result;
    }
    TestPeer& service() { return m_service; }

    // Connects the service (recording serviceFilter) and the client, and returns once
    // the client's subscriptions on connection are in force at the broker.
    bool start(const QString& serviceFilter, int timeoutMs = 10000);
    // Returns once everything either side has published so far has reached (and been
    // handled by) the other: a probe sent after it in each direction has arrived.
    bool sync(int timeoutMs = 10000);
    // Publishes as the service and returns once the client has handled it.
    bool deliver(const QString& topic, const QByteArray& payload);
    bool deliver(const QString& topic, const QJsonObject& json);

private:
    manager::MqttClient m_client;
    TestPeer m_service;
    QList<QByteArray> m_clientReceived;
    int m_probe = 0;
    std::unique_ptr<QObject> m_device; // declared last: deleted first
};
