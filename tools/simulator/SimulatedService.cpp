#include "SimulatedService.h"

#include "MqttConnection.h"
#include "MqttSubscription.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QTimer>

namespace {
const char* const Tag_ = "[Simulator] ";
const QString RequestMark = QStringLiteral("/request/");
const QString ResponseMark = QStringLiteral("/response/");
// Quick retries, so that a restarted broker finds its services back soon.
constexpr int ReconnectMsec = 200;

enum GenericError {
    MalformedRequest = 100,
    UnknownMethod = 101,
};

// The payload as a JSON object; false when it is anything else. An empty
// payload stands for an empty object.
bool parseObject(const QByteArray& payload, QJsonObject& json)
{
    if (payload.trimmed().isEmpty()) {
        json = QJsonObject();
        return true;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        json = QJsonObject();
        return false;
    }
    json = doc.object();
    return true;
}
} // namespace

SimulatedService::SimulatedService(const QString& baseTopic, QObject* parent)
    : QObject(parent)
    , m_base(baseTopic)
    , m_connection(new MqttConnection(this))
    , m_reconnectTimer(new QTimer(this))
{
    m_reconnectTimer->setSingleShot(true);
    m_reconnectTimer->setInterval(ReconnectMsec);
    connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
        if (m_wanted && m_connection->state() == MqttConnection::Disconnected)
            m_connection->connectToHost();
    });
    connect(m_connection, &MqttConnection::messageReceived, this, &SimulatedService::onReceived);
    connect(m_connection, &MqttConnection::stateChanged, this, &SimulatedService::onStateChanged);
}

SimulatedService::~SimulatedService() = default;

void SimulatedService::connectToBroker(const QString& host, quint16 port)
{
    static int serial = 0;
    m_connection->setHostname(host);
    m_connection->setPort(port);
    m_connection->setClientId(QStringLiteral("sim-%1-%2-%3")
                                  .arg(m_base.section(QLatin1Char('/'), -1))
                                  .arg(QCoreApplication::applicationPid())
                                  .arg(++serial));
    // A service that dies is reported offline by the broker.
    m_connection->setWillTopic(m_base + QStringLiteral("/status"));
    m_connection->setWillMessage(QJsonDocument(QJsonObject {{QStringLiteral("service"), false}})
                                     .toJson(QJsonDocument::Compact));
    m_connection->setWillQoS(1);
    m_connection->setWillRetain(true);
    m_connection->setKeepAlive(5);
    m_wanted = true;
    m_connection->connectToHost();
}

void SimulatedService::disconnectFromBroker()
{
    m_wanted = false;
    m_reconnectTimer->stop();
    m_connection->disconnectFromHost();
}

void SimulatedService::onStateChanged()
{
    switch (m_connection->state()) {
    case MqttConnection::Connected: {
        // Only what is addressed to the service: its own publications do not
        // come back to it.
        QStringList filters {
            m_base + QStringLiteral("/+/request/+"),     m_base + QStringLiteral("/+/+/request/+"),
            m_base + QStringLiteral("/+/+/+/request/+"), m_base + QStringLiteral("/info/get"),
            m_base + QStringLiteral("/status/get"),
        };
        for (const QString& suffix : commandTopics())
            filters.append(m_base + suffix);
        m_subscriptions.clear();
        for (const QString& filter : qAsConst(filters)) {
            MqttSubscription* subscription = m_connection->subscribe(filter, 1);
            if (!subscription) {
                qWarning().noquote().nospace() << Tag_ << "WARN: Cannot subscribe to " << filter;
                continue;
            }
            m_subscriptions.append(subscription);
            connect(subscription, &MqttSubscription::stateChanged, this,
                    &SimulatedService::checkSubscribed);
        }
        // Whoever subscribed while this service was away learns its state now.
        publishInfo();
        publishStatus();
        checkSubscribed();
        break;
    }
    case MqttConnection::Disconnected:
        setConnected(false);
        if (m_wanted)
            m_reconnectTimer->start();
        break;
    case MqttConnection::Connecting:
        break;
    }
}

void SimulatedService::setOnline(bool online)
{
    if (m_online == online)
        return;
    m_online = online;
    qInfo().noquote().nospace() << Tag_ << m_base << (online ? " online" : " offline");
    if (online)
        publishInfo();
    publishStatus();
    Q_EMIT onlineChanged();
}

void SimulatedService::setReply(const QString& method, const QJsonObject& reply)
{
    m_replies.insert(method, reply);
}

void SimulatedService::clearReply(const QString& method)
{
    m_replies.remove(method);
}

