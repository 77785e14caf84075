#include "SessionManager.h"

#include "Config.h"

#include <QDeadlineTimer>
#include <QDebug>

#include <algorithm>

namespace {
const char* const Tag = "[SessionManager] ";
// Often enough for a count-down in seconds.
constexpr int LockoutTickMsec = 500;
} // namespace

SessionManager::SessionManager(Config& config, QObject* parent)
    : QObject(parent)
    , m_config(&config)
    , m_now([] { return QDeadlineTimer::current().deadline(); })
{
    m_lockoutTicker.setInterval(LockoutTickMsec);
    connect(&m_lockoutTicker, &QTimer::timeout, this, &SessionManager::onLockoutTick);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SessionManager::onExpired);
    connect(m_config, &Config::configChanged, this, &SessionManager::loadUsers);
    loadUsers();
}

User SessionManager::user() const
{
    return sessionActive() ? m_users.value(m_activeUser) : User();
}

void SessionManager::loginRequest(const QString& pin)
{
    qInfo().noquote().nospace() << Tag << "Login requested with PIN";
    // The digits stay out of the log, which ends up in syslog.
    qDebug().noquote().nospace() << Tag << "Entered PIN    : " << QString(pin.size(), '*');

    // While locked the PIN is not even compared: the answer would tell it.
    if (const int locked = lockoutRemainingSec()) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Login refused, too many wrong PINs : retry in " << locked << " sec(s)";
        Q_EMIT accessDenied();
        return;
    }

    int found = -1;
    for (int i = 0; i < m_users.size() && found < 0; ++i) {
        if (m_users.at(i).pin == pin)
            found = i;
    }
    if (found < 0) {
        qWarning().noquote().nospace() << Tag << "WARN: User entered wrong pin";
        onWrongPin();
        Q_EMIT accessDenied();
        return;
    }

    m_wrongPins = 0;

    m_timer.start(m_sessionMsec);
    m_activeUser = found;
    const User& user = m_users.at(found);
    qInfo().noquote().nospace() << Tag << "User logged-in : " << user.name << ", " << user.surname;
    Q_EMIT accessGranted();
    Q_EMIT sessionActiveChanged();
}

void SessionManager::logoutRequest()
{
    if (!sessionActive())
        return;
    const User& user = m_users.at(m_activeUser);
    qInfo().noquote().nospace() << Tag << "User logged-out : " << user.name << ", " << user.surname;
    m_timer.stop();
    m_activeUser = -1;
    Q_EMIT sessionActiveChanged();
}

void SessionManager::resetTimer()
{
    // Without a session there is nothing to keep alive (and nothing to expire).
    if (sessionActive())
        m_timer.start(m_sessionMsec);
}

void SessionManager::onExpired()
{
    qWarning().noquote().nospace() << Tag << "Session expired";
    logoutRequest();
}

bool SessionManager::isTypeablePin(const QString& pin)
{
    if (pin.isEmpty() || pin.size() > MaxPinDigits)
        return false;
    return std::all_of(pin.cbegin(), pin.cend(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

void SessionManager::loadUsers()
{
    const QString pin = m_config->get(QStringLiteral("gui/settingsPin")).toString();
    if (pin != m_loadedPin && !isTypeablePin(pin)) {
        qCritical().noquote().nospace()
            << Tag << "ERROR: The maintenance PIN (gui/settingsPin) cannot be typed on the keypad "
            << "(1 to " << MaxPinDigits << " digits) : nobody can log in";
    }
    m_loadedPin = pin;
    m_users.clear();
    m_users.append({0, QStringLiteral("OVANT"), QStringLiteral("Admin"), pin});
    // Every rebuild has the same users in the same places, so an active session
    // keeps its user.
    if (m_activeUser >= m_users.size()) {
        m_timer.stop();
        m_activeUser = -1;
        Q_EMIT sessionActiveChanged();
    }
}

int SessionManager::lockoutRemainingSec() const
{
    const qint64 left = m_lockedUntil - m_now();
    return left > 0 ? int((left + 999) / 1000) : 0;
}

void SessionManager::onWrongPin()
{
    ++m_wrongPins;
    if (m_wrongPins < FreeAttempts)
        return;
    // 30 s for the fifth, doubled for each one after it; the shift stays small.
    const int doublings = std::min(m_wrongPins - FreeAttempts, 10);
    const int sec = std::min(FirstLockoutSec << doublings, MaxLockoutSec);
    qWarning().noquote().nospace()
        << Tag << "WARN: " << m_wrongPins << " wrong PINs in a row : logins refused for " << sec
        << " sec(s)";
    m_lockedUntil = m_now() + qint64(sec) * 1000;
    m_lockoutTicker.start();
    onLockoutTick();
}

void SessionManager::onLockoutTick()
{
    const int sec = lockoutRemainingSec();
    if (sec == 0)
        m_lockoutTicker.stop();
    if (sec != m_reportedLockoutSec) {
        m_reportedLockoutSec = sec;
        Q_EMIT lockoutChanged();
    }
}
