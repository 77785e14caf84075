#pragma once

#include "User.h"

#include <QObject>
#include <QTimer>
#include <QVector>

class Config;

// Whether a technician is logged in to the maintenance area. A PIN that matches a
// known user opens a session that ends after ten minutes without a keep-alive, or
// on logout.
class SessionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool sessionActive READ sessionActive NOTIFY sessionActiveChanged)

public:
    static constexpr int SessionMsec = 600000;

    explicit SessionManager(Config& config, QObject* parent = nullptr);

    bool sessionActive() const { return m_activeUser >= 0; }
    // The logged-in user; an empty user when there is no session.
    User user() const;
    // Milliseconds left in the session; -1 when the timer does not run.
    int remainingTime() const { return m_timer.remainingTime(); }

    // Length of a session, taken by the next login or keep-alive.
    int sessionLength() const { return m_sessionMsec; }
    void setSessionLength(int msec) { m_sessionMsec = msec; }

Q_SIGNALS:
    void sessionActiveChanged();
    void accessGranted();
    void accessDenied();
    // Declared for listeners; expiry is reported through sessionActiveChanged().
    void expired();

public Q_SLOTS:
    void loginRequest(const QString& pin);
    void logoutRequest();
    void resetTimer();

private:
    void onExpired();
    void loadUsers();

    Config* m_config;
    QTimer m_timer;
    int m_sessionMsec = SessionMsec;
    // Position of the logged-in user in m_users, -1 without a session: it stays
    // valid when the list is rebuilt.
    int m_activeUser = -1;
    QVector<User> m_users;
};
