#include "Inspector.h"

#include "JsonField.h"
#include "MqttClient.h"
#include "TaggedLog.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>

#include <limits>

namespace manager {

namespace {
const QString InternalCard = QStringLiteral("internal");
} // namespace

Inspector::Inspector(MqttClient& mqtt, const QString& base, QObject* parent)
    : MonitoredClient(mqtt, base, QStringLiteral("[Inspector] "), parent)
{
    m_shutdownTimer.setSingleShot(true);
    connect(&m_shutdownTimer, &QTimer::timeout, this, &Inspector::systemShutdown);

    setEmptyPayload(EmptyPayload::AsEmptyObject);
    route(QStringLiteral("/info"),
          [this](const QJsonObject& json, const QString& topic) { onInfoReceived(json, topic); });
    route(QStringLiteral("/status"),
          [this](const QJsonObject& json, const QString& topic) { onStatusReceived(json, topic); });
    route(QStringLiteral("/audio"),
          [this](const QJsonObject& json, const QString& topic) { onAudioReceived(json, topic); });
    // The statistics topics are requested and accepted, but their content is not
    // evaluated: they stay unrouted.

    subscribeAll({"/info", "/status", "/audio", "/stats/cpu", "/stats/memory", "/stats/disk"});
}

int Inspector::audioVolume() const
{
    return m_audio.value(InternalCard).toInt();
}

void Inspector::refresh()
{
    tagged(qInfo(), logTag()) << "Refreshing data";
    requestAll({"/audio/get", "/stats/memory/get", "/stats/disk/get", "/stats/cpu/get"});
}

void Inspector::setAudioVolume(int value)
{
    tagged(qInfo(), logTag()) << "Setting 'internal' audio volume : " << value << "%";
    // Always sent: the service may have changed the volume behind our back.
    publishCommand(QStringLiteral("/audio/set"),
                   QJsonObject {{InternalCard, QJsonObject {{QStringLiteral("volume"), value}}}});
}

void Inspector::audioPlay(const QString& file)
{
    // Logged once asked: the passenger's sound does not wait for the log.
    publishCommand(
        QStringLiteral("/audio/play"),
        QJsonObject {{QStringLiteral("device"), InternalCard}, {QStringLiteral("filepath"), file}});
    tagged(qInfo(), logTag()) << "Playing audio file (card='internal') : " << file;
}

void Inspector::systemReboot()
{
    tagged(qInfo(), logTag()) << "Requesting System reboot";
    Q_EMIT systemRebootStarted();
    // The delay lets the user interface show its busy screen before the power goes.
    QTimer::singleShot(PowerRequestDelayMsec, this, [this] {
        Q_EMIT powerRequestDue();
        publishEmpty(QStringLiteral("/power/reboot/request/1"));
    });
}

void Inspector::systemShutdown()
{
    tagged(qInfo(), logTag()) << "Requesting System shutdown";
    Q_EMIT systemShutdownStarted();
    QTimer::singleShot(PowerRequestDelayMsec, this, [this] {
        Q_EMIT powerRequestDue();
        publishEmpty(QStringLiteral("/power/shutdown/request/1"));
    });
}

void Inspector::scheduleShutdown(int sec)
{
    // A countdown already running keeps its deadline: repeated ignition-off
    // reports must not postpone the power-off.
    if (m_shutdownTimer.isActive())
        return;

    tagged(qInfo(), logTag()) << "Scheduling System shutdown in : " << sec << " sec(s)";
    // A negative delay means "now"; a delay beyond the timer's range is cut to it
    // instead of overflowing into a negative interval that would never fire.
    const qint64 msec = qBound<qint64>(0, qint64(sec) * 1000, std::numeric_limits<int>::max());
    m_shutdownTimer.start(int(msec));
}

void Inspector::abortShutdown()
{
    if (!m_shutdownTimer.isActive())
        return;
    tagged(qInfo(), logTag()) << "Aborting System shutdown";
    m_shutdownTimer.stop();
}

// A field of the wrong type is logged by JsonField and leaves the state as it was;
// a missing one reads as empty, false or 0.

void Inspector::onInfoReceived(const QJsonObject& json, const QString& topic)
{
    tagged(qInfo(), logTag()) << "Processing info topic " << topic;
    const auto service = JsonField::object(json, QStringLiteral("service"), logTag());
    if (!service)
        return;
    const auto version = JsonField::text(*service, QStringLiteral("version"), logTag());
    if (!version)
        return;
    m_info.insert(QStringLiteral("version"), *version);
    Q_EMIT infoChanged();
}

void Inspector::onStatusReceived(const QJsonObject& json, const QString& topic)
{
    tagged(qInfo(), logTag()) << "Processing status topic " << topic;
    const auto service = JsonField::boolean(json, QStringLiteral("service"), logTag());
    if (!service)
        return;
    setStatus(*service ? QStringLiteral("online") : QStringLiteral("offline"));
}

void Inspector::onAudioReceived(const QJsonObject& json, const QString&)
{
    const auto card = JsonField::object(json, InternalCard, logTag());
    if (!card)
        return;
    const auto volume = JsonField::integer(*card, QStringLiteral("volume"), logTag());
    if (!volume || *volume == audioVolume())
        return;
    m_audio.insert(InternalCard, *volume);
    Q_EMIT audioVolumeChanged();
}

void Inspector::setStatus(const QString& status)
{
    updateProperty(m_status, status, this, &Inspector::statusChanged, QtInfoMsg, logTag(),
                   "Status changed : ");
}

} // namespace manager
