#include "Inspector.h"

#include "JsonField.h"
#include "MqttClient.h"

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>

#include <limits>

namespace manager {

namespace {
const QString InternalCard = QStringLiteral("internal");
} // namespace

Inspector::Inspector(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QStringLiteral("[Inspector] "), parent)
{
    m_shutdownTimer.setSingleShot(true);
    connect(&m_shutdownTimer, &QTimer::timeout, this, &Inspector::systemShutdown);
    connect(&mqtt, &MqttClient::connected, this, &Inspector::refresh);

    setEmptyPayload(EmptyPayload::AsEmptyObject);
    route(QStringLiteral("/info"),
          [this](const QJsonObject& json, const QString& topic) { onInfoReceived(json, topic); });
    route(QStringLiteral("/status"),
          [this](const QJsonObject& json, const QString& topic) { onStatusReceived(json, topic); });
    route(QStringLiteral("/audio"),
          [this](const QJsonObject& json, const QString& topic) { onAudioReceived(json, topic); });
    // The statistics topics are requested and accepted, but their content is not
    // evaluated: they stay unrouted.

    qInfo().noquote().nospace() << logTag() << "Subscribing to topics";
    for (const char* suffix :
         {"/info", "/status", "/audio", "/stats/cpu", "/stats/memory", "/stats/disk"})
        subscribeTo(QString::fromLatin1(suffix), 0);
}

int Inspector::audioVolume() const
{
    return m_audio.value(InternalCard).toInt();
}

void Inspector::refresh()
{
    qInfo().noquote().nospace() << logTag() << "Refreshing data";
    for (const char* suffix :
         {"/audio/get", "/stats/memory/get", "/stats/disk/get", "/stats/cpu/get"})
        mqtt().publish(QByteArrayLiteral("{}"), topic(QString::fromLatin1(suffix)), 0, false);
}

void Inspector::monitor(int msec)
{
    if (msec > 0)
        qInfo().noquote().nospace() << logTag() << "Monitor started : " << msec << " msec(s)";
    else
        qInfo().noquote().nospace() << logTag() << "Monitor stopped";
    startMonitor(msec);
}

void Inspector::setAudioVolume(int value)
{
    qInfo().noquote().nospace() << logTag() << "Setting 'internal' audio volume : " << value << "%";
    // Always sent: the service may have changed the volume behind our back.
    publishCommand(QStringLiteral("/audio/set"),
                   QJsonObject {{InternalCard, QJsonObject {{QStringLiteral("volume"), value}}}});
}

void Inspector::audioPlay(const QString& file)
{
    qInfo().noquote().nospace() << logTag() << "Playing audio file (card='internal') : " << file;
    publishCommand(
        QStringLiteral("/audio/play"),
        QJsonObject {{QStringLiteral("device"), InternalCard}, {QStringLiteral("filepath"), file}});
}

void Inspector::systemReboot()
{
    qInfo().noquote().nospace() << logTag() << "Requesting System reboot";
    Q_EMIT systemRebootStarted();
    // The delay lets the user interface show its busy screen before the power goes.
    QTimer::singleShot(PowerRequestDelayMsec, this,
                       [this] { publishEmpty(QStringLiteral("/power/reboot/request/1")); });
}

void Inspector::systemShutdown()
{
    qInfo().noquote().nospace() << logTag() << "Requesting System shutdown";
    Q_EMIT systemShutdownStarted();
    QTimer::singleShot(PowerRequestDelayMsec, this,
                       [this] { publishEmpty(QStringLiteral("/power/shutdown/request/1")); });
}

void Inspector::scheduleShutdown(int sec)
{
    // A countdown already running keeps its deadline: repeated ignition-off
    // reports must not postpone the power-off.
    if (m_shutdownTimer.isActive())
        return;

    qInfo().noquote().nospace() << logTag() << "Scheduling System shutdown in : " << sec
                                << " sec(s)";
    // A negative delay means "now"; a delay beyond the timer's range is cut to it
    // instead of overflowing into a negative interval that would never fire.
    const qint64 msec = qBound<qint64>(0, qint64(sec) * 1000, std::numeric_limits<int>::max());
    m_shutdownTimer.start(int(msec));
}

void Inspector::abortShutdown()
{
    if (!m_shutdownTimer.isActive())
        return;
    qInfo().noquote().nospace() << logTag() << "Aborting System shutdown";
    m_shutdownTimer.stop();
}

// A field of the wrong type is logged by JsonField and leaves the state as it was;
// a missing one reads as empty, false or 0.

void Inspector::onInfoReceived(const QJsonObject& json, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing info topic " << topic;
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
    qInfo().noquote().nospace() << logTag() << "Processing status topic " << topic;
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
    if (status == m_status)
        return;
    qInfo().noquote().nospace() << logTag() << "Status changed : " << status;
    m_status = status;
    Q_EMIT statusChanged();
}

} // namespace manager
