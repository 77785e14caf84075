#include "TestPeer.h"

#include "MqttSubscription.h"
#include "TestBroker.h"

#include <QJsonDocument>
#include <QTest>
#include <QTimer>

#include <mosquitto.h>

namespace {

// Quick retries: tests restart brokers and wait for peers to come back.
constexpr int ReconnectMillis = 100;

} // namespace

QJsonObject TestPeer::Message::json() const
{
    return QJsonDocument::fromJson(payload).object();
}

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
            if (!isConnected() || m_subscriptions.size() != m_filters.size())
                return false;
            for (const auto& subscription : m_subscriptions) {
                if (!subscription || subscription->state() != MqttSubscription::Subscribed)
                    return false;
            }
            return true;
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

bool TestPeer::publish(const QString& topic, const QJsonObject& json, quint8 qos)
{
    return publish(topic, QJsonDocument(json).toJson(QJsonDocument::Compact), qos);
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

TestPeer::Message TestPeer::last(const QString& filter) const
{
    const QList<Message> all = messages(filter);
    return all.isEmpty() ? Message() : all.last();
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
    static const QString request = QStringLiteral("/request/");
    const int at = requestTopic.lastIndexOf(request);
    if (at < 0)
        return QString();
    return requestTopic.left(at) + QStringLiteral("/response/")
        + requestTopic.mid(at + request.size());
}

bool TestPeer::matches(const QString& filter, const QString& topic)
{
    bool result = false;
    return mosquitto_topic_matches_sub(filter.toUtf8().constData(), topic.toUtf8().constData(),
                                       &result)
        == MOSQ_ERR_SUCCESS
        && result;
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
        QTimer::singleShot(ReconnectMillis, this, [this] {
            if (m_wanted && m_connection->state() == MqttConnection::Disconnected)
                m_connection->connectToHost();
        });
    }
}
