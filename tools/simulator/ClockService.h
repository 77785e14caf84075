#pragma once

#include "StateService.h"

#include <QTimer>

// Stand-in for the NTP part of the device's clock service, on the device base
// followed by "/clock/ntp".
//
// Retained state: "/status" {"service", "enabled", "synced"}, "/config" {"enabled",
// "server"}, each published again on its "/get". Commands: "/config/set" {"enabled",
// "server"} (either may be left out), "/sync" (synchronise now: "synced" turns false,
// and true again a moment later when NTP is enabled, a server is set and reachable).
class ClockService : public StateService
{
    Q_OBJECT
    Q_PROPERTY(bool synced READ isSynced NOTIFY stateChanged)
    Q_PROPERTY(
        bool serverReachable READ serverReachable WRITE setServerReachable NOTIFY stateChanged)

public:
    explicit ClockService(const QString& deviceBase = QStringLiteral("ovant/device"),
                          QObject* parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    bool isSynced() const { return m_synced; }
    const QString& server() const { return m_server; }

    // Whether the NTP server answers; while it does not, the clock cannot synchronise.
    bool serverReachable() const { return m_reachable; }
    void setServerReachable(bool reachable);
    // Time a synchronisation takes.
    void setSyncDelay(int msec) { m_sync.setInterval(qMax(0, msec)); }

Q_SIGNALS:
    void stateChanged();

private:
    void setConfiguration(const QJsonObject& json);
    void startSync();
    void setSynced(bool synced);

    bool m_enabled = true;
    bool m_synced = true;
    bool m_reachable = true;
    QString m_server = QStringLiteral("pool.ntp.org");
    QTimer m_sync;
};
