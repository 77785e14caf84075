#include "DeviceClient.h"

#include "MqttClient.h"
#include "SecretMask.h"

#include <QDebug>
#include <QJsonDocument>

namespace manager {

DeviceClient::DeviceClient(MqttClient& mqtt, const QString& baseTopic, const QString& logTag,
                           QObject* parent)
    : QObject(parent)
    , m_mqtt(mqtt)
    , m_base(baseTopic)
    , m_tag(logTag)
{
    connect(&m_mqtt, &MqttClient::received, this, &DeviceClient::onReceived);
    connect(&m_monitor, &QTimer::timeout, this, [this] { refresh(); });
}

void DeviceClient::subscribeTo(const QString& suffix, quint8 qos)
{
    m_mqtt.subscribe(topic(suffix), qos);
}

void DeviceClient::route(const QString& suffix, Handler handler)
{
    m_routes.append({topic(suffix), std::move(handler)});
}

void DeviceClient::onReceived(const QByteArray& payload, const QByteArray& topic)
{
    handleMessage(payload, QString::fromUtf8(topic));
}

void DeviceClient::handleMessage(const QByteArray& payload, const QString& topic)
{
    if (!topic.contains(m_base))
        return;

    QByteArray text = payload;
    if (m_stopAtNul) {
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
    }
    if (text.isEmpty() && m_emptyPayload == EmptyPayload::AsEmptyObject)
        text = QByteArrayLiteral("{}");

    QJsonObject json;
    if (!parseObject(text, topic, json))
        return;
    for (const auto& route : qAsConst(m_routes)) {
        if (route.first == topic) {
            route.second(json, topic);
            return;
        }
    }
    unrouted(json, topic);
}

bool DeviceClient::parseObject(const QByteArray& text, const QString& topic, QJsonObject& object)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    // Every message of the services is an object: an array must not read as an object
    // whose fields are all missing (a status without "service" means the service is down).
    if (error.error == QJsonParseError::NoError && !doc.isObject())
        error.error = QJsonParseError::IllegalValue;
    if (error.error != QJsonParseError::NoError) {
        parseFailed(text, topic, error);
        return false;
    }
    object = doc.object();
    return true;
}

void DeviceClient::parseFailed(const QByteArray&, const QString&, const QJsonParseError& error)
{
    qCritical().noquote().nospace()
        << m_tag << "Failed to parse JSON message: " << error.errorString();
}

QString DeviceClient::payloadForLog(const QByteArray& payload)
{
    // A payload can be as large as the broker allows: bad input must not flood the log.
    // It may also carry a password (a service's configuration report): masked first.
    constexpr int MaxLogged = 512;
    const QString text = SecretMask::text(QString::fromUtf8(payload));
    if (payload.size() <= MaxLogged)
        return text;
    return text.left(MaxLogged) + QStringLiteral("... (") + QString::number(payload.size())
        + QStringLiteral(" bytes)");
}

void DeviceClient::unrouted(const QJsonObject&, const QString&) { }

bool DeviceClient::publishCommand(const QString& suffix, const QJsonObject& payload)
{
    return m_mqtt.publish(QJsonDocument(payload).toJson(QJsonDocument::Indented), topic(suffix), 0,
                          false);
}

bool DeviceClient::publishEmpty(const QString& suffix)
{
    return m_mqtt.publish(QByteArray(), topic(suffix), 0, false);
}

Deferred<QJsonValue> DeviceClient::request(const QString& suffix, const QJsonObject& params,
                                           int timeoutMsec)
{
    return m_mqtt.executeRpc(topic(suffix), QString::number(++m_rpcId), params, timeoutMsec);
}

void DeviceClient::startMonitor(int msec)
{
    if (msec <= 0) {
        m_monitor.stop();
        return;
    }
    refresh();
    m_monitor.start(msec);
}

} // namespace manager
