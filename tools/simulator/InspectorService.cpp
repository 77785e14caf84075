#include "InspectorService.h"

#include "JsonArgument.h"

#include <QDebug>
#include <QJsonArray>
#include <QtMath>

namespace {
const char* const Tag = "[Inspector] ";
constexpr int MaxPlayedKept = 100;
} // namespace

InspectorService::InspectorService(const QString& baseTopic, QObject* parent)
    : SimulatedService(baseTopic, deviceInfo({}, QStringLiteral("3.1.4")), parent)
{
    m_clock.start();
    addCommandTopics({QStringLiteral("/audio/get"), QStringLiteral("/audio/set"),
                      QStringLiteral("/audio/play"), QStringLiteral("/stats/+/get")});
    for (const QString& what : {QStringLiteral("reboot"), QStringLiteral("shutdown")}) {
        int* count = what == QLatin1String("reboot") ? &m_reboots : &m_shutdowns;
        addMethod(QStringLiteral("/power/") + what, [this, what, count](const QJsonObject&) {
            ++*count;
            qInfo().noquote().nospace()
                << Tag << "System " << what << " requested (the simulated system stays up)";
            Q_EMIT powerRequested(what);
            return completed();
        });
    }

    const auto publishAudio = [this] {
        if (isConnected() && isOnline())
            publishSetting(QStringLiteral("/audio"), audio());
    };
    connect(this, &SimulatedService::connectedChanged, this, publishAudio);
    connect(this, &SimulatedService::onlineChanged, this, publishAudio);
}

QJsonObject InspectorService::deviceStatus() const
{
    return {{QStringLiteral("active"), true},
            {QStringLiteral("hostname"), QStringLiteral("kvrt-terminal")}};
}

QJsonObject InspectorService::audio() const
{
    return {{QStringLiteral("internal"), QJsonObject {{QStringLiteral("volume"), m_volume}}}};
}

QJsonObject InspectorService::statistics(const QString& which) const
{
    // Slowly moving figures, so that a page that polls them sees a live system.
    const double t = m_clock.elapsed() / 1000.0;
    if (which == QLatin1String("cpu")) {
        const double usage = 12.0 + 6.0 * qSin(t / 7.0);
        return {{QStringLiteral("cores"), 2},
                {QStringLiteral("usage"), qRound(usage * 10) / 10.0},
                {QStringLiteral("load"), QJsonArray {0.31, 0.27, 0.22}}};
    }
    if (which == QLatin1String("memory")) {
        const int used = 182000 + int(4000 * qSin(t / 11.0));
        return {{QStringLiteral("total"), 1011932},
                {QStringLiteral("used"), used},
                {QStringLiteral("free"), 1011932 - used}};
    }
    return {{QStringLiteral("disks"),
             QJsonArray {QJsonObject {{QStringLiteral("mount"), QStringLiteral("/")},
                                      {QStringLiteral("total"), 7325696},
                                      {QStringLiteral("used"), 2210304}},
                         QJsonObject {{QStringLiteral("mount"), QStringLiteral("/data")},
                                      {QStringLiteral("total"), 29464576},
                                      {QStringLiteral("used"), 803840}}}}};
}

void InspectorService::handlePublication(const QString& suffix, const QJsonObject& json,
                                         bool payloadValid)
{
    if (suffix == QLatin1String("/audio/get")) {
        publishSetting(QStringLiteral("/audio"), audio());
    } else if (suffix == QLatin1String("/audio/set")) {
        if (payloadValid)
            setAudio(json);
        else
            qWarning().noquote().nospace() << Tag << "WARN: Ignoring malformed audio request";
        publishSetting(QStringLiteral("/audio"), audio());
    } else if (suffix == QLatin1String("/audio/play")) {
        if (payloadValid)
            play(json);
        else
            qWarning().noquote().nospace() << Tag << "WARN: Ignoring malformed play request";
    } else if (suffix.startsWith(QLatin1String("/stats/"))
               && suffix.endsWith(QLatin1String("/get"))) {
        const QString which = suffix.mid(7, suffix.size() - 11);
        if (which == QLatin1String("cpu") || which == QLatin1String("memory")
            || which == QLatin1String("disk"))
            publish(topic(QStringLiteral("/stats/") + which), statistics(which), 1, false);
    }
}

void InspectorService::setAudio(const QJsonObject& json)
{
    int volume = 0;
    if (!JsonArgument::toInt(
            json.value(QStringLiteral("internal")).toObject().value(QStringLiteral("volume")),
            &volume)) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Ignoring audio request without \"internal\"/\"volume\"";
        return;
    }
    volume = qBound(0, volume, 100);
    if (volume == m_volume)
        return;
    m_volume = volume;
    qInfo().noquote().nospace() << Tag << "Volume of 'internal' " << volume << "%";
    Q_EMIT volumeChanged();
}

void InspectorService::play(const QJsonObject& json)
{
    const QString device
        = json.value(QStringLiteral("device")).toString(QStringLiteral("internal"));
    const QString file = json.value(QStringLiteral("filepath")).toString();
    if (device != QLatin1String("internal") || file.isEmpty()) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Cannot play '" << file << "' on sound card '" << device << "'";
        return;
    }
    qInfo().noquote().nospace() << Tag << "Playing " << file << " (volume " << m_volume << "%)";
    m_played.append(file);
    if (m_played.size() > MaxPlayedKept)
        m_played.removeFirst();
    Q_EMIT soundPlayed(file);
}
