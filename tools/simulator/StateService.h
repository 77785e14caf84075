#pragma once

#include "ServiceEndpoint.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

// A stand-in for a local service whose state is a set of retained topics of its own
// shape (the terminal, network, clock and update services report members at the top
// level of their status, not under "device"). Every state topic is published retained,
// again on each (re)connection and on the topic followed by "/get". Commands are plain
// publications on exact topics, under the base or not; it subscribes to those "get" and
// command topics only. Offline, it publishes {"service": false} on its "/status" and
// neither answers nor obeys anything until it is back online.
class StateService : public ServiceEndpoint
{
    Q_OBJECT

public:
    ~StateService() override;

    // Publishes every state topic now; only the offline status while offline.
    void publishAll();
    // Publishes one state topic (base + suffix) now, if the service is online; the
    // "/status" topic is published offline too.
    void publishState(const QString& suffix);

Q_SIGNALS:
    // A command arrived (after its handler ran); the payload as parsed.
    void commandReceived(const QString& topic, const QJsonObject& payload);

protected:
    using State = std::function<QJsonObject()>;
    using Command = std::function<void(const QJsonObject& payload)>;

    StateService(const QString& baseTopic, const QString& logTag, QObject* parent);

    // A retained state topic: base + suffix, its content made by producer when it
    // is published. The "/status" producer's object gets "service": true added.
    void addState(const QString& suffix, State producer);
    // A command on an exact topic. An empty payload is an empty object; a payload
    // that is not a JSON object is logged and dropped.
    void addCommand(const QString& topic, Command handler);
    // A publication that is not state (an event or a scan), compact JSON, not retained.
    void publishEvent(const QString& topic, const QJsonObject& payload);

private:
    QStringList subscriptions() const override;
    void onMessage(const QString& topic, const QByteArray& payload) override;
    void announce() override { publishAll(); }

    QStringList m_stateOrder; // publication order: as registered
    QHash<QString, State> m_states;
    QHash<QString, Command> m_commands;
};
