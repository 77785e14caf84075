#pragma once

#include "StateService.h"

#include <QJsonObject>
#include <QTimer>

// Stand-in for the network manager service with one wired interface, "eth0".
//
// Retained state: "/info" {"service": {"version"}}, "/status" {"service", "stateStr",
// "connectivityStr", "hostname", "primaryConnection": {"interface", "stateStr",
// "typeStr", "ipv4": {"address", "netmask", "gateway", "dns0", "dns1"}}}, and under
// "/ethernet": "/state" {"interface", "typeStr", "stateStr", "reasonStr", "mac",
// "ipv4"} and "/config" {"interface", "method", "address", "netmask", "gateway",
// "dns0", "dns1"}; each is published again on its "/get". Command: "/ethernet/config/set"
// with the configuration object: "method" "auto" (addresses from DHCP) or "manual"
// (valid IPv4 address and netmask required, gateway and name servers optional). A
// taken configuration makes the interface reconnect; a refused one is answered with
// the unchanged configuration.
class NetworkService : public StateService
{
    Q_OBJECT
    Q_PROPERTY(QString method READ method NOTIFY configurationChanged)
    Q_PROPERTY(bool linkUp READ linkUp WRITE setLinkUp NOTIFY stateChanged)

public:
    static const QString Interface;

    explicit NetworkService(const QString& baseTopic = QStringLiteral("ovant/network"),
                            QObject* parent = nullptr);

    const QString& method() const { return m_method; }
    // The stored configuration (five address keys, as text).
    QJsonObject addressConfiguration() const { return m_config; }
    // The addresses the interface has now (empty while it is not connected).
    QJsonObject liveAddresses() const;
    bool isConnecting() const { return m_reconnect.isActive(); }

    // The cable: plugged in or not.
    bool linkUp() const { return m_linkUp; }
    void setLinkUp(bool up);
    // Time the interface takes to come up with new settings.
    void setReconnectDelay(int msec) { m_reconnect.setInterval(qMax(0, msec)); }

Q_SIGNALS:
    void configurationChanged();
    void stateChanged();

private:
    QJsonObject status() const;
    QJsonObject ethernetState() const;
    QJsonObject ethernetConfig() const;
    void setConfiguration(const QJsonObject& json);
    void publishLinkState();
    QString stateText() const;

    QString m_method = QStringLiteral("auto");
    QJsonObject m_config;
    bool m_linkUp = true;
    QTimer m_reconnect;
};
