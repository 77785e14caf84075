#include "UiRemoteInterface.h"

#include "Config.h"
#include "MqttClient.h"
#include "SecretMask.h"
#include "SessionManager.h"
#include "TaggedLog.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <utility>

namespace {

// Part of the GUI manager: its log lines carry the manager's tag.
const QString Tag_ = QStringLiteral("[GUIManager] ");
// Keys naming files the program writes: a remote request must not point them elsewhere.
const QStringList WrittenFileKeys {QStringLiteral("gui/deviceId")};

// A remote configuration value must have the type of the key's default: a text
// where a number belongs would otherwise be stored and read back as 0.
bool fitsDefault(const QVariant& defaultValue, const QJsonValue& value)
{
    switch (defaultValue.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.isDouble();
    case QMetaType::Bool:
        return value.isBool();
    case QMetaType::QString:
        return value.isString();
    default:
        return true;
    }
}

} // namespace

UiRemoteInterface::UiRemoteInterface(manager::MqttClient& mqtt, Config& config,
                                     std::function<bool()> technicianPresent, QObject* parent)
    : QObject(parent)
    , m_mqtt(&mqtt)
    , m_config(&config)
    , m_technicianPresent(std::move(technicianPresent))
{
    connect(m_mqtt, &manager::MqttClient::connected, this, &UiRemoteInterface::onConnected);
    connect(m_mqtt, &manager::MqttClient::disconnected, this, &UiRemoteInterface::onDisconnected);
    connect(m_mqtt, &manager::MqttClient::error, this,
            [](const QString& error) { tagged(qCritical(), Tag_) << "ERROR: " << error; });
    connect(m_mqtt, &manager::MqttClient::received, this, &UiRemoteInterface::onMessage);
}

QString UiRemoteInterface::base() const
{
    return m_config->get(QStringLiteral("mqtt/base")).toString();
}

void UiRemoteInterface::start()
{
    m_mqtt->setClientId(QStringLiteral("%1_%2")
                            .arg(QCoreApplication::applicationName())
                            .arg(QCoreApplication::applicationPid()));
    m_mqtt->setWillMessage(
        QJsonDocument(QJsonObject {{QStringLiteral("service"), false}}).toJson());
    m_mqtt->setWillTopic(base() + QStringLiteral("/status"));
    // Not retained: a retained will would keep telling later subscribers that the
    // interface is down after it has come back (its live status is not retained).
    m_mqtt->setWillRetain(false);
    m_mqtt->setHostname(m_config->get(QStringLiteral("mqtt/host")).toString());
    m_mqtt->setPort(quint32(m_config->get(QStringLiteral("mqtt/port")).toInt()));
    m_mqtt->setUsername(m_config->get(QStringLiteral("mqtt/username")).toString());
    m_mqtt->setPassword(m_config->get(QStringLiteral("mqtt/password")).toString());

    // The client remembers its subscriptions and makes them again on every
    // connection; a topic is handed to it once.
    for (const char* suffix : {"/info/get", "/status/get", "/config/get", "/config/set"}) {
        const QString topic = base() + QLatin1String(suffix);
        if (!m_topics.contains(topic)) {
            m_topics.insert(topic);
            m_mqtt->subscribe(topic, 0);
        }
    }

    // New parameters apply to a new connection: an existing one is closed first,
    // and the client connects again by itself once it has gone.
    if (m_started)
        m_mqtt->disconnect();
    m_started = true;
    m_mqtt->connect();
}

void UiRemoteInterface::onConnected()
{
    tagged(qInfo(), Tag_) << "Connected to MQTT broker";
    m_connected = true;
    Q_EMIT connected();
    publishInfo();
    publishStatus();
    publishConfig();
}

void UiRemoteInterface::onDisconnected()
{
    // A failed attempt is not a lost connection (the client reports it, once); only
    // the end of a working connection is.
    if (std::exchange(m_connected, false))
        tagged(qWarning(), Tag_) << "WARN: Disconnected from MQTT broker";
    Q_EMIT disconnected();
}

