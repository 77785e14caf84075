#pragma once

#include "DeviceClient.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QProcess;

namespace manager {

class MqttClient;

// The clock page's back end: the system's time zones through the timedatectl tool,
// and the NTP settings of the device's clock service (base + "/clock/ntp").
//
// The tool runs asynchronously, one run at a time, each limited to one second, so
// that the GUI thread never waits for it. The current zone is cached: it is read at
// construction, on refresh() and after a change, never by a property read.
class Clock : public DeviceClient
{
    Q_OBJECT
    Q_PROPERTY(QStringList timezones READ timezones NOTIFY timezonesChanged)
    Q_PROPERTY(QString timezone READ timezone WRITE setTimezone NOTIFY timezoneChanged)
    Q_PROPERTY(QString ntpServer READ ntpServer WRITE setNtpServer NOTIFY ntpServerChanged)
    Q_PROPERTY(bool ntpEnabled READ ntpEnabled WRITE setNtpEnabled NOTIFY ntpEnabledChanged)
    Q_PROPERTY(bool ntpSynced READ ntpSynced NOTIFY ntpSyncedChanged)

public:
    static constexpr int ToolTimeoutMsec = 1000;

    // When the tool first runs: at construction, or once releaseTool() is called. The
    // terminal holds it back until its first frame is on screen: starting a process
    // would compete with that frame.
    enum class ToolStart { Immediate, Held };

    // program: the time-zone tool, found on the PATH unless it is a path.
    Clock(MqttClient& mqtt, const QString& base, QObject* parent = nullptr,
          const QString& program = QStringLiteral("timedatectl"),
          ToolStart start = ToolStart::Immediate);
    ~Clock() override;

    const QStringList& timezones() const { return m_timezones; }
    const QString& timezone() const { return m_timezone; }
    // Accepts only a zone of the list; a different one from the current is set.
    void setTimezone(const QString& tz);
    const QString& ntpServer() const { return m_ntpServer; }
    void setNtpServer(const QString& server);
    bool ntpEnabled() const { return m_ntpEnabled; }
    void setNtpEnabled(bool on);
    bool ntpSynced() const { return m_ntpSynced; }

    // Whether a run of the tool is under way or waiting.
    bool toolBusy() const { return m_running || !m_queue.isEmpty(); }
    // Lets a held tool run, starting with the runs queued meanwhile.
    void releaseTool();

Q_SIGNALS:
    void timezonesChanged();
    void timezoneChanged();
    void ntpServerChanged();
    void ntpEnabledChanged();
    void ntpSyncedChanged();
    // A zone asked for is not the one in force: refused as unknown, or the tool failed,
    // took too long or changed nothing. timezone() is the zone in force.
    void timezoneNotSet(const QString& zone);

public Q_SLOTS:
    void ntpSync();
    void refresh() override;

protected:
    void parseFailed(const QByteArray& payload, const QString& topic,
                     const QJsonParseError& error) override;

private:
    // ok: the tool ran to its end with exit code 0.
    using ToolDone = std::function<void(bool ok, const QByteArray& output)>;
    struct ToolRun
    {
        QStringList arguments;
        ToolDone done;
    };

    void onStatusReceived(const QJsonObject& json);
    void onConfigReceived(const QJsonObject& json);
    void updateEnabled(const QJsonObject& json);

    void readTimezones();
    // Reads the current zone; then, if given, calls next with it.
    void readTimezone(std::function<void(const QString& zone)> next = nullptr);
    void writeTimezone(const QString& tz);

    void runTool(const QStringList& arguments, ToolDone done);
    void startNextRun();

    QString m_program;
    QStringList m_timezones;
    QString m_timezone;
    QString m_ntpServer;
    bool m_ntpEnabled = false;
    bool m_ntpSynced = false;
    QList<ToolRun> m_queue;
    // Where the runs asked for by the one ending go in the queue; -1 when none is ending.
    int m_followUpAt = -1;
    bool m_running = false;
    bool m_held = false;
};

} // namespace manager
