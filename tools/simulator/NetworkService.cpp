#include "NetworkService.h"

#include <QDebug>
#include <QHostAddress>
#include <QStringList>

namespace {
const char* const Tag = "[Network] ";
const QStringList AddressKeys {QStringLiteral("address"), QStringLiteral("netmask"),
                               QStringLiteral("gateway"), QStringLiteral("dns0"),
                               QStringLiteral("dns1")};

// The DHCP lease: addresses of a documentation range, they name no real host.
QJsonObject dhcpLease()
{
    return {{QStringLiteral("address"), QStringLiteral("198.51.100.23")},
            {QStringLiteral("netmask"), QStringLiteral("255.255.255.0")},
            {QStringLiteral("gateway"), QStringLiteral("198.51.100.1")},
            {QStringLiteral("dns0"), QStringLiteral("198.51.100.53")},
            {QStringLiteral("dns1"), QString()}};
}

bool isIPv4(const QString& text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol
        && text.count(QLatin1Char('.')) == 3;
}

bool isNetmask(const QString& text)
{
    if (!isIPv4(text))
        return false;
    const quint32 mask = QHostAddress(text).toIPv4Address();
    // Contiguous ones from the top: inverting gives 2^n - 1.
    const quint32 hostBits = ~mask;
    return mask != 0 && (hostBits & (hostBits + 1)) == 0;
}
} // namespace

const QString NetworkService::Interface = QStringLiteral("eth0");

NetworkService::NetworkService(const QString& baseTopic, QObject* parent)
    : StateService(baseTopic, QLatin1String(Tag), parent)
{
    for (const QString& key : AddressKeys)
        m_config.insert(key, QString());
    m_reconnect.setSingleShot(true);
    m_reconnect.setInterval(300);
    connect(&m_reconnect, &QTimer::timeout, this, [this] {
        qInfo().noquote().nospace() << Tag << Interface << " " << stateText();
        publishLinkState();
    });

    addState(QStringLiteral("/info"), [] {
        return QJsonObject {{QStringLiteral("service"),
                             QJsonObject {{QStringLiteral("version"), QStringLiteral("1.6.1")}}}};
    });
    addState(QStringLiteral("/status"), [this] { return status(); });
    addState(QStringLiteral("/ethernet/state"), [this] { return ethernetState(); });
    addState(QStringLiteral("/ethernet/config"), [this] { return ethernetConfig(); });
    addCommand(topic(QStringLiteral("/ethernet/config/set")),
               [this](const QJsonObject& json) { setConfiguration(json); });
}

QString NetworkService::stateText() const
{
    if (!m_linkUp)
        return QStringLiteral("Disconnected");
    return isConnecting() ? QStringLiteral("Connecting") : QStringLiteral("Connected");
}

QJsonObject NetworkService::liveAddresses() const
{
    if (stateText() != QLatin1String("Connected")) {
        QJsonObject none;
        for (const QString& key : AddressKeys)
            none.insert(key, QString());
        return none;
    }
    return m_method == QLatin1String("manual") ? m_config : dhcpLease();
}

void NetworkService::setLinkUp(bool up)
{
    if (m_linkUp == up)
        return;
    m_linkUp = up;
    qInfo().noquote().nospace() << Tag << Interface << " cable "
                                << (up ? "plugged in" : "unplugged");
    if (up)
        m_reconnect.start();
    else
        m_reconnect.stop();
    publishLinkState();
}

void NetworkService::publishLinkState()
{
    publishState(QStringLiteral("/ethernet/state"));
    publishState(QStringLiteral("/status"));
    Q_EMIT stateChanged();
}

QJsonObject NetworkService::status() const
{
    const QString state = stateText();
    const bool connected = state == QLatin1String("Connected");
    return {{QStringLiteral("stateStr"), state},
            {QStringLiteral("connectivityStr"),
             connected ? QStringLiteral("Full") : QStringLiteral("None")},
            {QStringLiteral("hostname"), QStringLiteral("kvrt-terminal")},
            {QStringLiteral("primaryConnection"),
             QJsonObject {{QStringLiteral("interface"), Interface},
                          {QStringLiteral("stateStr"),
                           connected ? QStringLiteral("activated")
                                     : (state == QLatin1String("Connecting")
                                            ? QStringLiteral("activating")
                                            : QStringLiteral("deactivated"))},
                          {QStringLiteral("typeStr"), QStringLiteral("ethernet")},
                          {QStringLiteral("ipv4"), liveAddresses()}}}};
}

QJsonObject NetworkService::ethernetState() const
{
    return {{QStringLiteral("interface"), Interface},
            {QStringLiteral("typeStr"), QStringLiteral("ethernet")},
            {QStringLiteral("stateStr"), stateText()},
            {QStringLiteral("reasonStr"),
             m_linkUp ? QStringLiteral("none") : QStringLiteral("carrier-changed")},
            {QStringLiteral("mac"), QStringLiteral("02:4B:56:52:54:01")},
            {QStringLiteral("ipv4"), liveAddresses()}};
}

QJsonObject NetworkService::ethernetConfig() const
{
    QJsonObject config = m_config;
    config.insert(QStringLiteral("interface"), Interface);
    config.insert(QStringLiteral("method"), m_method);
    return config;
}

void NetworkService::setConfiguration(const QJsonObject& json)
{
    const QString iface = json.value(QStringLiteral("interface")).toString();
    if (!iface.isEmpty() && iface != Interface) {
        qWarning().noquote().nospace() << Tag << "WARN: No such interface : " << iface;
        return;
    }

    QString problem;
    const QString method = json.value(QStringLiteral("method")).toString();
    QJsonObject config;
    for (const QString& key : AddressKeys) {
        const QJsonValue value = json.value(key);
        if (!value.isUndefined() && !value.isString())
            problem = QStringLiteral("\"%1\" is not a text").arg(key);
        config.insert(key, value.toString().trimmed());
    }
    if (method != QLatin1String("auto") && method != QLatin1String("manual")) {
        problem = QStringLiteral("method must be \"auto\" or \"manual\"");
    } else if (method == QLatin1String("manual") && problem.isEmpty()) {
        if (!isIPv4(config.value(QStringLiteral("address")).toString()))
            problem = QStringLiteral("address is not an IPv4 address");
        else if (!isNetmask(config.value(QStringLiteral("netmask")).toString()))
            problem = QStringLiteral("netmask is not a network mask");
        for (const char* key : {"gateway", "dns0", "dns1"}) {
            const QString text = config.value(QLatin1String(key)).toString();
            if (problem.isEmpty() && !text.isEmpty() && !isIPv4(text))
                problem = QStringLiteral("%1 is not an IPv4 address").arg(QLatin1String(key));
        }
    } else if (method == QLatin1String("auto")) {
        for (const QString& key : AddressKeys)
            config.insert(key, QString());
    }
    if (!problem.isEmpty()) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Configuration of " << Interface << " refused : " << problem;
        publishState(QStringLiteral("/ethernet/config"));
        return;
    }

    m_method = method;
    m_config = config;
    qInfo().noquote().nospace() << Tag << "Configuration of " << Interface << " : " << method
                                << (method == QLatin1String("manual") ? QStringLiteral(" ")
                                            + config.value(QStringLiteral("address")).toString()
                                            + QStringLiteral("/")
                                            + config.value(QStringLiteral("netmask")).toString()
                                                                      : QString());
    publishState(QStringLiteral("/ethernet/config"));
    Q_EMIT configurationChanged();
    // The interface comes up again with the new settings.
    if (m_linkUp) {
        m_reconnect.start();
        publishLinkState();
    }
}
