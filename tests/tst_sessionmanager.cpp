// The maintenance session: PIN checks against the configured PIN, the session's
// length, keep-alive and expiry, and the events that record it.

#include "Config.h"
#include "EventLogin.h"
#include "EventLogout.h"
#include "MessageCapture.h"
#include "SessionManager.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestSessionManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void login_data();
    void login();
    void sessionOutlivesPinChange();
    void expiresUnlessKeptAlive();
    void sessionEvents();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Config> m_config;
};

void TestSessionManager::init()
{
    QFile::remove(m_dir.filePath("gui.conf"));
    m_config = std::make_unique<Config>(m_dir.filePath("gui.conf"),
                                        QVariantMap {{"gui/settingsPin", "4826"}});
}

void TestSessionManager::login_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("entered");
    QTest::addColumn<bool>("granted");
    QTest::newRow("right") << "4826"
                           << "4826" << true;
    QTest::newRow("wrong") << "4826"
                           << "4827" << false;
    QTest::newRow("blank around") << "4826"
                                  << " 4826 " << false;
    QTest::newRow("longer") << "4826"
                            << "48260" << false;
    QTest::newRow("empty") << "4826"
                           << "" << false;
    QTest::newRow("empty configured") << ""
                                      << "" << true;
}

void TestSessionManager::login()
{
    QFETCH(QString, configured);
    QFETCH(QString, entered);
    QFETCH(bool, granted);
    m_config->set("gui/settingsPin", configured);
    SessionManager session(*m_config);
    QSignalSpy active(&session, &SessionManager::sessionActiveChanged);
    QSignalSpy accepted(&session, &SessionManager::accessGranted);
    QSignalSpy denied(&session, &SessionManager::accessDenied);
    MessageCapture log;
    session.loginRequest(entered);
    QCOMPARE(session.sessionActive(), granted);
    QCOMPARE(QList<int>({active.count(), accepted.count(), denied.count()}),
             QList<int>({granted, granted, !granted}));
    QCOMPARE(log.contains("[SessionManager] WARN: User entered wrong pin"), !granted);
    QVERIFY(entered.isEmpty() || !log.messages().join('\n').contains(entered.trimmed()));
    QCOMPARE(session.remainingTime() > 0, granted);
}

void TestSessionManager::sessionOutlivesPinChange()
{
    SessionManager session(*m_config);
    session.loginRequest("4826");
    QSignalSpy active(&session, &SessionManager::sessionActiveChanged);
    m_config->set("gui/settingsPin", "1111");
    QVERIFY(session.sessionActive());
    QCOMPARE(session.user().name, QStringLiteral("OVANT"));
    session.loginRequest("4826"); // the old PIN no longer opens, but the session stays
    QVERIFY(session.sessionActive());
    session.loginRequest("1111");
    QCOMPARE(session.user().surname, QStringLiteral("Admin"));
    session.logoutRequest();
    session.logoutRequest();
    QCOMPARE(active.count(), 2); // the new login, then one logout
    QVERIFY(!session.sessionActive());
}

void TestSessionManager::expiresUnlessKeptAlive()
{
    SessionManager session(*m_config);
    QCOMPARE(session.sessionLength(), 10 * 60 * 1000);
    session.resetTimer(); // no session: nothing to keep alive
    QCOMPARE(session.remainingTime(), -1);
    session.loginRequest("4826");
    QVERIFY(session.remainingTime() > 9 * 60 * 1000);

    // A short session stands in for the ten minutes.
    session.setSessionLength(300);
    session.resetTimer();
    QVERIFY(session.remainingTime() < 1000);
    MessageCapture log;
    QSignalSpy active(&session, &SessionManager::sessionActiveChanged);
    QTRY_VERIFY_WITH_TIMEOUT(!session.sessionActive(), 10000);
    QCOMPARE(active.count(), 1);
    QCOMPARE(log.messages(QtWarningMsg), QStringList {"[SessionManager] Session expired"});
    QCOMPARE(session.remainingTime(), -1);
}

void TestSessionManager::sessionEvents()
{
    const User user {7, "Maria", "Pappa", "0000"};
    const EventLogin login(&user);
    const EventLogout logout;
    QCOMPARE(QStringList({login.category(), login.name(), logout.category(), logout.name()}),
             QStringList({"General", "Maintenance login", "General", "Maintenance logout"}));
    QCOMPARE(login.description(),
             "User ID : 7\nFirst name : Maria\nLast name : Pappa\nDate : "
                 + login.timestamp().toString());
    QCOMPARE(logout.description(), "Date : " + logout.timestamp().toString());
    QVERIFY(qAbs(login.timestamp().secsTo(QDateTime::currentDateTime())) < 3600);
}

QTEST_GUILESS_MAIN(TestSessionManager)
#include "tst_sessionmanager.moc"
