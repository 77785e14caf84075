#pragma once

#include "Connection.h"
#include "DeviceClient.h"

#include <QJsonObject>
#include <QString>

namespace manager {

class Ethernet;
class MqttClient;

// Client of the network manager service's general topics: the overall connection
// state, connectivity, host name and the primary connection. It owns the client of
// the wired interface (ethernet()).
class Network : public DeviceClient
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(QString connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(QString connectivity READ connectivity NOTIFY connectivityChanged)
    Q_PROPERTY(QString hostname READ hostname NOTIFY hostnameChanged)
    Q_PROPERTY(manager::Connection* primaryConnection READ primaryConnection NOTIFY
                   primaryConnectionChanged)
    Q_PROPERTY(manager::Ethernet* ethernet READ ethernet NOTIFY ethernetChanged)

public:
    Network(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    // No message of the service tells it: it stays false.
    bool isConnected() const { return m_isConnected; }
    const QString& connectionState() const { return m_connectionState; }
    const QString& connectivity() const { return m_connectivity; }
    const QString& hostname() const { return m_hostname; }
    Connection* primaryConnection() { return &m_primary; }
    Ethernet* ethernet() const { return m_ethernet; }

public Q_SLOTS:
    // Logs only: the service publishes its state by itself.
    void refresh() override;
    void monitor(int msec);

Q_SIGNALS:
    void isConnectedChanged();
    void connectionStateChanged();
    void connectivityChanged();
    void hostnameChanged();
    void primaryConnectionChanged();
    void ethernetChanged();

private:
    void onInfoReceived(const QJsonObject& json, const QString& topic);
    void onStatusReceived(const QJsonObject& json, const QString& topic);

    bool m_isConnected = false;
    QString m_connectionState;
    QString m_connectivity;
    QString m_hostname;
    Connection m_primary;
    Ethernet* m_ethernet;
};

} // namespace manager
