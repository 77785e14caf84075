#include "Ethernet.h"

#include "JsonField.h"
#include "MqttClient.h"
#include "UpdateProperty.h"

#include <QDebug>

#include <utility>

namespace manager {

namespace {

const QString stateTopic = QStringLiteral("/state");
const QString configTopic = QStringLiteral("/config");
const QString ignoredInterface = QStringLiteral("usb0");
const QString manualMethod = QStringLiteral("manual");

} // namespace

Ethernet::Ethernet(MqttClient& mqtt, const QString& networkBase, QObject* parent)
    : DeviceClient(mqtt, networkBase + QStringLiteral("/ethernet"),
                   QStringLiteral("[Network][Ethernet] "), parent)
{
    route(stateTopic,
          [this](const QJsonObject& json, const QString& topic) { onStateReceived(json, topic); });
    route(configTopic,
          [this](const QJsonObject& json, const QString& topic) { onConfigReceived(json, topic); });
    connect(&mqtt, &MqttClient::connected, this, &Ethernet::reset);
    // The service may have changed it meanwhile, or be gone.
    connect(&mqtt, &MqttClient::disconnected, this, [this] { setConfigKnown(false); });

    qInfo().noquote().nospace() << logTag() << "Subscribing to topics";
    subscribeTo(stateTopic, 0);
    subscribeTo(configTopic, 0);
}

void Ethernet::reset()
{
    qInfo().noquote().nospace() << logTag() << "Refreshing data";
    mqtt().publish(QByteArrayLiteral("{}"), topic(QStringLiteral("/state/get")), 0, false);
    mqtt().publish(QByteArrayLiteral("{}"), topic(QStringLiteral("/config/get")), 0, false);
}

void Ethernet::setMethod(const QString& value)
{
    if (value == m_method)
        return;
    qInfo().noquote().nospace() << logTag() << "Method changed : " << value;
    m_method = value;
    Q_EMIT methodChanged();
}

QString Ethernet::checkConfig(const QString& method, const QString& address, const QString& netmask,
                              const QString& gateway, const QString& dns0, const QString& dns1)
{
    if (method == QLatin1String("auto"))
        return QString();
    if (address.isEmpty())
        return tr("IPv4 address cannot be empty in 'manual' mode");
    if (netmask.isEmpty())
        return tr("IPv4 netmask cannot be empty in 'manual' mode");
    const std::pair<const QString&, const char*> fields[] {
        {address, QT_TR_NOOP("IPv4 address is not a valid IP address")},
        {netmask, QT_TR_NOOP("IPv4 netmask is not a valid IP address")},
        {gateway, QT_TR_NOOP("IPv4 gateway is not a valid IP address")},
        {dns0, QT_TR_NOOP("IPv4 DNS #0 is not a valid IP address")},
        {dns1, QT_TR_NOOP("IPv4 DNS #1 is not a valid IP address")}};
    for (const auto& field : fields) {
        if (!IPv4::checkInput(field.first))
            return tr(field.second);
    }
    return QString();
}

void Ethernet::setConfigKnown(bool known)
{
    updateProperty(m_configKnown, known, this, &Ethernet::configKnownChanged);
}

bool Ethernet::save()
{
    // A guess sent back would replace the terminal's real settings: an empty method or
    // interface at best is refused, at worst cuts the terminal off its network.
    const char* unknown = nullptr;
    if (!m_configKnown)
        unknown = "the configuration";
    else if (m_interface.isEmpty())
        unknown = "the interface";
    else if (m_method.isEmpty())
        unknown = "the method";
    if (unknown) {
        qWarning().noquote().nospace()
            << logTag() << "WARN: Configuration not saved, " << unknown << " is not known yet";
        return false;
    }
    const auto log
        = [this](const QString& text) { qInfo().noquote().nospace() << logTag() << text; };
    log(QStringLiteral("Saving configuration"));
    log(QStringLiteral("-------------------------"));
    log(QStringLiteral("Method  : ") + m_method);
    log(QStringLiteral("Address : ") + m_config.address());
    log(QStringLiteral("Netmask : ") + m_config.mask());
    log(QStringLiteral("Gateway : ") + m_config.gateway());
    log(QStringLiteral("DNS     : ") + m_config.dns0() + QStringLiteral(", ") + m_config.dns1());
    log(QStringLiteral("-------------------------"));

    const bool manual = m_method == manualMethod;
    QJsonObject payload {{QStringLiteral("interface"), m_interface},
                         {QStringLiteral("method"), m_method}};
    for (const QString& key : IPv4::Keys) {
        const QString value = manual ? m_config.toMap().value(key).toString() : QString();
        // A static address and mask are required; the rest may stay empty. Sending
        // anything else would at best be refused and at worst cut the terminal off.
        const bool required = key == QLatin1String("address") || key == QLatin1String("netmask");
        if (manual && (required || !value.isEmpty()) && !IPv4::isAddress(value)) {
            qCritical().noquote().nospace() << logTag() << "ERROR: Configuration not saved, " << key
                                            << " is not an IPv4 address : " << value;
            return false;
        }
        payload.insert(key, value);
    }
    if (!publishCommand(QStringLiteral("/config/set"), payload)) {
        qWarning().noquote().nospace()
            << logTag() << "WARN: Configuration not sent: no connection to the broker";
        return false;
    }
    return true;
}

bool Ethernet::concernsUs(const QJsonObject& json) const
{
    const auto iface = JsonField::text(json, QStringLiteral("interface"), logTag());
    // An interface name that is not text says nothing about which interface the
    // message is about: it is not taken either.
    return iface && *iface != ignoredInterface;
}

void Ethernet::updateText(const QJsonObject& json, const QString& key, QString& field,
                          void (Ethernet::*notify)(), const char* logPrefix)
{
    const auto value = JsonField::text(json, key, logTag());
    if (!value || *value == field)
        return;
    if (logPrefix)
        qInfo().noquote().nospace() << logTag() << logPrefix << *value;
    field = *value;
    Q_EMIT(this->*notify)();
}

void Ethernet::onStateReceived(const QJsonObject& json, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing state topic " << topic;
    if (!concernsUs(json))
        return;

    updateText(json, QStringLiteral("interface"), m_interface, &Ethernet::interfaceChanged,
               "Interface changed : ");
    updateText(json, QStringLiteral("typeStr"), m_type, &Ethernet::typeChanged, "Type changed : ");
    updateText(json, QStringLiteral("stateStr"), m_state, &Ethernet::stateChanged, nullptr);
    updateText(json, QStringLiteral("reasonStr"), m_reason, &Ethernet::reasonChanged,
               "Reason changed : ");
    updateText(json, QStringLiteral("mac"), m_mac, &Ethernet::macChanged, "MAC changed : ");

    const auto ipv4 = JsonField::object(json, QStringLiteral("ipv4"), logTag());
    if (!ipv4)
        return;
    const QVariantMap map = m_ipv4.checked(*ipv4, logTag());
    if (map != m_ipv4.toMap()) {
        qInfo().noquote().nospace() << logTag() << "IPv4 changed : " << map;
        m_ipv4.fromMap(map);
        Q_EMIT ipv4Changed();
    }
}

void Ethernet::onConfigReceived(const QJsonObject& json, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing config topic " << topic;
    if (!concernsUs(json))
        return;

    updateText(json, QStringLiteral("method"), m_method, &Ethernet::methodChanged,
               "Method changed : ");
    // Known once the service said which method it uses, in a form we can read.
    if (json.value(QStringLiteral("method")).isString())
        setConfigKnown(true);

    // The whole message is compared, so one that carries "interface" or "method"
    // always counts as a change; fromMap() picks the five address keys.
    const QVariantMap map = m_config.checked(json, logTag());
    if (map != m_config.toMap()) {
        qInfo().noquote().nospace() << logTag() << "IPv4 changed : " << map;
        m_config.fromMap(map);
        Q_EMIT configChanged();
    }
}

} // namespace manager
