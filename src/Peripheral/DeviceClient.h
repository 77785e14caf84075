#pragma once

#include "Deferred.h"

#include <QJsonObject>
#include <QJsonParseError>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace manager {

class MqttClient;

// Common ground of every device-service client: the shared MQTT connection, the
// base topic, and the way an incoming message travels: filtered by the base,
// parsed as JSON, then dispatched by its exact topic to a handler registered with
// route(). It also numbers request/response calls per client and publishes
// commands in the services' conventions.
class DeviceClient : public QObject
{
    Q_OBJECT

public:
    // How an empty payload is treated before parsing.
    enum class EmptyPayload {
        AsEmptyObject, // parsed as "{}"
        AsParseError, // handed to the parser as it is, which fails
    };

    DeviceClient(MqttClient& mqtt, const QString& baseTopic, const QString& logTag,
                 QObject* parent = nullptr);

    const QString& baseTopic() const { return m_base; }
    MqttClient& mqtt() const { return m_mqtt; }

protected:
    using Handler = std::function<void(const QJsonObject& json, const QString& topic)>;

    QString topic(const QString& suffix) const { return m_base + suffix; }
    const QString& logTag() const { return m_tag; }

    // Subscribes to base + suffix.
    void subscribeTo(const QString& suffix, quint8 qos = 0);
    // Messages on exactly base + suffix go to handler; the first registration of
    // a suffix wins, as the services' topics are matched in a fixed order.
    void route(const QString& suffix, Handler handler);

    void setEmptyPayload(EmptyPayload policy) { m_emptyPayload = policy; }
    // Decodes the payload up to its first NUL byte, for services that pad with NULs.
    void setStopAtNul(bool stop) { m_stopAtNul = stop; }

    // Entry point of every message the MQTT client delivers. The default filters,
    // parses and dispatches; clients with topics outside their base extend it.
    virtual void handleMessage(const QByteArray& payload, const QString& topic);
    // The payload as a JSON object into `object`; for anything else (broken text, an
    // array, a bare value) calls parseFailed and returns false.
    bool parseObject(const QByteArray& text, const QString& topic, QJsonObject& object);
    // Called for a message under the base that is not a JSON object. The default logs
    // "Failed to parse JSON message: " and the parser's error text at critical level.
    virtual void parseFailed(const QByteArray& payload, const QString& topic,
                             const QJsonParseError& error);
    // A payload as log text: its first 512 bytes, and its full length when it is longer.
    static QString payloadForLog(const QByteArray& payload);
    // Called for a parsed message under the base whose topic has no route.
    virtual void unrouted(const QJsonObject& json, const QString& topic);

    // Commands are fire-and-forget: indented JSON, QoS 0, not retained.
    bool publishCommand(const QString& suffix, const QJsonObject& payload);
    bool publishEmpty(const QString& suffix);

    // One request/response call on base + suffix with the next request id.
    Deferred<QJsonValue> request(const QString& suffix, const QJsonObject& params, int timeoutMsec);
    int lastRequestId() const { return m_rpcId; }

    // Calls refresh() now and then every msec milliseconds; 0 stops polling.
    void startMonitor(int msec);
    virtual void refresh() { }

private:
    void onReceived(const QByteArray& payload, const QByteArray& topic);

    MqttClient& m_mqtt;
    const QString m_base;
    const QString m_tag;
    EmptyPayload m_emptyPayload = EmptyPayload::AsEmptyObject;
    bool m_stopAtNul = false;
    int m_rpcId = 0;
    QList<QPair<QString, Handler>> m_routes;
    QTimer m_monitor;
};

} // namespace manager
