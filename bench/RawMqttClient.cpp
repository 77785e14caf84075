#include "RawMqttClient.h"

#include <QSocketNotifier>

#include <mosquitto.h>

RawMqttClient::RawMqttClient(QObject* parent)
    : QObject(parent)
{
    static const bool initialised = (mosquitto_lib_init(), true);
    Q_UNUSED(initialised)
    m_mosquitto = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m_mosquitto, MOSQ_OPT_TCP_NODELAY, 1); // as MqttConnection does
    mosquitto_connect_callback_set(m_mosquitto, [](mosquitto*, void* self, int code) {
        if (code == 0)
            Q_EMIT static_cast<RawMqttClient*>(self)->connected();
    });
    mosquitto_subscribe_callback_set(m_mosquitto, [](mosquitto*, void* self, int, int, const int*) {
        Q_EMIT static_cast<RawMqttClient*>(self)->subscribed();
    });
    mosquitto_message_callback_set(
        m_mosquitto, [](mosquitto*, void* self, const mosquitto_message* message) {
            Q_EMIT static_cast<RawMqttClient*>(self)->received(
                QString::fromUtf8(message->topic),
                QByteArray(static_cast<const char*>(message->payload), message->payloadlen));
        });
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] { mosquitto_loop_misc(m_mosquitto); });
}

RawMqttClient::~RawMqttClient()
{
    if (m_notifier)
        mosquitto_disconnect(m_mosquitto);
    mosquitto_destroy(m_mosquitto);
}

bool RawMqttClient::connectToBroker(const QString& host, quint16 port)
{
    if (!m_mosquitto
        || mosquitto_connect(m_mosquitto, host.toUtf8().constData(), port, 60) != MOSQ_ERR_SUCCESS)
        return false;
    m_notifier = new QSocketNotifier(mosquitto_socket(m_mosquitto), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        m_reading = true;
        mosquitto_loop_read(m_mosquitto, 1);
        m_reading = false;
        pump();
    });
    m_misc.start();
    pump();
    return true;
}

void RawMqttClient::subscribe(const QString& filter)
{
    mosquitto_subscribe(m_mosquitto, nullptr, filter.toUtf8().constData(), 0);
    if (!m_reading)
        pump();
}

void RawMqttClient::publish(const QString& topic, const QByteArray& payload, int qos)
{
    mosquitto_publish(m_mosquitto, nullptr, topic.toUtf8().constData(), payload.size(),
                      payload.constData(), qos, false);
    if (!m_reading)
        pump();
}

void RawMqttClient::pump()
{
    // Small packets on a local socket: what is queued goes out at once (a full socket
    // buffer waits for the next turn).
    for (int i = 0; i < 100 && mosquitto_want_write(m_mosquitto); ++i) {
        if (mosquitto_loop_write(m_mosquitto, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
}
