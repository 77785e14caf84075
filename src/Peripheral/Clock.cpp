#include "Clock.h"

#include "JsonField.h"
#include "MqttClient.h"
#include "ProcessGuard.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <memory>

namespace {

// The zone of the status line "Time zone: Europe/Athens (EET, +0200)"; empty if there
// is none.
QString zoneOf(const QString& status)
{
    const QLatin1String label("Time zone:");
    const int start = status.indexOf(label);
    if (start < 0)
        return QString();
    const int end = status.indexOf(QLatin1Char('\n'), start);
    const QStringRef line
        = status.midRef(start + label.size(), end < 0 ? -1 : end - start - label.size());
    const int details = line.lastIndexOf(QLatin1String(" ("));
    return details < 0 ? QString() : line.left(details).trimmed().toString();
}

} // namespace

namespace manager {

Clock::Clock(MqttClient& mqtt, const QString& base, QObject* parent, const QString& program,
             ToolStart start)
    : DeviceClient(mqtt, base + QStringLiteral("/clock/ntp"), QString(), parent)
    , m_program(program)
    , m_held(start == ToolStart::Held)
{
    readTimezones();
    readTimezone();

    connect(&mqtt, &MqttClient::connected, this, &Clock::refresh);
    setEmptyPayload(EmptyPayload::AsParseError);
    route(QStringLiteral("/status"),
          [this](const QJsonObject& json, const QString&) { onStatusReceived(json); });
    route(QStringLiteral("/config"),
          [this](const QJsonObject& json, const QString&) { onConfigReceived(json); });
    subscribeTo(QStringLiteral("/status"));
    subscribeTo(QStringLiteral("/config"));
}

Clock::~Clock()
{
    // A run still under way reports to no one: this object is going.
    for (QProcess* process : findChildren<QProcess*>(QString(), Qt::FindDirectChildrenOnly)) {
        process->disconnect(this);
        if (ProcessGuard::kill(*process))
            process->waitForFinished(ToolTimeoutMsec);
    }
}

void Clock::setTimezone(const QString& tz)
{
    // Only a name the tool itself listed goes to it: nothing typed reaches it as an option.
    if (tz.isEmpty() || !m_timezones.contains(tz)) {
        qWarning().noquote().nospace() << "WARN: Refusing unknown time zone : " << tz;
        Q_EMIT timezoneNotSet(tz);
        return;
    }
    readTimezone([this, tz](const QString& current) {
        if (current != tz)
            writeTimezone(tz);
    });
}

void Clock::setNtpServer(const QString& server)
{
    if (server == m_ntpServer)
        return;
    qInfo().noquote().nospace() << "Setting NTP server : " << server;
    publishCommand(QStringLiteral("/config/set"),
                   {{QStringLiteral("enabled"), m_ntpEnabled}, {QStringLiteral("server"), server}});
}

void Clock::setNtpEnabled(bool on)
{
    if (on == m_ntpEnabled)
        return;
    qInfo().noquote().nospace() << "Setting NTP : " << (on ? "enabled" : "disabled");
    publishCommand(QStringLiteral("/config/set"),
                   {{QStringLiteral("enabled"), on}, {QStringLiteral("server"), m_ntpServer}});
}

void Clock::ntpSync()
{
    qInfo().noquote().nospace() << "Requesting NTP sync";
    // Unsynchronised until the service reports the outcome.
    updateProperty(m_ntpSynced, false, this, &Clock::ntpSyncedChanged);
    publishEmpty(QStringLiteral("/sync"));
}

void Clock::refresh()
{
    qInfo().noquote().nospace() << "Refreshing Clock status and config";
    publishEmpty(QStringLiteral("/status/get"));
    publishEmpty(QStringLiteral("/config/get"));
    if (m_timezones.isEmpty())
        readTimezones();
    readTimezone();
}

void Clock::parseFailed(const QByteArray& payload, const QString&, const QJsonParseError&)
{
    qCritical().noquote().nospace() << "Failed to parse JSON message: " << payloadForLog(payload);
}

void Clock::updateEnabled(const QJsonObject& json)
{
    if (const auto enabled = JsonField::boolean(json, QStringLiteral("enabled"), logTag()))
        updateProperty(m_ntpEnabled, *enabled, this, &Clock::ntpEnabledChanged);
}

void Clock::onStatusReceived(const QJsonObject& json)
{
    updateEnabled(json);
    if (const auto synced = JsonField::boolean(json, QStringLiteral("synced"), logTag()))
        updateProperty(m_ntpSynced, *synced, this, &Clock::ntpSyncedChanged);
}

void Clock::onConfigReceived(const QJsonObject& json)
{
    updateEnabled(json);
    if (const auto server = JsonField::text(json, QStringLiteral("server"), logTag()))
        updateProperty(m_ntpServer, *server, this, &Clock::ntpServerChanged);
}

void Clock::readTimezones()
{
    runTool({QStringLiteral("--no-pager"), QStringLiteral("list-timezones")},
            [this](bool ok, const QByteArray& output) {
                // A failed or cut-off run keeps the list there was: a partial one
                // could lack the zone in use.
                if (!ok)
                    return;
                QStringList zones;
                for (const QString& line : QString::fromUtf8(output).split(QLatin1Char('\n'))) {
                    const QString zone = line.trimmed();
                    if (!zone.isEmpty())
                        zones.append(zone);
                }
                updateProperty(m_timezones, zones, this, &Clock::timezonesChanged);
            });
}

void Clock::readTimezone(std::function<void(const QString&)> next)
{
    runTool({QStringLiteral("status")}, [this, next](bool ok, const QByteArray& output) {
        if (ok) {
            const QString zone = zoneOf(QString::fromUtf8(output));
            if (!zone.isEmpty())
                updateProperty(m_timezone, zone, this, &Clock::timezoneChanged);
            else
                qWarning().noquote().nospace()
                    << "WARN: No time zone in the output of " << m_program << " status";
        }
        // Without an answer the zone in force is unknown: the caller goes on as if
        // it were none.
        if (next)
            next(ok ? m_timezone : QString());
    });
}

void Clock::writeTimezone(const QString& tz)
{
    qInfo().noquote().nospace() << "Setting time zone : " << tz;
    runTool({QStringLiteral("set-timezone"), tz}, [this, tz](bool, const QByteArray&) {
        // Whatever the tool said, the zone read back is the one in force: the one
        // shown, and the judge of whether the change was made.
        readTimezone([this, tz](const QString& current) {
            if (current == tz)
                return;
            qWarning().noquote().nospace()
                << "WARN: Time zone not set : " << tz
                << " (in force: " << (current.isEmpty() ? QStringLiteral("unknown") : current)
                << ")";
            Q_EMIT timezoneNotSet(tz);
        });
    });
}

void Clock::releaseTool()
{
    m_held = false;
    if (!m_running)
        startNextRun();
}

void Clock::runTool(const QStringList& arguments, ToolDone done)
{
    // A run asked for by one that is ending carries its work on before anything
    // queued meanwhile: a zone is set right after it was read, read right after set.
    if (m_followUpAt >= 0)
        m_queue.insert(m_followUpAt++, {arguments, std::move(done)});
    else
        m_queue.append({arguments, std::move(done)});
    if (!m_running)
        startNextRun();
}

void Clock::startNextRun()
{
    if (m_held || m_queue.isEmpty())
        return;
    const ToolRun run = m_queue.takeFirst();
    m_running = true;

    const QString command = m_program + QLatin1Char(' ') + run.arguments.join(QLatin1Char(' '));
    auto* process = new QProcess(this);
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);
    // The output is parsed: keep it untranslated.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process->setProcessEnvironment(environment);

