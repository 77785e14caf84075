#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The five IPv4 settings of a connection, as text: address, network mask, gateway
// and two name servers. The holder stores whatever it is given; checking the
// syntax is left to whoever writes it (see isAddress()).
class IPv4 : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY addressChanged)
    Q_PROPERTY(QString gateway READ gateway WRITE setGateway NOTIFY gatewayChanged)
    Q_PROPERTY(QString mask READ mask WRITE setMask NOTIFY maskChanged)
    Q_PROPERTY(QString dns0 READ dns0 WRITE setDns0 NOTIFY dns0Changed)
    Q_PROPERTY(QString dns1 READ dns1 WRITE setDns1 NOTIFY dns1Changed)

public:
    // The map keys, in the order fromMap() applies them.
    static const QStringList Keys;

    explicit IPv4(QObject* parent = nullptr);

    QString address() const { return text(QStringLiteral("address")); }
    QString gateway() const { return text(QStringLiteral("gateway")); }
    QString mask() const { return text(QStringLiteral("netmask")); }
    QString dns0() const { return text(QStringLiteral("dns0")); }
    QString dns1() const { return text(QStringLiteral("dns1")); }

    const QVariantMap& toMap() const { return m_data; }
    // Applies the five keys (a missing one reads as empty text); only the settings
    // that differ emit their signals.
    void fromMap(const QVariantMap& map);

    // Dotted-quad IPv4 text such as "192.0.2.1".
    Q_INVOKABLE static bool isAddress(const QString& text);
    // What an address field of the settings accepts: nothing, or four decimal
    // numbers 0 to 255 without leading zeros.
    Q_INVOKABLE static bool checkInput(const QString& text);
    // The object's entries as a map, where each address key present must be empty
    // text or an IPv4 address: any other value is logged under logTag and replaced
    // by the current value of that key, so that garbage from outside is never taken.
    QVariantMap checked(const QJsonObject& json, const QString& logTag) const;

public Q_SLOTS:
    void setAddress(const QString& value);
    void setMask(const QString& value);
    void setGateway(const QString& value);
    void setDns0(const QString& value);
    void setDns1(const QString& value);

Q_SIGNALS:
    void addressChanged();
    void maskChanged();
    void gatewayChanged();
    void dns0Changed();
    void dns1Changed();

private:
    QString text(const QString& key) const { return m_data.value(key).toString(); }
    void setText(const QString& key, const QString& value, void (IPv4::*notify)());

    QVariantMap m_data;
};
