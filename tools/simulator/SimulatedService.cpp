#include "SimulatedService.h"

#include "MqttClient.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QTimer>

namespace {
const char* const Tag_ = "[Simulator] ";
const QString RequestMark = QStringLiteral("/request/");
const QString ResponseMark = QStringLiteral("/response/");

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
    , m_mqtt(std::make_unique<manager::MqttClient>())
{
    connect(m_mqtt.get(), &manager::MqttClient::received, this, &SimulatedService::onReceived);
    connect(m_mqtt.get(), &manager::MqttClient::connected, this, [this] {
        setConnected(true);
        // Whoever subscribed while this service was away learns its state now.
        publishInfo();
        publishStatus();
    });
    connect(m_mqtt.get(), &manager::MqttClient::disconnected, this,
            [this] { setConnected(false); });
    m_mqtt->subscribe(m_base + QStringLiteral("/#"), 1);
}

SimulatedService::~SimulatedService() = default;

void SimulatedService::connectToBroker(const QString& host, quint16 port)
{
    m_mqtt->setHostname(host);
    m_mqtt->setPort(port);
    m_mqtt->setClientId(QStringLiteral("sim_%1_%2")
                            .arg(m_base.section(QLatin1Char('/'), -1))
                            .arg(quintptr(this), 0, 16));
    // A service that dies is reported offline by the broker.
    m_mqtt->setWillTopic(m_base + QStringLiteral("/status"));
    m_mqtt->setWillMessage(QJsonDocument(QJsonObject {{QStringLiteral("service"), false}})
                               .toJson(QJsonDocument::Compact));
    m_mqtt->setWillQoS(1);
    m_mqtt->setWillRetain(true);
    m_mqtt->connect();
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
    m_mqtt->publish(QJsonDocument(info()).toJson(QJsonDocument::Compact),
                    m_base + QStringLiteral("/info"), 1, true);
}

void SimulatedService::publishStatus()
{
    QJsonObject status {{QStringLiteral("service"), m_online}};
    if (m_online)
        status.insert(QStringLiteral("device"), deviceStatus());
    m_mqtt->publish(QJsonDocument(status).toJson(QJsonDocument::Compact),
                    m_base + QStringLiteral("/status"), 1, true);
}

void SimulatedService::addMethod(const QString& method, Method handler)
{
    m_methods.insert(method, std::move(handler));
}

void SimulatedService::publishEvent(const QString& suffix, const QJsonObject& payload)
{
    m_mqtt->publish(QJsonDocument(payload).toJson(QJsonDocument::Compact), m_base + suffix, 1,
                    false);
}

void SimulatedService::handlePublication(const QString&, const QJsonObject&, bool) { }

QJsonObject SimulatedService::completed(const QJsonObject& extra)
{
    QJsonObject reply = extra;
    reply.insert(QStringLiteral("completed"), true);
    return reply;
}

void SimulatedService::onReceived(const QByteArray& payload, const QByteArray& topicName)
{
    const QString topic = QString::fromUtf8(topicName);
    if (!topic.startsWith(m_base + QLatin1Char('/')))
        return;
    const QString suffix = topic.mid(m_base.size());

    // Our own answers come back through the wildcard subscription.
    if (suffix.contains(ResponseMark))
        return;

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
    m_mqtt->publish(QJsonDocument(reply).toJson(QJsonDocument::Compact),
                    m_base + request.method + ResponseMark + request.id, 1, false);
    Q_EMIT replied(request.method, reply);
}

void SimulatedService::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    Q_EMIT connectedChanged();
}
