#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

struct mosquitto;

// The messages of some topics as they reach this process, each with the moment it came
// (CLOCK_MONOTONIC, milliseconds): a bare libmosquitto client on a network thread of its
// own, so that the time of a message does not depend on what this program's event loop
// is busy with (the output of the programs it watches, say).
class ArrivalLog
{
public:
    ArrivalLog(const QString& host, quint16 port, const QStringList& filters);
    ~ArrivalLog();
    ArrivalLog(const ArrivalLog&) = delete;
    ArrivalLog& operator=(const ArrivalLog&) = delete;

    // Connected with every subscription acknowledged.
    bool isReady() const;

    // When the first message on a topic matching the filter came at or after `from`; -1 if
    // none has. Its payload too, if asked.
    double after(const QString& filter, double from, QByteArray* payload = nullptr) const;
    // The payload of the last message on the topic (empty if none).
    QByteArray last(const QString& topic) const;

private:
    struct Message
    {
        QByteArray topic;
        QByteArray payload;
        double at;
    };

    mosquitto* m_mosquitto = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::vector<QByteArray> m_filters;
    int m_subscriptions = 0;
    int m_acknowledged = 0;
    bool m_started = false;
};
