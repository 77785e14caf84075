// The event log on real files in scratch directories, and the maintenance session
// whose logins and logouts it records.

#include "Config.h"
#include "EventLogin.h"
#include "EventLogout.h"
#include "EventManager.h"
#include "MessageCapture.h"
#include "SessionManager.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestEventManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_config = std::make_unique<Config>(m_dir->filePath("gui.conf"),
                                            QVariantMap {{"gui/settingsPin", "4826"}});
    }
    void loadsNewestAndDropsOld_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QVariant>("size");
        QTest::addColumn<int>("kept");
        // Entries below 700 are 40 days old; only the newest 1000 are read.
        QTest::newRow("1500 entries") << 1500 << QVariant(1500) << 800;
        QTest::newRow("size of a billion") << 710 << QVariant(1000000000) << 10;
        QTest::newRow("size too small") << 1500 << QVariant(800) << 800;
    }
    void loadsNewestAndDropsOld()
    {
        QFETCH(int, count);
        QFETCH(int, kept);
        QFETCH(QVariant, size);
        writeFile(count, size);
        QCOMPARE(open()->count(), kept);
        QCOMPARE(m_manager->events().first()->name(), QStringLiteral("e%1").arg(count - kept));
        QCOMPARE(names().first(), QStringLiteral("e%1").arg(count - 1));
        QCOMPARE(open()->count(), kept); // retention wrote back what is left
    }
    void pushClearAndReload()
    {
        writeFile(1700, 1700); // 1000 recent ones
        EventManager* manager = open();
        QCOMPARE(manager->count(), 1000);
        manager->push(event("older", -1500)); // sorted in below the others
        QCOMPARE(manager->count(), 1001);
        QCOMPARE(names().last(), QStringLiteral("older"));
        QPointer<Event> oldest = manager->events().first();
        manager->push(event("newest", 0));
        QCOMPARE(manager->count(), 1001);
        QCOMPARE(names().first(), QStringLiteral("newest"));
        QCOMPARE(manager->events().first()->name(), QStringLiteral("e701"));
        QTRY_VERIFY(oldest.isNull());

        manager = open();
        QCOMPARE(manager->count(), 1000);
        const Event* last = manager->events().last();
        QCOMPARE(QStringList({last->category(), last->name(), last->description()}),
                 QStringList({"General", "newest", "a\nb = \"c\""}));
        QCOMPARE(last->timestamp(), m_now);
        manager->clear(m_now.addSecs(-998)); // e702 is stamped exactly then
        QCOMPARE(manager->events().first()->name(), QStringLiteral("e703"));
        QCOMPARE(open()->count(), 998);
        m_manager->clear();
        QCOMPARE(open()->count(), 0);
    }
    void filters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<QString>("period");
        QTest::addColumn<QStringList>("visible");
        const QDateTime none;
        QTest::newRow("name in capitals")
            << "IGNITION" << none << none << "" << QStringList {"Ignition on", "iGnItIoN off"};
        QTest::newRow("from alone")
            << "" << m_now.addSecs(-7200) << none << "" << QStringList {"Ignition on"};
        QTest::newRow("from and to") << "" << m_now.addDays(-3) << m_now.addSecs(-7200) << ""
                                     << QStringList {"iGnItIoN off"};
        QTest::newRow("all history keeps the name")
            << "off" << m_now << m_now << "All history" << QStringList {"iGnItIoN off"};
    }
    void filters()
    {
        EventManager* manager = open();
        manager->push(event("iGnItIoN off", -3 * 3600));
        manager->push(event("Application started", -5 * 86400));
        manager->push(event("Ignition on", -60));
        QFETCH(QString, name);
        manager->applyFilter(name);
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(QString, period);
        manager->applyFilter(from, to);
        if (!period.isEmpty())
            manager->applyFilterPeriod(period);
        manager->applyFilter(3); // severity plays no part
        QTEST(names(), "visible");
    }
    void periods_data()
    {
        QTest::addColumn<QString>("bounds");
        // At 2024-03-31 14:30:15.
        for (const auto& row : std::initializer_list<std::pair<const char*, const char*>> {
                 {"Last hour", "03-31 13:30:15.000 03-31 14:30:15.000"},
                 {"Last 5 hours", "03-31 09:30:15.000 03-31 14:30:15.000"},
                 {"Today", "03-31 00:00:00.000 03-31 23:59:59.999"},
                 {"Yesterday", "03-30 00:00:00.000 03-30 23:59:59.999"},
                 {"Last week", "03-24 00:00:00.000 03-31 14:30:15.000"},
                 {"Last month", "02-29 00:00:00.000 03-31 14:30:15.000"},
                 {"All history", " "}})
            QTest::newRow(row.first) << QString(row.second);
    }
    void periods()
    {
        const auto bounds = EventManager::periodBounds(
            QTest::currentDataTag(), QDateTime(QDate(2024, 3, 31), QTime(14, 30, 15)));
        const QString format = "MM-dd hh:mm:ss.zzz";
        QTEST(bounds.first.toString(format) + ' ' + bounds.second.toString(format), "bounds");
    }
    void unusableFiles_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("persists");
        QTest::newRow("garbage") << "garbage" << true;
        QTest::newRow("a directory") << "directory" << true;
        QTest::newRow("directory below a file") << "below a file" << false;
    }
    void unusableFiles()
    {
        QFETCH(QString, setup);
        QString dir = m_dir->path();
        QFile file(m_dir->filePath("events.ini"));
        if (setup == "directory") {
            QVERIFY(QDir(dir).mkdir("events.ini"));
        } else {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("\x01\xff[events\nsize=\n=\n\\\\\n[[]]\n1\\name\n");
            file.close();
            if (setup == "below a file")
                dir = file.fileName();
        }
        MessageCapture log;
        open(dir)->push(event("kept", 0));
        QCOMPARE(names(), QStringList {"kept"}); // in memory in any case
        QFETCH(bool, persists);
        QVERIFY(setup == "garbage" || !log.messages(QtWarningMsg).isEmpty());
        QCOMPARE(open(dir)->count(), persists ? 1 : 0);
    }
    void session()
    {
        SessionManager session(*m_config);
        QSignalSpy active(&session, &SessionManager::sessionActiveChanged);
        QSignalSpy denied(&session, &SessionManager::accessDenied);
        MessageCapture log;
        for (const char* wrong : {"4827", " 4826 ", "", "48260"})
            session.loginRequest(wrong);
        QCOMPARE(denied.count(), 4);
        QVERIFY(!session.sessionActive() && !log.messages().join('\n').contains("482"));
        session.loginRequest("4826");
        QVERIFY(session.remainingTime() > 9 * 60 * 1000);
        m_config->set("gui/settingsPin", "1111");
        session.loginRequest("4826"); // the old PIN no longer opens, but the session stays
        QVERIFY(session.sessionActive());
        session.logoutRequest();
        session.loginRequest("1111");
        QCOMPARE(active.count(), 3);

        // A short session stands in for the ten minutes; a keep-alive takes the new length.
        session.setSessionLength(300);
        session.resetTimer();
        QVERIFY(session.remainingTime() < 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!session.sessionActive(), 10000);
        QCOMPARE(active.count(), 4);
        QCOMPARE(session.remainingTime(), -1);

        const User user {7, "Maria", "Pappa", "0000"};
        const EventLogin login(&user);
        QCOMPARE(login.name() + ", " + EventLogout().name(),
                 QStringLiteral("Maintenance login, Maintenance logout"));
        QCOMPARE(login.description(),
                 "User ID : 7\nFirst name : Maria\nLast name : Pappa\nDate : "
                     + login.timestamp().toString());
    }