    auto completed = std::make_shared<bool>(false);
    auto complete = [this, process, run, completed](bool ok, const QByteArray& output) {
        if (*completed)
            return;
        *completed = true;
        process->disconnect(this);
        process->deleteLater();
        // Still running while the caller hears of it: a run it asks for waits its turn.
        m_followUpAt = 0;
        run.done(ok, output);
        m_followUpAt = -1;
        m_running = false;
        startNextRun();
    };

    connect(limit, &QTimer::timeout, this, [process, command, complete] {
        qWarning().noquote().nospace()
            << "WARN: " << command << " took longer than " << ToolTimeoutMsec << " ms; stopped";
        // A child that cannot be signalled never reports its end.
        if (!ProcessGuard::kill(*process))
            complete(false, QByteArray());
    });
    connect(process, &QProcess::errorOccurred, this,
            [process, command, complete](QProcess::ProcessError error) {
                // Every other error is followed by finished().
                if (error != QProcess::FailedToStart)
                    return;
                qWarning().noquote().nospace()
                    << "WARN: Cannot run " << command << " : " << process->errorString();
                complete(false, QByteArray());
            });
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [process, limit, command, complete](int code, QProcess::ExitStatus status) {
                const bool timedOut = !limit->isActive();
                limit->stop();
                const bool ok = !timedOut && status == QProcess::NormalExit && code == 0;
                if (!ok && !timedOut)
                    qWarning().noquote().nospace()
                        << "WARN: " << command << " failed (exit code " << code
                        << "): " << QString::fromUtf8(process->readAllStandardError()).trimmed();
                complete(ok, process->readAllStandardOutput());
            });

    limit->start(ToolTimeoutMsec);
    process->start(m_program, run.arguments, QIODevice::ReadOnly);
}

} // namespace manager
