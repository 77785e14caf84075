#pragma once

#include "Deferred.h"
#include "MqttConnection.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <memory>

class QTimer;

namespace manager {

// The program's one connection to the MQTT broker.
//
// On top of MqttConnection it keeps the connection parameters, reconnects for ever (one
// attempt every retryMillis, each attempt cut after retryMillis by a watchdog), remembers
// every subscription and makes them again on each connection, relays every incoming
// message as received(), and offers a one-shot wait for the next message on a topic
// (waitTopic) and the request/response convention of the device services (executeRpc):
// request on <topic>/request/<id>, response on <topic>/response/<id>.
//
// The one-shot waits share the connection's counted subscriptions, so a wait on a filter
// that a device client also subscribed neither ends that subscription nor duplicates its
// messages.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    explicit MqttClient(QObject* parent = nullptr);
    ~MqttClient() override;

    // Stored for the next connect().
    void setHostname(const QString& hostname);
    void setPort(quint32 port);
    void setUsername(const QString& username);
    void setPassword(const QString& password);
    void setRetryMillis(quint32 millis);
    void setEncrypted(bool encrypted);
    void setCleanSession(bool cleanSession);
    void setClientId(const QString& clientId);
    void setKeepAlive(quint8 seconds);
    void setWillMessage(const QByteArray& message);
    void setWillQoS(quint8 qos);
    void setWillRetain(bool retain);
    void setWillTopic(const QString& topic);

    bool isConnected() const;

    // Introspection for leak checks: waits not yet settled, and subscription objects alive
    // in the connection (the remembered ones plus those of running waits).
    int pendingWaits() const { return m_pendingWaits; }
    int subscriptionCount() const;

public Q_SLOTS:
    // Applies the parameters and starts connecting; from now on the client reconnects by
    // itself until disconnect().
    void connect();
    // Clean disconnection; automatic reconnection stays off until the next connect().
    void disconnect();
    void subscribe(const QString& topic, quint8 qos = 0);
    bool publish(const QByteArray& data, const QString& topic, quint8 qos = 0, bool retain = false);
    // Next message on the topic filter as a JSON object. Rejects with "Not connected",
    // "Subscription failed", "Timeout" (msec <= 0: no time limit) or "Invalid response",
    // and with "Not connected" when the connection ends during the wait.
    Deferred<QJsonValue> waitTopic(const QString& topic, int msec = 3000);
    // Publishes the request (compact JSON, QoS 1) after subscribing to the response topic
    // and resolves with the whole response object; rejects like waitTopic, or with
    // "Publish failed" when the request cannot be sent.
    Deferred<QJsonValue> executeRpc(const QString& topic, const QString& rpcId,
                                    const QJsonObject& request, int msec = 3000);

Q_SIGNALS:
    void connected();
    void disconnected();
    void received(const QByteArray& data, const QByteArray& from);
    // Once per failure: attempts that go on failing in the same way do not repeat it.
    void error(const QString& error);

private Q_SLOTS:
    void onConnected();
    void onDisconnected();
    void onStateChanged(MqttConnection::ClientState state);
    void onTimeout();
    void onReconnect();
    void onReceived(const QByteArray& message, const QString& topic);
    void onError(MqttConnection::ClientError code);
    void reportError(MqttConnection::ClientError code);
    void onSubscriptionStateChanged();

private:
    struct Wait;

    void subscribeNow(const QString& topic, quint8 qos);
    std::shared_ptr<Wait> startWait(const QString& topic, int msec);
    void finishWait(const std::shared_ptr<Wait>& wait, bool resolved, const QJsonValue& value);

    MqttConnection* m_client = nullptr;
    QTimer* m_connectionTimer = nullptr;
    QVector<QPair<QString, quint8>> m_subsTopics;
    QString m_hostname = QStringLiteral("127.0.0.1");
    quint32 m_port = 1883;
    QString m_username;
    QString m_password;
    int m_retryMillis = 3000;
    bool m_encrypted = false;
    bool m_cleanSession = true;
    QString m_clientId;
    quint8 m_keepAlive = 5;
    QByteArray m_willMessage;
    quint8 m_willQos = 2;
    bool m_willRetain = true;
    QString m_willTopic;

    // One pending reconnection at most, however many Disconnected states came before.
    QTimer* m_reconnectTimer = nullptr;
    bool m_autoReconnect = false;
    int m_pendingWaits = 0;

    // Attempts that failed in a row with the same error: only the first is reported in
    // full (and as error()); the retries go on quietly, with a count now and then, so
    // that a wrong password or an absent broker does not flood the log.
    MqttConnection::ClientError m_failure = MqttConnection::NoError;
    int m_failures = 0;
    bool m_wasConnected = false;
    bool m_retrying = false; // connect() called by the retry timer, not by the owner
};

} // namespace manager
