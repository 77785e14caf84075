#pragma once

#include "StateService.h"

#include <QJsonObject>
#include <QList>
#include <QTimer>

// Stand-in for the software updater of the device service, on the device base.
//
// Retained state: "/status" {"service", "update": {"software": {"current",
// "pending"}}} and "/update/software/status" {"current", "pending"}, each published
// again on its "/get". Commands: "/software/check" (after a moment the version on
// the update server, if newer than the installed one, becomes pending), and
// "/update/software/install" (installs the pending version). The installation
// reports on "/update/software/progress" {"message", "progress", "version"}: while
// downloading, the message counts the parts ("Downloading part 2/4"), while
// installing it has no "/"; at the end the version is installed and none is pending.
class UpdateService : public StateService
{
    Q_OBJECT
    Q_PROPERTY(QString current READ current NOTIFY versionsChanged)
    Q_PROPERTY(QString pending READ pending NOTIFY versionsChanged)
    Q_PROPERTY(QString available READ available WRITE setAvailable NOTIFY versionsChanged)
    Q_PROPERTY(bool installing READ isInstalling NOTIFY versionsChanged)

public:
    explicit UpdateService(const QString& deviceBase = QStringLiteral("ovant/device"),
                           QObject* parent = nullptr);

    const QString& current() const { return m_current; }
    const QString& pending() const { return m_pending; }
    // The version on the update server (empty: none); a check finds it.
    const QString& available() const { return m_available; }
    void setAvailable(const QString& version);
    bool isInstalling() const { return m_step >= 0; }

    // Time a check takes, and the time between two progress messages.
    void setCheckDelay(int msec) { m_check.setInterval(qMax(0, msec)); }
    void setStepDelay(int msec) { m_progress.setInterval(qMax(0, msec)); }

Q_SIGNALS:
    void versionsChanged();
    void progressed(const QString& message, int percent);

private:
    struct Step
    {
        QString message;
        int percent;
    };

    QJsonObject software() const;
    void check();
    void install();
    void nextStep();
    void publishVersions();

    QString m_current = QStringLiteral("1.4.2");
    QString m_pending;
    QString m_available = QStringLiteral("1.5.0");
    QTimer m_check;
    QTimer m_progress;
    QList<Step> m_steps;
    int m_step = -1; // index of the next progress step; -1: not installing
};
