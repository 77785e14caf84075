#include "StateService.h"

#include "MqttClient.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {
const QString StatusSuffix = QStringLiteral("/status");
const QString GetSuffix = QStringLiteral("/get");

QByteArray compact(const QJsonObject& json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}
} // namespace

StateService::StateService(const QString& baseTopic, const QString& logTag, QObject* parent)
    : QObject(parent)
    , m_base(baseTopic)
    , m_tag(logTag)
    , m_mqtt(std::make_unique<manager::MqttClient>())
{
    connect(m_mqtt.get(), &manager::MqttClient::received, this, &StateService::onReceived);
    connect(m_mqtt.get(), &manager::MqttClient::connected, this, [this] {
        setConnected(true);
        // Whoever subscribed while the connection was away learns the state now.
        publishAll();
    });
    connect(m_mqtt.get(), &manager::MqttClient::disconnected, this,
            [this] { setConnected(false); });
}

StateService::~StateService() = default;

void StateService::connectToBroker(const QString& host, quint16 port)
{
    m_mqtt->setHostname(host);
    m_mqtt->setPort(port);
    // Unique per service object: two clients with one id would push each other off.
    m_mqtt->setClientId(QStringLiteral("kvrt-sim-%1-%2-%3")
                            .arg(QString(m_base).replace(QLatin1Char('/'), QLatin1Char('-')))
                            .arg(QCoreApplication::applicationPid())
                            .arg(quintptr(this), 0, 16));
    // A simulator that dies is reported offline by the broker.
    m_mqtt->setWillTopic(topic(StatusSuffix));
    m_mqtt->setWillMessage(compact({{QStringLiteral("service"), false}}));
    m_mqtt->setWillQoS(1);
    m_mqtt->setWillRetain(true);
    // Quick retries, so that a restarted broker finds its services back soon.
    m_mqtt->setRetryMillis(1000);
    m_mqtt->connect();
}

void StateService::disconnectFromBroker()
{
    m_mqtt->disconnect();
}

void StateService::setOnline(bool online)
{
    if (m_online == online)
        return;
    m_online = online;
    qInfo().noquote().nospace() << m_tag << "Service " << (online ? "online" : "offline");
    publishAll();
    Q_EMIT onlineChanged();
}

void StateService::publishAll()
{
    if (!m_online) {
        publishState(StatusSuffix);
        return;
    }
    for (const QString& suffix : qAsConst(m_stateOrder))
        publishState(suffix);
}

void StateService::publishState(const QString& suffix)
{
    const bool isStatus = suffix == StatusSuffix;
    QJsonObject payload;
    if (!m_online) {
        if (!isStatus)
            return;
        payload.insert(QStringLiteral("service"), false);
    } else {
        const auto producer = m_states.constFind(suffix);
        if (producer == m_states.constEnd())
            return;
        payload = producer.value()();
        if (isStatus)
            payload.insert(QStringLiteral("service"), true);
    }
    m_mqtt->publish(compact(payload), topic(suffix), 1, true);
}

void StateService::addState(const QString& suffix, State producer)
{
    if (!m_states.contains(suffix)) {
        m_stateOrder.append(suffix);
        // Only what is addressed to the service: its own publications do not come back.
        m_mqtt->subscribe(topic(suffix + GetSuffix), 1);
    }
    m_states.insert(suffix, std::move(producer));
}

void StateService::addCommand(const QString& commandTopic, Command handler)
{
    if (!m_commands.contains(commandTopic))
        m_mqtt->subscribe(commandTopic, 1);
    m_commands.insert(commandTopic, std::move(handler));
}

void StateService::publishEvent(const QString& eventTopic, const QJsonObject& payload)
{
    m_mqtt->publish(compact(payload), eventTopic, 1, false);
}

void StateService::onReceived(const QByteArray& payload, const QByteArray& topicName)
{
    const QString name = QString::fromUtf8(topicName);

    // "<state topic>/get": publish that state again.
    if (name.startsWith(m_base + QLatin1Char('/')) && name.endsWith(GetSuffix)) {
        const QString suffix
            = name.mid(m_base.size(), name.size() - m_base.size() - GetSuffix.size());
        if (m_states.contains(suffix)) {
            if (m_online)
                publishState(suffix);
            return;
        }
    }

    const auto command = m_commands.constFind(name);
    if (command == m_commands.constEnd())
        return;
    if (!m_online)
        return;

    QJsonObject json;
    if (!payload.trimmed().isEmpty()) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            qWarning().noquote().nospace()
                << m_tag << "WARN: Ignoring malformed command on " << name << " : "
                << (error.error != QJsonParseError::NoError ? error.errorString()
                                                            : QStringLiteral("not a JSON object"));
            return;
        }
        json = doc.object();
    }
    command.value()(json);
    Q_EMIT commandReceived(name, json);
}

void StateService::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    Q_EMIT connectedChanged();
}
