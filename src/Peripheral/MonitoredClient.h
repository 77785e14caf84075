#pragma once

#include "DeviceClient.h"

#include <QString>

#include <initializer_list>

namespace manager {

class MqttClient;

// Client of a service that publishes its state when asked ("{}" on a ".../get"
// topic): the board and the system inspector. It asks on every connection and,
// while monitored, every few seconds.
class MonitoredClient : public DeviceClient
{
    Q_OBJECT

public:
    MonitoredClient(MqttClient& mqtt, const QString& base, const QString& logTag,
                    QObject* parent = nullptr);

public Q_SLOTS:
    // Refreshes now and then every msec milliseconds; 0 stops.
    void monitor(int msec);

protected:
    // Subscribes to base + each suffix, after logging "Subscribing to topics".
    void subscribeAll(std::initializer_list<const char*> suffixes);
    // Publishes "{}" on base + each suffix.
    void requestAll(std::initializer_list<const char*> suffixes);
};

} // namespace manager
