#include "TestPeer.h"

#include "MqttSubscription.h"
#include "TestBroker.h"

#include <QTest>
#include <QTimer>

#include <mosquitto.h>

namespace {
bool matches(const QString& filter, const QString& topic)
{
    bool result = false;
    return mosquitto_topic_matches_sub(filter.toUtf8().constData(), topic.toUtf8().constData(),
                                       &result)
        == MOSQ_ERR_SUCCESS
        && result;
}
} // namespace

TestPeer::TestPeer(const TestBroker& broker, const QString& clientId)
    : m_connection(new MqttConnection(this))
{
    static int peers = 0;
    m_connection->setHostname(broker.host());
    m_connection->setPort(broker.port());
    m_connection->setClientId(
        clientId.isEmpty()
            ? QStringLiteral("test-peer-%1-%2").arg(QCoreApplication::applicationPid()).arg(++peers)
            : clientId);
    connect(m_connection, &MqttConnection::messageReceived, this, &TestPeer::onMessage);
    connect(m_connection, &MqttConnection::stateChanged, this, &TestPeer::onStateChanged);
}

bool TestPeer::connectToBroker(int timeoutMs)
{
    m_wanted = true;
    m_connection->connectToHost();
    return waitUntilReady(timeoutMs);
}

bool TestPeer::waitUntilReady(int timeoutMs)
{
    return QTest::qWaitFor(
        [this] {
            bool ready = isConnected() && m_subscriptions.size() == m_filters.size();
            for (const auto& subscription : qAsConst(m_subscriptions))
                ready = ready && subscription
                    && subscription->state() == MqttSubscription::Subscribed;
            return ready;
        },
        timeoutMs);
}

bool TestPeer::subscribe(const QString& filter, quint8 qos, int timeoutMs)
{
    m_filters.append(qMakePair(filter, qos));
    if (isConnected())
        m_subscriptions.append(m_connection->subscribe(filter, qos));
    return waitUntilReady(timeoutMs);
}

QList<TestPeer::Message> TestPeer::messages(const QString& filter) const
{
    QList<Message> result;
    for (const Message& message : m_messages) {
        if (matches(filter, message.topic))
            result.append(message);
    }
    return result;
}

bool TestPeer::waitForMessages(const QString& filter, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return this->count(filter) >= count; }, timeoutMs);
}

bool TestPeer::respondRaw(const QString& requestFilter, Responder reply)
{
    m_responders.append({requestFilter, std::move(reply)});
    return subscribe(requestFilter, 1);
}

QString TestPeer::responseTopic(const QString& requestTopic)
{
    const int at = requestTopic.lastIndexOf(QStringLiteral("/request/"));
    return at < 0 ? QString() : QString(requestTopic).replace(at, 9, QStringLiteral("/response/"));
}

void TestPeer::onMessage(const QByteArray& payload, const QString& topic)
{
    m_messages.append({topic, payload});
    const QString response = responseTopic(topic);
    for (const auto& responder : qAsConst(m_responders)) {
        if (!response.isEmpty() && matches(responder.first, topic)) {
            for (const QByteArray& answer : responder.second(topic, payload))
                publish(response, answer);
        }
    }
}

void TestPeer::onStateChanged(MqttConnection::ClientState state)
{
    if (state == MqttConnection::Connected) {
        m_subscriptions.clear();
        for (const auto& filter : qAsConst(m_filters))
            m_subscriptions.append(m_connection->subscribe(filter.first, filter.second));
    } else if (state == MqttConnection::Disconnected && m_wanted) {
        // Quick retries: tests restart brokers and wait for peers to come back.
        QTimer::singleShot(100, this, [this] {
            if (m_wanted && m_connection->state() == MqttConnection::Disconnected)
                m_connection->connectToHost();
        });
    }
}
