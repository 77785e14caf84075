#pragma once

#include "DeviceClient.h"
#include "IPv4.h"

#include <QJsonObject>
#include <QString>

namespace manager {

class MqttClient;

// Client of the network service's wired-interface topics (the network base plus
// "/ethernet"): the live state of the interface, and its stored configuration
// (method "auto" or "manual" and the static IPv4 settings), which the maintenance
// pages edit and save() sends back. The service's replies replace local edits.
// Messages about the interface "usb0" (the device link) are ignored. Until the
// service has told the configuration on the current connection (configKnown), the
// local one is a guess that save() does not send.
class Ethernet : public DeviceClient
{
    Q_OBJECT
    Q_PROPERTY(QString interface READ interface NOTIFY interfaceChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY reasonChanged)
    Q_PROPERTY(QString mac READ mac NOTIFY macChanged)
    Q_PROPERTY(QString method READ method WRITE setMethod NOTIFY methodChanged)
    Q_PROPERTY(IPv4* ipv4 READ ipv4 NOTIFY ipv4Changed)
    Q_PROPERTY(IPv4* config READ config NOTIFY configChanged)
    Q_PROPERTY(bool configKnown READ configKnown NOTIFY configKnownChanged)

public:
    // networkBase is the network client's base; this client works under
    // networkBase + "/ethernet".
    Ethernet(MqttClient& mqtt, const QString& networkBase, QObject* parent = nullptr);

    const QString& interface() const { return m_interface; }
    const QString& type() const { return m_type; }
    const QString& state() const { return m_state; }
    const QString& reason() const { return m_reason; }
    const QString& mac() const { return m_mac; }
    const QString& method() const { return m_method; }
    // The live addresses of the interface.
    IPv4* ipv4() { return &m_ipv4; }
    // The stored static configuration, edited locally until save().
    IPv4* config() { return &m_config; }
    // Whether the service told the configuration since the broker connection was made.
    bool configKnown() const { return m_configKnown; }

    // Local only: nothing is sent until save().
    void setMethod(const QString& value);

    // Why a configuration typed on the settings page cannot be saved, as the first
    // failing rule in the order the technician fixes them; empty text when it can.
    // "auto" needs nothing; "manual" needs an address and a mask, and every field
    // given must pass IPv4::checkInput().
    Q_INVOKABLE static QString checkConfig(const QString& method, const QString& address,
                                           const QString& netmask, const QString& gateway,
                                           const QString& dns0, const QString& dns1);

public Q_SLOTS:
    // Sends the method and, for "manual", the addresses of config(); whether it went out.
    // Nothing is sent (and a warning logged) while the configuration is not known, the
    // interface or the method is not, or a manual address is not IPv4 text.
    bool save();
    // Asks the service for the state and the configuration again.
    void reset();

Q_SIGNALS:
    void interfaceChanged();
    void typeChanged();
    void stateChanged();
    void reasonChanged();
    void macChanged();
    void methodChanged();
    void ipv4Changed();
    void configChanged();
    void configKnownChanged();

private:
    void onStateReceived(const QJsonObject& json, const QString& topic);
    void onConfigReceived(const QJsonObject& json, const QString& topic);
    // Whether the message is about an interface this client follows.
    bool concernsUs(const QJsonObject& json) const;
    // Stores a text field that is present and of the right type; logs its change
    // when logPrefix is given.
    void updateText(const QJsonObject& json, const QString& key, QString& field,
                    void (Ethernet::*notify)(), const char* logPrefix);
    void setConfigKnown(bool known);

    QString m_interface;
    QString m_type;
    QString m_state;
    QString m_reason;
    QString m_mac;
    QString m_method;
    IPv4 m_ipv4;
    IPv4 m_config;
    bool m_configKnown = false;
};

} // namespace manager
