#include "Network.h"

#include "Ethernet.h"
#include "JsonField.h"
#include "MqttClient.h"
#include "UpdateProperty.h"

#include <QDebug>

namespace manager {

namespace {

const QString infoTopic = QStringLiteral("/info");
const QString statusTopic = QStringLiteral("/status");

} // namespace

Network::Network(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QStringLiteral("[Network] "), parent)
    , m_ethernet(new Ethernet(mqtt, base, this))
{
    route(infoTopic,
          [this](const QJsonObject& json, const QString& topic) { onInfoReceived(json, topic); });
    route(statusTopic,
          [this](const QJsonObject& json, const QString& topic) { onStatusReceived(json, topic); });
    connect(&mqtt, &MqttClient::connected, this, &Network::refresh);

    qInfo().noquote().nospace() << logTag() << "Subscribing to topics";
    subscribeTo(infoTopic, 0);
    subscribeTo(statusTopic, 0);
}

void Network::refresh()
{
    qInfo().noquote().nospace() << logTag() << "Refreshing data";
}

void Network::monitor(int msec)
{
    if (msec != 0)
        qInfo().noquote().nospace() << logTag() << "Monitor started : " << msec << " msec(s)";
    else
        qInfo().noquote().nospace() << logTag() << "Monitor stopped";
    startMonitor(msec);
}

void Network::onInfoReceived(const QJsonObject&, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing info topic " << topic;
}

void Network::onStatusReceived(const QJsonObject& json, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing status topic " << topic;

    // A field of the wrong type is logged by JsonField and keeps its value.
    const auto updateText = [&](const QString& key, QString& field, void (Network::*notify)()) {
        if (const auto value = JsonField::text(json, key, logTag()))
            updateProperty(field, *value, this, notify);
    };
    updateText(QStringLiteral("stateStr"), m_connectionState, &Network::connectionStateChanged);
    updateText(QStringLiteral("connectivityStr"), m_connectivity, &Network::connectivityChanged);
    updateText(QStringLiteral("hostname"), m_hostname, &Network::hostnameChanged);

    const auto primary = JsonField::object(json, QStringLiteral("primaryConnection"), logTag());
    if (!primary)
        return;
    QVariantMap map = primary->toVariantMap();
    const QPair<QString, QString> texts[] = {
        {QStringLiteral("interface"), m_primary.interface()},
        {QStringLiteral("stateStr"), m_primary.state()},
        {QStringLiteral("typeStr"), m_primary.type()},
    };
    for (const auto& text : texts) {
        const auto value = JsonField::text(*primary, text.first, logTag());
        map.insert(text.first, value ? *value : text.second);
    }
    const auto ipv4 = JsonField::object(*primary, QStringLiteral("ipv4"), logTag());
    map.insert(QStringLiteral("ipv4"),
               ipv4 ? m_primary.ipv4Settings().checked(*ipv4, logTag())
                    : m_primary.ipv4Settings().toMap());
    m_primary.fromMap(map);
    Q_EMIT primaryConnectionChanged();
}

} // namespace manager
