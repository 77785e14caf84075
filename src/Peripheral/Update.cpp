#include "Update.h"

#include "JsonField.h"
#include "MqttClient.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonObject>

#include <cmath>
#include <limits>

namespace manager {

namespace {

// The updater may report a fraction (42.5): the page shows whole percents, the nearest.
// A number no int holds spoils the message like a field of the wrong type.
std::optional<int> percentOf(const QJsonObject& json, const QString& logTag)
{
    const QString key = QStringLiteral("progress");
    const auto number = JsonField::number(json, key, logTag);
    if (!number)
        return std::nullopt;
    const double rounded = std::round(*number);
    if (!(rounded >= std::numeric_limits<int>::min()
          && rounded <= std::numeric_limits<int>::max())) {
        JsonField::reportWrongType(logTag, key, json.value(key), QStringLiteral("percentage"));
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}

} // namespace

Update::Update(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QStringLiteral("[Update] "), parent)
{
    m_checkTimer.setSingleShot(true);
    m_checkTimer.setInterval(CheckTimeoutMsec);
    connect(&mqtt, &MqttClient::connected, this, &Update::refresh);
    connect(&mqtt, &MqttClient::disconnected, this, &Update::onMqttDisconnected);
    connect(&m_checkTimer, &QTimer::timeout, this, &Update::checkTimerExpired);

    setEmptyPayload(EmptyPayload::AsEmptyObject);
    const auto progress
        = [this](const QJsonObject& json, const QString&) { onUpdateProgressReceived(json); };
    route(QStringLiteral("/status"),
          [this](const QJsonObject& json, const QString&) { onStatusReceived(json); });
    route(QStringLiteral("/update/software/status"),
          [this](const QJsonObject& json, const QString&) { onUpdateStatusReceived(json); });
    // The updater has published its progress under both spellings.
    route(QStringLiteral("/update/software/progress"), progress);
    route(QStringLiteral("/update/software/progess"), progress);
    for (const char* suffix : {"/status", "/update/software/status", "/update/software/progress",
                               "/update/software/progess"})
        subscribeTo(QString::fromLatin1(suffix));
}

void Update::refresh()
{
    publishEmpty(QStringLiteral("/status/get"));
}

void Update::check()
{
    qInfo().noquote().nospace() << logTag() << "Checking for updates";
    setStatus(QStringLiteral("Checking for updates"));
    m_checkTimer.start();
    publishEmpty(QStringLiteral("/software/check"));
}

void Update::install()
{
    if (m_pending.isEmpty()) {
        qWarning().noquote().nospace()
            << logTag() << "WARN: Cannot install. There are no pending versions";
        return;
    }
    qInfo().noquote().nospace() << logTag() << "Installing pending update : " << m_pending;
    publishEmpty(QStringLiteral("/update/software/install"));
}

void Update::onStatusReceived(const QJsonObject& json)
{
    const auto update = JsonField::object(json, QStringLiteral("update"), logTag());
    if (!update)
        return;
    const QJsonValue software = update->value(QStringLiteral("software"));
    if (software.isString()) {
        setCurrent(software.toString());
    } else if (software.isObject()) {
        onUpdateStatusReceived(software.toObject());
    } else if (!software.isUndefined() && !software.isNull()) {
        JsonField::reportWrongType(logTag(), QStringLiteral("software"), software,
                                   QStringLiteral("string or object"));
        return;
    }
    // The device status answers a check as well.
    m_checkTimer.stop();
    setStatusFromPending();
    setProgressMessage(QStringLiteral("Idle"));
    setProgressPercent(0);
}

void Update::onUpdateStatusReceived(const QJsonObject& json)
{
    const auto current = JsonField::text(json, QStringLiteral("current"), logTag());
    const auto pending = JsonField::text(json, QStringLiteral("pending"), logTag());
    // A field of the wrong type spoils the message: nothing of it is taken.
    if (!current || !pending)
        return;
    setCurrent(*current);
    setPending(*pending);
}

void Update::onUpdateProgressReceived(const QJsonObject& json)
{
    const auto message = JsonField::text(json, QStringLiteral("message"), logTag());
    const auto percent = percentOf(json, logTag());
    const auto version = JsonField::text(json, QStringLiteral("version"), logTag());
    if (!message || !percent || !version)
        return;
    setProgressMessage(*message);
    setProgressPercent(*percent);
    setPending(*version);
    m_checkTimer.stop();
    setStatus(m_progressMessage.contains(QLatin1Char('/')) ? QStringLiteral("Downloading")
                                                           : QStringLiteral("Installing"));
}

void Update::onMqttDisconnected()
{
    // A check cannot be answered now; the status already says why.
    m_checkTimer.stop();
    setStatus(QStringLiteral("Disconnected"));
}

void Update::checkTimerExpired()
{
    qInfo().noquote().nospace() << logTag() << "No pedning updates";
    // A check sent while the broker was unreachable found nothing out.
    if (!mqtt().isConnected()) {
        setStatus(QStringLiteral("Disconnected"));
        return;
    }
    setStatusFromPending();
}

void Update::setStatusFromPending()
{
    setStatus(m_pending.isEmpty() ? QStringLiteral("No pending updates")
                                  : QStringLiteral("Ready to install"));
}

void Update::setStatus(const QString& value)
{
    updateProperty(m_status, value, this, &Update::statusChanged);
}

void Update::setCurrent(const QString& value)
{
    updateProperty(m_current, value, this, &Update::currentChanged);
}

void Update::setPending(const QString& value)
{
    updateProperty(m_pending, value, this, &Update::pendingChanged);
}

void Update::setProgressMessage(const QString& value)
{
    updateProperty(m_progressMessage, value, this, &Update::progressMessageChanged);
}

void Update::setProgressPercent(int value)
{
    updateProperty(m_progressPercent, value, this, &Update::progressPercentChanged);
}

} // namespace manager