void SimulatedService::clearReplies()
{
    m_replies.clear();
}

void SimulatedService::setDelay(const QString& method, int msec)
{
    m_delays.insert(method, qMax(0, msec));
}

QStringList SimulatedService::requestedMethods() const
{
    QStringList methods;
    for (const Request& request : m_requests)
        methods.append(request.method);
    return methods;
}

void SimulatedService::publishInfo()
{
    if (!m_online)
        return;
    publish(QStringLiteral("/info"), info(), 0, true);
}

void SimulatedService::publishStatus()
{
    QJsonObject status {{QStringLiteral("service"), m_online}};
    if (m_online)
        status.insert(QStringLiteral("device"), deviceStatus());
    publish(QStringLiteral("/status"), status, 0, true);
}

void SimulatedService::addMethod(const QString& method, Method handler)
{
    m_methods.insert(method, std::move(handler));
}

void SimulatedService::publishEvent(const QString& suffix, const QJsonObject& payload)
{
    publish(suffix, payload, 0, false);
}

void SimulatedService::handlePublication(const QString&, const QJsonObject&, bool) { }

QJsonObject SimulatedService::completed(const QJsonObject& extra)
{
    QJsonObject reply = extra;
    reply.insert(QStringLiteral("completed"), true);
    return reply;
}

void SimulatedService::onReceived(const QByteArray& payload, const QString& topic)
{
    if (!topic.startsWith(m_base + QLatin1Char('/')))
        return;
    const QString suffix = topic.mid(m_base.size());

    const int mark = suffix.lastIndexOf(RequestMark);
    if (mark >= 0) {
        const QString method = suffix.left(mark);
        const QString id = suffix.mid(mark + RequestMark.size());
        if (method.isEmpty() || id.isEmpty() || id.contains(QLatin1Char('/'))
            || id.contains(QLatin1Char('+')) || id.contains(QLatin1Char('#'))) {
            qWarning().noquote().nospace()
                << Tag_ << "WARN: Ignoring request on malformed topic " << topic;
            return;
        }
        onRequest(method, id, payload);
        return;
    }

    if (!m_online)
        return;
    if (suffix == QLatin1String("/info/get")) {
        publishInfo();
        return;
    }
    if (suffix == QLatin1String("/status/get")) {
        publishStatus();
        return;
    }
    QJsonObject json;
    const bool valid = parseObject(payload, json);
    handlePublication(suffix, json, valid);
}

void SimulatedService::onRequest(const QString& method, const QString& id,
                                 const QByteArray& payload)
{
    Request request;
    request.method = method;
    request.id = id;
    request.valid = parseObject(payload, request.params);
    m_requests.append(request);
    Q_EMIT requestReceived(method, request.params);

    if (!m_online)
        return;
    if (!request.valid) {
        qWarning().noquote().nospace() << Tag_ << "WARN: Malformed request on " << m_base << method
                                       << " : " << QString::fromUtf8(payload.left(200));
    }
    // Like a device in motion: the answer comes when the movement is over.
    QTimer::singleShot(delay(method), this, [this, request] { answer(request); });
}

void SimulatedService::answer(const Request& request)
{
    // A service that went offline meanwhile never answers.
    if (!m_online)
        return;

    QJsonObject reply;
    if (!request.valid) {
        reply = errorReply(MalformedRequest, QStringLiteral("Malformed request"));
    } else if (m_replies.contains(request.method)) {
        reply = m_replies.value(request.method);
    } else if (const auto method = m_methods.constFind(request.method);
               method != m_methods.constEnd()) {
        reply = method.value()(request.params);
    } else {
        reply = errorReply(UnknownMethod, QStringLiteral("Unknown method ") + request.method);
    }
    publish(request.method + ResponseMark + request.id, reply, 1, false);
    Q_EMIT replied(request.method, reply);
}

void SimulatedService::publish(const QString& suffix, const QJsonObject& payload, quint8 qos,
                               bool retain)
{
    // Nothing is kept for later: a service that is not connected says nothing.
    m_connection->publish(m_base + suffix, QJsonDocument(payload).toJson(QJsonDocument::Compact),
                          qos, retain);
}

void SimulatedService::checkSubscribed()
{
    for (const auto& subscription : qAsConst(m_subscriptions)) {
        if (!subscription || subscription->state() != MqttSubscription::Subscribed)
            return;
    }
    setConnected(m_connection->state() == MqttConnection::Connected);
}

QStringList SimulatedService::commandTopics() const
{
    return QStringList();
}

void SimulatedService::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    Q_EMIT connectedChanged();
}