private:
    // `count` entries "e<i>", one second apart up to now; those below 700 are 40 days old.
    void writeFile(int count, const QVariant& size)
    {
        QSettings file(m_dir->filePath("events.ini"), QSettings::IniFormat);
        file.beginWriteArray("events", count);
        for (int i = 0; i < count; ++i) {
            file.setArrayIndex(i);
            file.setValue("name", QStringLiteral("e%1").arg(i));
            file.setValue("timestamp", i < 700 ? m_now.addDays(-40) : m_now.addSecs(i - count));
        }
        file.endArray();
        file.setValue("events/size", size);
    }
    EventManager* open(const QString& dir = QString())
    {
        m_manager.reset(); // one at a time on a file
        m_manager = std::make_unique<EventManager>(*m_config, dir.isEmpty() ? m_dir->path() : dir);
        return m_manager.get();
    }
    Event* event(const QString& name, qint64 secs) const
    {
        return new Event("General", name, "a\nb = \"c\"", m_now.addSecs(secs));
    }
    QStringList names() const
    {
        QStringList result;
        for (QObject* event : m_manager->data().value<QList<QObject*>>())
            result.append(event->property("name").toString());
        return result;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<EventManager> m_manager;
    const QDateTime m_now = QDateTime::currentDateTime();
};

QTEST_GUILESS_MAIN(TestEventManager)
#include "tst_eventmanager.moc"
