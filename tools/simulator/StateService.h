#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace manager {
class MqttClient;
}

// A stand-in for a local service whose state is a set of retained topics of its own
// shape (the terminal, network, clock and update services report members at the top
// level of their status, not under "device"). It keeps its own broker connection;
// every state topic is published retained, again on each (re)connection and on the
// topic followed by "/get". Commands are plain publications on exact topics, under
// the base or not. It subscribes to those "get" and command topics only. Switched offline, the
// service publishes {"service": false} on its
// "/status" and neither answers nor obeys anything until it is back online.
class StateService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString baseTopic READ baseTopic CONSTANT)
    Q_PROPERTY(bool online READ isOnline WRITE setOnline NOTIFY onlineChanged)
    Q_PROPERTY(bool connected READ isConnected NOTIFY connectedChanged)

public:
    ~StateService() override;

    const QString& baseTopic() const { return m_base; }
    manager::MqttClient& mqtt() const { return *m_mqtt; }

    // Connects to the broker; the MQTT client keeps the connection up from now on,
    // until disconnectFromBroker().
    void connectToBroker(const QString& host, quint16 port);
    void disconnectFromBroker();
    bool isConnected() const { return m_connected; }

    bool isOnline() const { return m_online; }
    void setOnline(bool online);

    // Publishes every state topic now; only the offline status while offline.
    void publishAll();
    // Publishes one state topic (base + suffix) now, if the service is online; the
    // "/status" topic is published offline too.
    void publishState(const QString& suffix);

Q_SIGNALS:
    void onlineChanged();
    void connectedChanged();
    // A command arrived (after its handler ran); the payload as parsed.
    void commandReceived(const QString& topic, const QJsonObject& payload);

protected:
    using State = std::function<QJsonObject()>;
    using Command = std::function<void(const QJsonObject& payload)>;

    StateService(const QString& baseTopic, const QString& logTag, QObject* parent);

    QString topic(const QString& suffix) const { return m_base + suffix; }
    const QString& logTag() const { return m_tag; }

    // A retained state topic: base + suffix, its content made by producer when it
    // is published. The "/status" producer's object gets "service": true added.
    void addState(const QString& suffix, State producer);
    // A command on an exact topic. An empty payload is an empty object; a payload
    // that is not a JSON object is logged and dropped.
    void addCommand(const QString& topic, Command handler);
    // A publication that is not state (an event or a scan), compact JSON, not retained.
    void publishEvent(const QString& topic, const QJsonObject& payload);

private:
    void onReceived(const QByteArray& payload, const QByteArray& topic);
    void setConnected(bool connected);

    const QString m_base;
    const QString m_tag;
    std::unique_ptr<manager::MqttClient> m_mqtt;
    bool m_connected = false;
    bool m_online = true;
    QStringList m_stateOrder; // publication order: as registered
    QHash<QString, State> m_states;
    QHash<QString, Command> m_commands;
};
