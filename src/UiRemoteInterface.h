#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class Config;
namespace manager {
class MqttClient;
}

// The interface's own presence on the broker, under the topic base "mqtt/base": it
// answers requests for its information, status and configuration, takes configuration
// changes, and leaves a last will that tells it is gone.
class UiRemoteInterface : public QObject
{
    Q_OBJECT

public:
    // technicianPresent tells whether a maintenance session is open, for the status.
    UiRemoteInterface(manager::MqttClient& mqtt, Config& config,
                      std::function<bool()> technicianPresent, QObject* parent = nullptr);

    // Applies the broker settings of the configuration and connects; a connection
    // made with earlier settings is replaced.
    void start();
    void publishConfig();
    // Publishes the status again, after the technician came or went.
    void publishStatus();

Q_SIGNALS:
    void connected();
    void disconnected();

private:
    QString base() const;
    void onConnected();
    void onDisconnected();
    void onMessage(const QByteArray& payload, const QByteArray& topic);
    void applyRemoteConfig(const QJsonObject& object);
    void publish(const QString& suffix, const QJsonObject& payload);
    void publishInfo();

    manager::MqttClient* m_mqtt;
    Config* m_config;
    std::function<bool()> m_technicianPresent;
    // The request topics handed to the client, which renews them on every connection.
    QSet<QString> m_topics;
    bool m_started = false;
    bool m_connected = false;
};
