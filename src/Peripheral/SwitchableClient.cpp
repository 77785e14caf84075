#include "SwitchableClient.h"

#include <QDebug>

namespace manager {

SwitchableClient::SwitchableClient(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QString(), parent)
{
    setEmptyPayload(EmptyPayload::AsParseError);
    subscribeTo(QStringLiteral("/#"), 0);
}

bool SwitchableClient::enable()
{
    return publishEmpty(QStringLiteral("/enable"));
}

bool SwitchableClient::disable()
{
    return publishEmpty(QStringLiteral("/disable"));
}

void SwitchableClient::handle(const QString& suffix, Handler handler)
{
    m_handled.insert(topic(suffix));
    route(suffix, std::move(handler));
}

void SwitchableClient::handleMessage(const QByteArray& payload, const QString& topic)
{
    if (!m_handled.contains(topic))
        return;
    DeviceClient::handleMessage(payload, topic);
}

void SwitchableClient::parseFailed(const QByteArray& payload, const QString&,
                                   const QJsonParseError&)
{
    qCritical().noquote().nospace()
        << logTag() << "Failed to parse JSON message: " << QString::fromUtf8(payload);
}

} // namespace manager
