#pragma once

#include "MqttConnection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QVector>

#include <functional>

class MqttSubscription;
class TestBroker;

// A second MQTT client for tests: plays a device service, publishes, and records what it
// receives. It reconnects by itself after a broker restart and then subscribes again.
class TestPeer : public QObject
{
    Q_OBJECT

public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        QJsonObject json() const { return QJsonDocument::fromJson(payload).object(); }
    };
    // The payloads sent back, in order: none, one, or several (a late duplicate answer).
    using Responder
        = std::function<QList<QByteArray>(const QString& topic, const QByteArray& request)>;

    explicit TestPeer(const TestBroker& broker, const QString& clientId = QString());

    MqttConnection& connection() { return *m_connection; }
    bool connectToBroker(int timeoutMs = 10000);
    bool isConnected() const { return m_connection->state() == MqttConnection::Connected; }
    // Waits until connected with every subscription acknowledged (after a broker restart).
    bool waitUntilReady(int timeoutMs = 10000);
    bool subscribe(const QString& filter, quint8 qos = 0, int timeoutMs = 10000);
    bool publish(const QString& topic, const QByteArray& payload, quint8 qos = 0,
                 bool retain = false)
    {
        return m_connection->publish(topic, payload, qos, retain) >= 0;
    }
    bool publish(const QString& topic, const QJsonObject& json, quint8 qos = 0)
    {
        return publish(topic, QJsonDocument(json).toJson(QJsonDocument::Compact), qos);
    }

    // Messages received on topics matching the filter, in arrival order; last() is empty
    // when there is none.
    QList<Message> messages(const QString& filter = QStringLiteral("#")) const;
    int count(const QString& filter = QStringLiteral("#")) const { return messages(filter).size(); }
    Message last(const QString& filter = QStringLiteral("#")) const
    {
        return messages(filter).value(count(filter) - 1);
    }
    void clear() { m_messages.clear(); }
    bool waitForMessages(const QString& filter, int count = 1, int timeoutMs = 10000);

    // Plays a request/response service: every request ".../request/<id>" matching the filter
    // is answered on ".../response/<id>".
    bool respondRaw(const QString& requestFilter, Responder reply);
    static QString responseTopic(const QString& requestTopic);

private:
    void onMessage(const QByteArray& payload, const QString& topic);
    void onStateChanged(MqttConnection::ClientState state);

    MqttConnection* m_connection;
    QVector<QPair<QString, quint8>> m_filters;
    QList<QPointer<MqttSubscription>> m_subscriptions;
    QVector<QPair<QString, Responder>> m_responders;
    QList<Message> m_messages;
    bool m_wanted = false; // connection wanted: reconnect after a loss
};
