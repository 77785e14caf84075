#include "StateService.h"

#include <QDebug>

namespace {
const QString StatusSuffix = QStringLiteral("/status");
const QString GetSuffix = QStringLiteral("/get");
} // namespace

StateService::StateService(const QString& baseTopic, const QString& logTag, QObject* parent)
    : ServiceEndpoint(baseTopic, logTag, parent)
{ }

StateService::~StateService() = default;

void StateService::publishAll()
{
    if (!isOnline()) {
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
    if (!isOnline()) {
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
    publish(topic(suffix), payload, 1, true);
}

void StateService::addState(const QString& suffix, State producer)
{
    if (!m_states.contains(suffix))
        m_stateOrder.append(suffix);
    m_states.insert(suffix, std::move(producer));
}

void StateService::addCommand(const QString& commandTopic, Command handler)
{
    m_commands.insert(commandTopic, std::move(handler));
}

void StateService::publishEvent(const QString& eventTopic, const QJsonObject& payload)
{
    publish(eventTopic, payload, 1, false);
}

QStringList StateService::subscriptions() const
{
    QStringList filters;
    for (const QString& suffix : m_stateOrder)
        filters.append(topic(suffix + GetSuffix));
    return filters + m_commands.keys();
}

void StateService::onMessage(const QString& name, const QByteArray& payload)
{
    // "<state topic>/get": publish that state again.
    if (name.startsWith(baseTopic() + QLatin1Char('/')) && name.endsWith(GetSuffix)) {
        const QString suffix
            = name.mid(baseTopic().size(), name.size() - baseTopic().size() - GetSuffix.size());
        if (m_states.contains(suffix)) {
            if (isOnline())
                publishState(suffix);
            return;
        }
    }

    const auto command = m_commands.constFind(name);
    if (command == m_commands.constEnd() || !isOnline())
        return;
    QJsonObject json;
    if (!parseObject(payload, &json)) {
        qWarning().noquote().nospace() << logTag() << "WARN: Ignoring malformed command on " << name
                                       << " : " << QString::fromUtf8(payload.left(200));
        return;
    }
    command.value()(json);
    Q_EMIT commandReceived(name, json);
}
