#include "ArrivalLog.h"

#include <mosquitto.h>

#include <ctime>

namespace {

double nowMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

} // namespace

ArrivalLog::ArrivalLog(const QString& host, quint16 port, const QStringList& filters)
{
    mosquitto_lib_init();
    m_mosquitto = mosquitto_new(nullptr, true, this);
    if (!m_mosquitto)
        return;
    mosquitto_int_option(m_mosquitto, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(
        m_mosquitto, [](mosquitto*, void* self, const mosquitto_message* message) {
            const double at = nowMs();
            auto* log = static_cast<ArrivalLog*>(self);
            const std::lock_guard<std::mutex> lock(log->m_mutex);
            log->m_messages.push_back(
                {QByteArray(message->topic),
                 QByteArray(static_cast<const char*>(message->payload), message->payloadlen), at});
        });
    mosquitto_subscribe_callback_set(m_mosquitto, [](mosquitto*, void* self, int, int, const int*) {
        auto* log = static_cast<ArrivalLog*>(self);
        const std::lock_guard<std::mutex> lock(log->m_mutex);
        ++log->m_acknowledged;
    });
    // Subscribed again on every connection, as the answers are counted.
    m_subscriptions = filters.size();
    mosquitto_connect_callback_set(m_mosquitto, [](mosquitto* handle, void* self, int code) {
        if (code != 0)
            return;
        auto* log = static_cast<ArrivalLog*>(self);
        const std::lock_guard<std::mutex> lock(log->m_mutex);
        log->m_acknowledged = 0;
        for (const QByteArray& filter : log->m_filters)
            mosquitto_subscribe(handle, nullptr, filter.constData(), 0);
    });
    for (const QString& filter : filters)
        m_filters.push_back(filter.toUtf8());
    m_started
        = mosquitto_connect(m_mosquitto, host.toUtf8().constData(), port, 60) == MOSQ_ERR_SUCCESS
        && mosquitto_loop_start(m_mosquitto) == MOSQ_ERR_SUCCESS;
}

ArrivalLog::~ArrivalLog()
{
    if (m_started) {
        mosquitto_disconnect(m_mosquitto);
        mosquitto_loop_stop(m_mosquitto, false);
    }
    mosquitto_destroy(m_mosquitto);
}

bool ArrivalLog::isReady() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_started && m_acknowledged >= m_subscriptions;
}

double ArrivalLog::after(const QString& filter, double from, QByteArray* payload) const
{
    const QByteArray wanted = filter.toUtf8();
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Message& message : m_messages) {
        bool matches = false;
        mosquitto_topic_matches_sub(wanted.constData(), message.topic.constData(), &matches);
        if (matches && message.at >= from) {
            if (payload)
                *payload = message.payload;
            return message.at;
        }
    }
    return -1;
}

QByteArray ArrivalLog::last(const QString& topic) const
{
    const QByteArray wanted = topic.toUtf8();
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_messages.rbegin(); it != m_messages.rend(); ++it) {
        if (it->topic == wanted)
            return it->payload;
    }
    return QByteArray();
}
