#include "MonitoredClient.h"

#include "MqttClient.h"
#include "TaggedLog.h"

namespace manager {

MonitoredClient::MonitoredClient(MqttClient& mqtt, const QString& base, const QString& logTag,
                                 QObject* parent)
    : DeviceClient(mqtt, base, logTag, parent)
{
    connect(&mqtt, &MqttClient::connected, this, [this] { refresh(); });
}

void MonitoredClient::monitor(int msec)
{
    if (msec > 0)
        tagged(qInfo(), logTag()) << "Monitor started : " << msec << " msec(s)";
    else
        tagged(qInfo(), logTag()) << "Monitor stopped";
    startMonitor(msec);
}

void MonitoredClient::subscribeAll(std::initializer_list<const char*> suffixes)
{
    tagged(qInfo(), logTag()) << "Subscribing to topics";
    for (const char* suffix : suffixes)
        subscribeTo(QLatin1String(suffix), 0);
}

void MonitoredClient::requestAll(std::initializer_list<const char*> suffixes)
{
    static const QByteArray request = QByteArrayLiteral("{}");
    for (const char* suffix : suffixes)
        mqtt().publish(request, topic(QLatin1String(suffix)), 0, false);
}

} // namespace manager
