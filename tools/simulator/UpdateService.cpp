#include "UpdateService.h"

#include <QDebug>
#include <QVersionNumber>

namespace {
const char* const Tag = "[Update] ";
constexpr int DownloadParts = 4;
} // namespace

UpdateService::UpdateService(const QString& deviceBase, QObject* parent)
    : StateService(deviceBase, QLatin1String(Tag), parent)
{
    m_check.setSingleShot(true);
    m_check.setInterval(800);
    connect(&m_check, &QTimer::timeout, this, [this] {
        const bool newer = !m_available.isEmpty()
            && QVersionNumber::fromString(m_available) > QVersionNumber::fromString(m_current);
        m_pending = newer ? m_available : QString();
        qInfo().noquote().nospace()
            << Tag << "Check done : "
            << (newer ? QStringLiteral("version ") + m_pending + QStringLiteral(" pending")
                      : QStringLiteral("no pending updates"));
        publishVersions();
    });
    m_progress.setInterval(500);
    connect(&m_progress, &QTimer::timeout, this, &UpdateService::nextStep);

    addState(QStringLiteral("/status"), [this] {
        return QJsonObject {
            {QStringLiteral("update"), QJsonObject {{QStringLiteral("software"), software()}}}};
    });
    addState(QStringLiteral("/update/software/status"), [this] { return software(); });
    addCommand(topic(QStringLiteral("/software/check")), [this](const QJsonObject&) { check(); });
    addCommand(topic(QStringLiteral("/update/software/install")),
               [this](const QJsonObject&) { install(); });
}

QJsonObject UpdateService::software() const
{
    return {{QStringLiteral("current"), m_current}, {QStringLiteral("pending"), m_pending}};
}

void UpdateService::setAvailable(const QString& version)
{
    if (m_available == version)
        return;
    m_available = version;
    qInfo().noquote().nospace() << Tag << "Update server offers "
                                << (version.isEmpty() ? QStringLiteral("nothing") : version);
    Q_EMIT versionsChanged();
}

void UpdateService::publishVersions()
{
    publishState(QStringLiteral("/update/software/status"));
    publishState(QStringLiteral("/status"));
    Q_EMIT versionsChanged();
}

void UpdateService::check()
{
    if (isInstalling()) {
        qWarning().noquote().nospace() << Tag << "WARN: Check ignored: an installation is running";
        return;
    }
    qInfo().noquote().nospace() << Tag << "Checking for updates";
    m_check.start();
}

void UpdateService::install()
{
    if (isInstalling()) {
        qWarning().noquote().nospace() << Tag << "WARN: Installation already running";
        return;
    }
    if (m_pending.isEmpty()) {
        qWarning().noquote().nospace() << Tag << "WARN: Nothing to install";
        publishVersions();
        return;
    }
    qInfo().noquote().nospace() << Tag << "Installing version " << m_pending;
    m_steps.clear();
    for (int part = 1; part <= DownloadParts; ++part)
        m_steps.append(
            {QStringLiteral("Downloading part %1/%2").arg(part).arg(DownloadParts), part * 15});
    m_steps.append({QStringLiteral("Verifying package"), 65});
    m_steps.append({QStringLiteral("Installing package"), 80});
    m_steps.append({QStringLiteral("Finishing installation"), 100});
    m_step = 0;
    nextStep();
    m_progress.start();
}

void UpdateService::nextStep()
{
    // An updater that is offline makes no progress; it goes on when it is back.
    if (m_step < 0 || !isOnline())
        return;
    if (m_step >= m_steps.size()) {
        m_progress.stop();
        m_step = -1;
        m_current = m_pending;
        m_pending.clear();
        qInfo().noquote().nospace() << Tag << "Version " << m_current << " installed";
        publishVersions();
        return;
    }
    const Step step = m_steps.at(m_step++);
    qInfo().noquote().nospace() << Tag << step.message << " (" << step.percent << "%)";
    publishEvent(topic(QStringLiteral("/update/software/progress")),
                 {{QStringLiteral("message"), step.message},
                  {QStringLiteral("progress"), step.percent},
                  {QStringLiteral("version"), m_pending}});
    Q_EMIT progressed(step.message, step.percent);
}
