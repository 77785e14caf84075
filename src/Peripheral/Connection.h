#pragma once

#include "IPv4.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

namespace manager {

// One network connection as the network service reports it: the interface, its
// state and type texts, and its IPv4 settings.
class Connection : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString interface READ interface NOTIFY interfaceChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(IPv4* ipv4 READ ipv4 NOTIFY ipv4Changed)

public:
    explicit Connection(QObject* parent = nullptr);
    explicit Connection(const QVariantMap& map, QObject* parent = nullptr);

    const QString& interface() const { return m_interface; }
    const QString& state() const { return m_state; }
    const QString& type() const { return m_type; }
    IPv4* ipv4() { return &m_ipv4; }
    const IPv4& ipv4Settings() const { return m_ipv4; }

    // Takes "interface", "stateStr", "typeStr" and the "ipv4" map; every value that
    // differs is stored with its signal.
    void fromMap(const QVariantMap& map);

Q_SIGNALS:
    void interfaceChanged();
    void stateChanged();
    void typeChanged();
    void ipv4Changed();

private:
    QString m_interface;
    QString m_state;
    QString m_type;
    IPv4 m_ipv4;
};

} // namespace manager
