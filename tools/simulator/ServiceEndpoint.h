#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class MqttConnection;
class MqttSubscription;
class QTimer;

// One simulated service's own broker connection. It keeps connecting again whenever the
// connection is lost, subscribes its filters on every connection (QoS 1) and counts as
// connected once they are all acknowledged. A simulator that dies is reported by the broker
// with {"service": false} on "<base>/status". Switched offline, the service says so there and
// answers nothing until it is back. What it says on each (re)connection and on going online
// or offline is the subclass's announce().
class ServiceEndpoint : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString baseTopic READ baseTopic CONSTANT)
    Q_PROPERTY(bool online READ isOnline WRITE setOnline NOTIFY onlineChanged)
    Q_PROPERTY(bool connected READ isConnected NOTIFY connectedChanged)

public:
    ~ServiceEndpoint() override;

    const QString& baseTopic() const { return m_base; }

    // Connects, and from now on connects again after every loss until disconnectFromBroker().
    void connectToBroker(const QString& host, quint16 port);
    void disconnectFromBroker();
    // Connected, with every filter subscribed: ready to answer.
    bool isConnected() const { return m_connected; }

    bool isOnline() const { return m_online; }
    void setOnline(bool online);

Q_SIGNALS:
    void onlineChanged();
    void connectedChanged();

protected:
    ServiceEndpoint(const QString& baseTopic, const QString& logTag, QObject* parent);

    QString topic(const QString& suffix) const { return m_base + suffix; }
    const QString& logTag() const { return m_tag; }

    // Only what is addressed to the service: its own publications do not come back to it.
    virtual QStringList subscriptions() const = 0;
    virtual void onMessage(const QString& topic, const QByteArray& payload) = 0;
    virtual void announce() = 0;

    // Compact JSON; nothing is kept for later: a service that is not connected says nothing.
    void publish(const QString& topic, const QJsonObject& payload, quint8 qos, bool retain);
    // The payload as a JSON object; false when it is anything else. An empty payload is {}.
    static bool parseObject(const QByteArray& payload, QJsonObject* json);

private:
    void onStateChanged();
    void checkSubscribed();
    void setConnected(bool connected);

    const QString m_base;
    const QString m_tag;
    MqttConnection* m_connection;
    QTimer* m_reconnectTimer;
    QList<QPointer<MqttSubscription>> m_subscriptions;
    bool m_wanted = false;
    bool m_connected = false;
    bool m_online = true;
};
