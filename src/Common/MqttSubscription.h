#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class MqttConnection;

// One topic filter subscribed on an MqttConnection.
//
// The connection creates and owns these objects: subscribing a filter that is already
// subscribed returns the same object and counts one more holder. The object reaches
// Unsubscribed when its last holder releases it or when the connection ends; the
// connection then deletes it with deleteLater(), so keep it in a QPointer.
class MqttSubscription : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString topic READ topic CONSTANT)
    Q_PROPERTY(quint8 qos READ qos NOTIFY qosChanged)
    Q_PROPERTY(SubscriptionState state READ state NOTIFY stateChanged)
    Q_PROPERTY(int holders READ holders)

public:
    enum SubscriptionState { Unsubscribed, SubscriptionPending, Subscribed, Error };
    Q_ENUM(SubscriptionState)

    ~MqttSubscription() override;

    QString topic() const { return m_topic; }
    quint8 qos() const { return m_qos; }
    SubscriptionState state() const { return m_state; }
    // Number of subscribe() calls not yet released; 0 once the subscription has ended.
    int holders() const { return m_holders; }

public Q_SLOTS:
    // Releases one hold, like MqttConnection::unsubscribe(topic()) while this object is
    // still the connection's subscription of the filter; does nothing once it has ended.
    void unsubscribe();

Q_SIGNALS:
    void stateChanged(MqttSubscription::SubscriptionState state);
    void qosChanged(quint8 qos);
    void messageReceived(const QByteArray& message, const QString& topic);

private:
    friend class MqttConnection;
    MqttSubscription(const QString& topic, quint8 qos, MqttConnection* connection);

    void setState(SubscriptionState state);
    void setQos(quint8 qos);

    MqttConnection* m_connection;
    const QString m_topic;
    const QByteArray m_topicUtf8; // matched against every incoming topic
    quint8 m_qos;
    SubscriptionState m_state = SubscriptionPending;
    int m_holders = 1;
};
