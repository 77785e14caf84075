#include "MqttSubscription.h"

#include "MqttConnection.h"

MqttSubscription::MqttSubscription(const QString& topic, quint8 qos, MqttConnection* connection)
    : QObject(connection)
    , m_connection(connection)
    , m_topic(topic)
    , m_topicUtf8(topic.toUtf8())
    , m_qos(qos)
{ }

MqttSubscription::~MqttSubscription() = default;

void MqttSubscription::unsubscribe()
{
    if (m_state != Unsubscribed)
        m_connection->release(this);
}

void MqttSubscription::setState(SubscriptionState state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void MqttSubscription::setQos(quint8 qos)
{
    if (m_qos == qos)
        return;
    m_qos = qos;
    emit qosChanged(qos);
}
