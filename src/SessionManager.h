#pragma once

#include "User.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>

class Config;

// Whether a technician is logged in to the maintenance area. A PIN that matches a
// known user opens a session that ends after ten minutes without a keep-alive, or
// on logout.
//
// The terminal stands in public and the PIN has four digits: after a run of wrong
// PINs, logins are refused for a while, longer with every further wrong PIN.
class SessionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool sessionActive READ sessionActive NOTIFY sessionActiveChanged)
    Q_PROPERTY(int lockoutRemainingSec READ lockoutRemainingSec NOTIFY lockoutChanged)

public:
    static constexpr int SessionMsec = 600000;
    // Wrong PINs in a row that lock logins out, the first lock-out (doubled by every
    // further wrong PIN) and the longest one.
    static constexpr int FreeAttempts = 5;
    static constexpr int FirstLockoutSec = 30;
    static constexpr int MaxLockoutSec = 15 * 60;
    // The most digits the login page's keypad takes.
    static constexpr int MaxPinDigits = 8;
    // Milliseconds of a monotonic clock.
    using Clock = std::function<qint64()>;

    // Whether the login page can type the PIN: 1 to MaxPinDigits digits. Any other PIN
    // would lock every technician out.
    static bool isTypeablePin(const QString& pin);

    explicit SessionManager(Config& config, QObject* parent = nullptr);

    bool sessionActive() const { return m_activeUser >= 0; }
    // The logged-in user; an empty user when there is no session.
    User user() const;
    // Milliseconds left in the session; -1 when the timer does not run.
    int remainingTime() const { return m_timer.remainingTime(); }

    // Length of a session, taken by the next login or keep-alive.
    int sessionLength() const { return m_sessionMsec; }
    void setSessionLength(int msec) { m_sessionMsec = msec; }

    // Seconds until logins are accepted again; 0 when they are.
    int lockoutRemainingSec() const;
    // The clock the lock-out is measured with (a steady system clock by default).
    void setClock(Clock now) { m_now = std::move(now); }

Q_SIGNALS:
    void sessionActiveChanged();
    void accessGranted();
    void accessDenied();
    // Declared for listeners; expiry is reported through sessionActiveChanged().
    void expired();
    // lockoutRemainingSec() changed: at least every second while locked.
    void lockoutChanged();

public Q_SLOTS:
    void loginRequest(const QString& pin);
    void logoutRequest();
    void resetTimer();

private:
    void onExpired();
    void loadUsers();
    void onWrongPin();
    void onLockoutTick();

    Config* m_config;
    QTimer m_timer;
    int m_sessionMsec = SessionMsec;
    // Position of the logged-in user in m_users, -1 without a session: it stays
    // valid when the list is rebuilt.
    int m_activeUser = -1;
    QVector<User> m_users;
    // The PIN the users were last built with: a new one that cannot be typed is reported.
    QString m_loadedPin;
    Clock m_now;
    // Wrong PINs since the last right one, and when the lock-out they caused ends.
    int m_wrongPins = 0;
    qint64 m_lockedUntil = 0;
    QTimer m_lockoutTicker;
    int m_reportedLockoutSec = 0;
};
