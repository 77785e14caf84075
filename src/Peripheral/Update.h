#pragma once

#include "DeviceClient.h"

#include <QString>
#include <QTimer>

namespace manager {

class MqttClient;

// Client of the device service's software updater: the installed and the pending
// version, checks and installation, and their progress, summed up in one status
// text for the update page.
class Update : public DeviceClient
{
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString current READ current NOTIFY currentChanged)
    Q_PROPERTY(QString pending READ pending NOTIFY pendingChanged)
    Q_PROPERTY(QString progressMessage READ progressMessage NOTIFY progressMessageChanged)
    Q_PROPERTY(int progressPercent READ progressPercent NOTIFY progressPercentChanged)

public:
    static constexpr int CheckTimeoutMsec = 5000;

    Update(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    const QString& status() const { return m_status; }
    const QString& current() const { return m_current; }
    const QString& pending() const { return m_pending; }
    const QString& progressMessage() const { return m_progressMessage; }
    int progressPercent() const { return m_progressPercent; }

    // How long a check waits for the updater before it ends by itself.
    void setCheckTimeout(int msec) { m_checkTimer.setInterval(msec); }

Q_SIGNALS:
    void statusChanged();
    void currentChanged();
    void pendingChanged();
    void progressMessageChanged();
    void progressPercentChanged();
    // Declared for listeners; the status text carries the outcome.
    void checkFinished();
    void installFinished();

public Q_SLOTS:
    void check();
    void install();
    void refresh() override;

private:
    void onStatusReceived(const QJsonObject& json);
    void onUpdateStatusReceived(const QJsonObject& json);
    void onUpdateProgressReceived(const QJsonObject& json);
    void onMqttDisconnected();
    void checkTimerExpired();
    void setStatusFromPending();

    void setStatus(const QString& value);
    void setCurrent(const QString& value);
    void setPending(const QString& value);
    void setProgressMessage(const QString& value);
    void setProgressPercent(int value);

    QString m_status = QStringLiteral("Disconnected");
    QString m_current;
    QString m_pending;
    QString m_progressMessage;
    int m_progressPercent = 0;
    QTimer m_checkTimer;
};

} // namespace manager
