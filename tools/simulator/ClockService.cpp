#include "ClockService.h"

#include "JsonArgument.h"

#include <QDebug>

namespace {
const char* const Tag = "[Clock] ";
}

ClockService::ClockService(const QString& deviceBase, QObject* parent)
    : StateService(deviceBase + QStringLiteral("/clock/ntp"), QLatin1String(Tag), parent)
{
    m_sync.setSingleShot(true);
    m_sync.setInterval(1000);
    connect(&m_sync, &QTimer::timeout, this, [this] {
        const bool ok = m_enabled && m_reachable && !m_server.isEmpty();
        qInfo().noquote().nospace()
            << Tag << "NTP synchronisation with " << m_server << (ok ? " done" : " failed");
        setSynced(ok);
    });

    addState(QStringLiteral("/status"), [this] {
        return QJsonObject {{QStringLiteral("enabled"), m_enabled},
                            {QStringLiteral("synced"), m_synced}};
    });
    addState(QStringLiteral("/config"), [this] {
        return QJsonObject {{QStringLiteral("enabled"), m_enabled},
                            {QStringLiteral("server"), m_server}};
    });
    addCommand(topic(QStringLiteral("/config/set")),
               [this](const QJsonObject& json) { setConfiguration(json); });
    addCommand(topic(QStringLiteral("/sync")), [this](const QJsonObject&) {
        qInfo().noquote().nospace() << Tag << "NTP synchronisation requested";
        startSync();
    });
}

void ClockService::setServerReachable(bool reachable)
{
    if (m_reachable == reachable)
        return;
    m_reachable = reachable;
    qInfo().noquote().nospace() << Tag << "NTP server "
                                << (reachable ? "reachable" : "unreachable");
    if (!reachable) {
        m_sync.stop();
        setSynced(false);
    } else {
        startSync();
    }
}

void ClockService::setConfiguration(const QJsonObject& json)
{
    bool enabled = m_enabled;
    QString server = m_server;
    if (json.contains(QStringLiteral("enabled"))
        && !JsonArgument::toBool(json.value(QStringLiteral("enabled")), &enabled)) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Ignoring configuration: \"enabled\" is not a boolean";
        publishState(QStringLiteral("/config"));
        return;
    }
    if (json.contains(QStringLiteral("server"))) {
        const QJsonValue value = json.value(QStringLiteral("server"));
        if (!value.isString() || value.toString().contains(QLatin1Char(' '))) {
            qWarning().noquote().nospace()
                << Tag << "WARN: Ignoring configuration: \"server\" is not a host name";
            publishState(QStringLiteral("/config"));
            return;
        }
        server = value.toString().trimmed();
    }
    const bool changed = enabled != m_enabled || server != m_server;
    m_enabled = enabled;
    m_server = server;
    qInfo().noquote().nospace() << Tag << "NTP " << (enabled ? "enabled" : "disabled")
                                << ", server '" << server << "'";
    publishState(QStringLiteral("/config"));
    if (changed)
        startSync();
}

void ClockService::startSync()
{
    setSynced(false);
    m_sync.start();
}

void ClockService::setSynced(bool synced)
{
    // Published every time: a client that asked for a sync waits for the outcome.
    m_synced = synced;
    publishState(QStringLiteral("/status"));
    Q_EMIT stateChanged();
}
