#include "DeviceTestBench.h"

#include "TestBroker.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

// Outside every device's base topic, so no client under test handles them.
static const QString probeToService = QStringLiteral("kvrt-test/probe/service");
static const QString probeToClient = QStringLiteral("kvrt-test/probe/client");

DeviceTestBench::DeviceTestBench(const TestBroker& broker)
    : m_service(broker)
{
    m_client.setHostname(broker.host());
    m_client.setPort(broker.port());
    // Quick retries: some tests restart the broker.
    m_client.setRetryMillis(200);
    m_client.subscribe(probeToClient);
    QObject::connect(&m_client, &manager::MqttClient::received,
                     [this](const QByteArray& data, const QByteArray& topic) {
                         if (topic == probeToClient.toUtf8())
                             m_clientReceived.append(data);
                     });
}

bool DeviceTestBench::start(const QString& serviceFilter, int timeoutMs)
{
    if (!m_service.connectToBroker(timeoutMs) || !m_service.subscribe(serviceFilter, 0, timeoutMs)
        || !m_service.subscribe(probeToService, 0, timeoutMs))
        return false;
    QSignalSpy connected(&m_client, &manager::MqttClient::connected);
    m_client.connect();
    if (!QTest::qWaitFor([&] { return connected.count() > 0; }, timeoutMs))
        return false;
    return sync(timeoutMs);
}

bool DeviceTestBench::sync(int timeoutMs)
{
    // Messages between two clients keep their order through the broker.
    const QByteArray toService = QByteArray::number(++m_probe);
    if (!m_client.publish(toService, probeToService))
        return false;
    const bool serviceReached = QTest::qWaitFor(
        [&] {
            const auto messages = m_service.messages(probeToService);
            return !messages.isEmpty() && messages.last().payload == toService;
        },
        timeoutMs);
    if (!serviceReached)
        return false;

    const QByteArray toClient = QByteArray::number(++m_probe);
    if (!m_service.publish(probeToClient, toClient))
        return false;
    return QTest::qWaitFor([&] { return m_clientReceived.contains(toClient); }, timeoutMs);
}

bool DeviceTestBench::deliver(const QString& topic, const QByteArray& payload)
{
    return m_service.publish(topic, payload) && sync();
}

bool DeviceTestBench::deliver(const QString& topic, const QJsonObject& json)
{
    return deliver(topic, QJsonDocument(json).toJson(QJsonDocument::Compact));
}
