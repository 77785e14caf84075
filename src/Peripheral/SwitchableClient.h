#pragma once

#include "DeviceClient.h"

#include <QSet>
#include <QString>

#include <optional>

namespace manager {

class MqttClient;

// Client of a small service that publishes everything under its base topic and is
// switched on and off by empty messages on base + "/enable" and "/disable": the
// barcode scanner and the GPS receiver. These clients log without a tag.
//
// Since the client subscribes to base + "/#", it also receives its own commands and
// whatever else the service publishes there. Only the topics it handles are parsed:
// an empty "/enable" coming back is no malformed message.
class SwitchableClient : public DeviceClient
{
    Q_OBJECT

public:
    // The identification the service publishes on base + "/info".
    struct Info
    {
        // From the device information.
        QString firmware;
        QString manufacturer;
        QString model;
        // From the service information.
        QString type;
        QString version;
    };

    SwitchableClient(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    // Publish the command; false when it could not be sent (e.g. not connected).
    bool enable();
    bool disable();

protected:
    // Messages on exactly base + suffix go to handler.
    void handle(const QString& suffix, Handler handler);

    // Reads the identification from an info message into info; a text of another
    // type keeps its value. Returns the device part, if readable, for further fields.
    std::optional<QJsonObject> readInfo(const QJsonObject& json, Info& info) const;

    void handleMessage(const QByteArray& payload, const QString& topic) override;
    // Logs "Failed to parse JSON message: " and the payload at critical level.
    void parseFailed(const QByteArray& payload, const QString& topic,
                     const QJsonParseError& error) override;

private:
    QSet<QString> m_handled;
};

} // namespace manager