void UiRemoteInterface::onMessage(const QByteArray& payload, const QByteArray& topicName)
{
    const QString topic = QString::fromUtf8(topicName);
    if (!topic.contains(base()))
        return;
    tagged(qInfo(), Tag_) << "Message received : " << topic;
    tagged(qDebug(), Tag_) << "Data : " << SecretMask::text(payload);

    if (topic.contains(QLatin1String("/info/get"))) {
        publishInfo();
    } else if (topic.contains(QLatin1String("/status/get"))) {
        publishStatus();
    } else if (topic.contains(QLatin1String("/config/get"))) {
        publishConfig();
    } else if (topic.contains(QLatin1String("/config/set"))) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
        if (error.error != QJsonParseError::NoError) {
            tagged(qWarning(), Tag_) << "WARN: Ignoring configuration request that is not JSON : "
                                     << error.errorString();
        } else if (!document.isObject()) {
            tagged(qWarning(), Tag_)
                << "WARN: Ignoring configuration request that is not a JSON object";
        } else {
            applyRemoteConfig(document.object());
        }
    }
}

void UiRemoteInterface::applyRemoteConfig(const QJsonObject& object)
{
    const QVariantMap defaults = m_config->defaults();
    QJsonObject accepted;
    for (auto group = object.constBegin(); group != object.constEnd(); ++group) {
        if (!group.value().isObject()) {
            tagged(qWarning(), Tag_)
                << "WARN: Ignoring configuration group that is not an object : " << group.key();
            continue;
        }
        const QJsonObject members = group.value().toObject();
        QJsonObject acceptedMembers;
        for (auto member = members.constBegin(); member != members.constEnd(); ++member) {
            const QString name = group.key() + QLatin1Char('/') + member.key();
            const QVariant defaultValue = defaults.value(name);
            if (WrittenFileKeys.contains(name)) {
                tagged(qWarning(), Tag_)
                    << "WARN: Ignoring remote change of a file the program writes : " << name;
            } else if (defaultValue.isValid() && !fitsDefault(defaultValue, member.value())) {
                tagged(qWarning(), Tag_)
                    << "WARN: Ignoring configuration value of the wrong type : " << name << " = "
                    << QJsonDocument(SecretMask::json({{member.key(), member.value()}}))
                           .toJson(QJsonDocument::Compact);
            } else if (SecretMask::isSecretKey(name) && SecretMask::isMask(member.value())) {
                // Our own published configuration handed back: the mask stands for the
                // secret in force, which stays.
                continue;
            } else if (name == QLatin1String("gui/settingsPin")
                       && !SessionManager::isTypeablePin(member.value().toString())) {
                // The value stays out of the log: it may be a PIN with a typing error.
                tagged(qWarning(), Tag_)
                    << "WARN: Ignoring a maintenance PIN the keypad cannot type (1 to "
                    << SessionManager::MaxPinDigits << " digits) : " << name;
            } else {
                acceptedMembers.insert(member.key(), member.value());
            }
        }
        accepted.insert(group.key(), acceptedMembers);
    }
    m_config->fromJson(accepted);
}

void UiRemoteInterface::publish(const QString& suffix, const QJsonObject& payload)
{
    m_mqtt->publish(QJsonDocument(payload).toJson(), base() + suffix, 0, false);
}

void UiRemoteInterface::publishInfo()
{
    publish(QStringLiteral("/info"),
            {{QStringLiteral("version"), QCoreApplication::applicationVersion()}});
}

void UiRemoteInterface::publishStatus()
{
    publish(
        QStringLiteral("/status"),
        {{QStringLiteral("technician"), m_technicianPresent()}, {QStringLiteral("service"), true}});
}

void UiRemoteInterface::publishConfig()
{
    // The broker password stays in the program: peers see only whether one is set.
    publish(QStringLiteral("/config"), SecretMask::json(m_config->toJson()));
}
