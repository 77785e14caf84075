#include "Connection.h"

#include "UpdateProperty.h"

namespace manager {

Connection::Connection(QObject* parent)
    : QObject(parent)
{ }

Connection::Connection(const QVariantMap& map, QObject* parent)
    : Connection(parent)
{
    fromMap(map);
}

void Connection::fromMap(const QVariantMap& map)
{
    updateProperty(m_interface, map.value(QStringLiteral("interface")).toString(), this,
                   &Connection::interfaceChanged);
    updateProperty(m_state, map.value(QStringLiteral("stateStr")).toString(), this,
                   &Connection::stateChanged);
    updateProperty(m_type, map.value(QStringLiteral("typeStr")).toString(), this,
                   &Connection::typeChanged);
    const QVariantMap ipv4 = map.value(QStringLiteral("ipv4")).toMap();
    if (ipv4 != m_ipv4.toMap()) {
        m_ipv4.fromMap(ipv4);
        Q_EMIT ipv4Changed();
    }
}

} // namespace manager
