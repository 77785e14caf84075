#include "ServiceEndpoint.h"

#include "MqttConnection.h"
#include "MqttSubscription.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QTimer>

namespace {
// Quick retries, so that a restarted broker finds its services back soon.
constexpr int ReconnectMsec = 200;

QByteArray compact(const QJsonObject& json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}
} // namespace

ServiceEndpoint::ServiceEndpoint(const QString& baseTopic, const QString& logTag, QObject* parent)
    : QObject(parent)
    , m_base(baseTopic)
    , m_tag(logTag)
    , m_connection(new MqttConnection(this))
    , m_reconnectTimer(new QTimer(this))
{
    m_reconnectTimer->setSingleShot(true);
    m_reconnectTimer->setInterval(ReconnectMsec);
    connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
        if (m_wanted && m_connection->state() == MqttConnection::Disconnected)
            m_connection->connectToHost();
    });
    connect(m_connection, &MqttConnection::messageReceived, this,
            [this](const QByteArray& payload, const QString& topic) { onMessage(topic, payload); });
    connect(m_connection, &MqttConnection::stateChanged, this, &ServiceEndpoint::onStateChanged);
}

ServiceEndpoint::~ServiceEndpoint() = default;

void ServiceEndpoint::connectToBroker(const QString& host, quint16 port)
{
    m_connection->setHostname(host);
    m_connection->setPort(port);
    // Unique per service object: two clients with one id would push each other off.
    m_connection->setClientId(QStringLiteral("kvrt-sim-%1-%2-%3")
                                  .arg(QString(m_base).replace(QLatin1Char('/'), QLatin1Char('-')))
                                  .arg(QCoreApplication::applicationPid())
                                  .arg(quintptr(this), 0, 16));
    m_connection->setWillTopic(topic(QStringLiteral("/status")));
    m_connection->setWillMessage(compact({{QStringLiteral("service"), false}}));
    m_connection->setWillQoS(1);
    m_connection->setWillRetain(true);
    m_connection->setKeepAlive(5);
    m_wanted = true;
    m_connection->connectToHost();
}

void ServiceEndpoint::disconnectFromBroker()
{
    m_wanted = false;
    m_reconnectTimer->stop();
    m_connection->disconnectFromHost();
}

void ServiceEndpoint::setOnline(bool online)
{
    if (m_online == online)
        return;
    m_online = online;
    qInfo().noquote().nospace() << m_tag << m_base << (online ? " online" : " offline");
    announce();
    Q_EMIT onlineChanged();
}

void ServiceEndpoint::publish(const QString& topic, const QJsonObject& payload, quint8 qos,
                              bool retain)
{
    m_connection->publish(topic, compact(payload), qos, retain);
}

bool ServiceEndpoint::parseObject(const QByteArray& payload, QJsonObject* json)
{
    *json = QJsonObject();
    if (payload.trimmed().isEmpty())
        return true;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *json = doc.object();
    return true;
}

void ServiceEndpoint::onStateChanged()
{
    switch (m_connection->state()) {
    case MqttConnection::Connected:
        m_subscriptions.clear();
        for (const QString& filter : subscriptions()) {
            MqttSubscription* subscription = m_connection->subscribe(filter, 1);
            if (!subscription) {
                qWarning().noquote().nospace() << m_tag << "WARN: Cannot subscribe to " << filter;
                continue;
            }
            m_subscriptions.append(subscription);
            connect(subscription, &MqttSubscription::stateChanged, this,
                    &ServiceEndpoint::checkSubscribed);
        }
        // Whoever subscribed while this service was away learns its state now.
        announce();
        checkSubscribed();
        break;
    case MqttConnection::Disconnected:
        setConnected(false);
        if (m_wanted)
            m_reconnectTimer->start();
        break;
    case MqttConnection::Connecting:
        break;
    }
}

void ServiceEndpoint::checkSubscribed()
{
    for (const auto& subscription : qAsConst(m_subscriptions)) {
        if (!subscription || subscription->state() != MqttSubscription::Subscribed)
            return;
    }
    setConnected(m_connection->state() == MqttConnection::Connected);
}

void ServiceEndpoint::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    Q_EMIT connectedChanged();
}
