// The event log on real files in scratch directories: loading, bounds, retention,
// filters, the period table, and files it cannot use.

#include "Config.h"
#include "Event.h"
#include "EventManager.h"
#include "MessageCapture.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <unistd.h>

class TestEventManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void loadsNewestAndDropsOld_data();
    void loadsNewestAndDropsOld();
    void keepsEverythingAcrossRestart();
    void pushBeyondTheBound();
    void clearBefore();
    void filters_data();
    void filters();
    void periods_data();
    void periods();
    void unusableFiles_data();
    void unusableFiles();

private:
    // Writes `count` entries named "e<i>" as QSettings does, under a declared size.
    void writeFile(int count, const QVariant& size, const std::function<QDateTime(int)>& time);
    Event* event(const QString& name, const QDateTime& time) const
    {
        return new Event("General", name, "line 1\nline 2", time);
    }
    static QStringList names(const EventManager& manager);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    const QDateTime m_now = QDateTime::currentDateTime();
};

void TestEventManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_config = std::make_unique<Config>(m_dir->filePath("gui.conf"), QVariantMap());
}

void TestEventManager::writeFile(int count, const QVariant& size,
                                 const std::function<QDateTime(int)>& time)
{
    QSettings file(m_dir->filePath("events.ini"), QSettings::IniFormat);
    file.beginWriteArray("events", count);
    for (int i = 0; i < count; ++i) {
        file.setArrayIndex(i);
        file.setValue("category", "General");
        file.setValue("name", QStringLiteral("e%1").arg(i));
        file.setValue("timestamp", time(i));
    }
    file.endArray();
    file.setValue("events/size", size);
}

QStringList TestEventManager::names(const EventManager& manager)
{
    QStringList result;
    for (QObject* event : manager.data().value<QList<QObject*>>())
        result.append(event->property("name").toString());
    return result;
}

void TestEventManager::loadsNewestAndDropsOld_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("size");
    QTest::addColumn<int>("kept");
    QTest::addColumn<QString>("logged");
    // Entries below 700 are 40 days old; only the newest 1000 are read.
    QTest::newRow("1500 entries") << 1500 << QVariant(1500) << 800 << "from=500 to=1500";
    QTest::newRow("size of a billion") << 710 << QVariant(1000000000) << 10 << "but holds 710";
    QTest::newRow("size is text") << 705 << QVariant("many") << 5 << "but holds 705";
    QTest::newRow("size too small") << 1500 << QVariant(800) << 800 << "but holds 1500";
}

void TestEventManager::loadsNewestAndDropsOld()
{
    QFETCH(int, count);
    QFETCH(QVariant, size);
    QFETCH(int, kept);
    QFETCH(QString, logged);
    writeFile(count, size,
              [this](int i) { return i < 700 ? m_now.addDays(-40) : m_now.addSecs(i - 1500); });
    MessageCapture log;
    EventManager manager(*m_config, m_dir->path());
    QCOMPARE(manager.count(), kept);
    QVERIFY2(log.contains(logged), qPrintable(log.messages().join('\n')));
    QCOMPARE(manager.events().first()->name(), QStringLiteral("e%1").arg(count - kept));
    QCOMPARE(names(manager).first(), QStringLiteral("e%1").arg(count - 1));
    // Retention wrote back what is left.
    QCOMPARE(QSettings(manager.filename(), QSettings::IniFormat).value("events/size").toInt(),
             kept);
}

void TestEventManager::keepsEverythingAcrossRestart()
{
    const QDateTime time = m_now.addMSecs(-1234);
    {
        EventManager manager(*m_config, m_dir->path());
        manager.push(new Event("Board", "Ignition on", "a\nb = \"c\"", time));
    }
    EventManager manager(*m_config, m_dir->path());
    QCOMPARE(manager.count(), 1);
    const Event* event = manager.events().first();
    QCOMPARE(QStringList({event->category(), event->name(), event->description()}),
             QStringList({"Board", "Ignition on", "a\nb = \"c\""}));
    QCOMPARE(event->timestamp(), time);
}

void TestEventManager::pushBeyondTheBound()
{
    writeFile(1000, 1000, [this](int i) { return m_now.addSecs(i - 1000); });
    EventManager manager(*m_config, m_dir->path());
    QSignalSpy changed(&manager, &EventManager::dataChanged);
    manager.push(event("new 1", m_now.addSecs(-1500))); // sorted in below the others
    QCOMPARE(manager.count(), 1001);
    QCOMPARE(manager.events().first()->name(), QStringLiteral("e0"));
    QCOMPARE(names(manager).last(), QStringLiteral("new 1"));
    QPointer<Event> oldest = manager.events().first();
    manager.push(event("new 2", m_now));
    QCOMPARE(manager.count(), 1001);
    QCOMPARE(manager.events().first()->name(), QStringLiteral("e1"));
    QCOMPARE(names(manager).first(), QStringLiteral("new 2"));
    QVERIFY(!names(manager).contains("e0"));
    QCOMPARE(changed.count(), 2);
    QTRY_VERIFY(oldest.isNull());
    QCOMPARE(EventManager(*m_config, m_dir->path()).count(), 1000);
}

void TestEventManager::clearBefore()
{
    EventManager manager(*m_config, m_dir->path());
    for (int offset : {-1, 0, 1})
        manager.push(event(QString::number(offset), m_now.addSecs(offset)));
    manager.clear(m_now);
    QCOMPARE(names(manager), QStringList {"1"});
    manager.clear();
    QCOMPARE(manager.count(), 0);
    QCOMPARE(EventManager(*m_config, m_dir->path()).count(), 0);
}

void TestEventManager::filters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<QString>("period");
    QTest::addColumn<QStringList>("visible");
    const QDateTime none;
    const QStringList all {"Ignition on", "iGnItIoN off", "Application started"};
    QTest::newRow("none") << "" << none << none << "" << all;
    QTest::newRow("name in capitals")
        << "IGNITION" << none << none << "" << QStringList(all.mid(0, 2));
    QTest::newRow("from alone") << "" << m_now.addSecs(-7200) << none << ""
                                << QStringList(all.mid(0, 1));
    QTest::newRow("from and to") << "" << m_now.addDays(-3) << m_now.addSecs(-7200) << ""
                                 << QStringList(all.mid(1, 1));
    QTest::newRow("all history keeps the name")
        << "off" << m_now << m_now << "All history" << QStringList(all.mid(1, 1));
    QTest::newRow("last 5 hours") << "" << none << none << "Last 5 hours"
                                  << QStringList(all.mid(0, 2));
}

void TestEventManager::filters()
{
    QFETCH(QString, name);
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(QString, period);
    EventManager manager(*m_config, m_dir->path());
    manager.push(event("iGnItIoN off", m_now.addSecs(-3 * 3600)));
    manager.push(event("Application started", m_now.addDays(-5)));
    manager.push(event("Ignition on", m_now.addSecs(-60)));
    manager.applyFilter(name);
    manager.applyFilter(from, to);
    if (!period.isEmpty())
        manager.applyFilterPeriod(period);
    manager.applyFilter(3); // severity plays no part
    QTEST(names(manager), "visible");
}

void TestEventManager::periods_data()
{
    QTest::addColumn<QString>("period");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    // At 2024-03-31 14:30:15.
    QTest::newRow("hour") << "Last hour"
                          << "03-31 13:30:15.000"
                          << "03-31 14:30:15.000";
    QTest::newRow("2 hours") << "Last 2 hours"
                             << "03-31 12:30:15.000"
                             << "03-31 14:30:15.000";
    QTest::newRow("5 hours") << "Last 5 hours"
                             << "03-31 09:30:15.000"
                             << "03-31 14:30:15.000";
    QTest::newRow("today") << "Today"
                           << "03-31 00:00:00.000"
                           << "03-31 23:59:59.999";
    QTest::newRow("yesterday") << "Yesterday"
                               << "03-30 00:00:00.000"
                               << "03-30 23:59:59.999";
    QTest::newRow("week") << "Last week"
                          << "03-24 00:00:00.000"
                          << "03-31 14:30:15.000";
    QTest::newRow("month, shorter") << "Last month"
                                    << "02-29 00:00:00.000"
                                    << "03-31 14:30:15.000";
    QTest::newRow("all") << "All history"
                         << ""
                         << "";
    QTest::newRow("case matters") << "last hour"
                                  << ""
                                  << "";
}

void TestEventManager::periods()
{
    QFETCH(QString, period);
    const auto bounds
        = EventManager::periodBounds(period, QDateTime(QDate(2024, 3, 31), QTime(14, 30, 15)));
    const QString format = "MM-dd hh:mm:ss.zzz";
    QTEST(bounds.first.toString(format), "from");
    QTEST(bounds.second.toString(format), "to");
}

void TestEventManager::unusableFiles_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("persists");
    QTest::newRow("garbage") << "garbage"
                             << "" << true;
    QTest::newRow("a directory") << "directory"
                                 << "kept as" << true;
    QTest::newRow("directory below a file") << "below a file"
                                            << "Cannot write" << false;
    QTest::newRow("read-only directory") << "read-only"
                                         << "Cannot write" << false;
}

void TestEventManager::unusableFiles()
{
    QFETCH(QString, setup);
    QString dir = m_dir->path();
    QFile file(m_dir->filePath("events.ini"));
    if (setup == "garbage") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\x01\xff[events\nsize=\n=\n\\\\\n[[]]\n1\\name\n");
        file.close();
    } else if (setup == "directory") {
        QVERIFY(QDir(dir).mkdir("events.ini"));
    } else if (setup == "below a file") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        dir = file.fileName();
    } else if (::geteuid() == 0) {
        QSKIP("root writes to read-only directories; 'directory below a file' covers the case");
    } else {
        QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    }

    MessageCapture log;
    EventManager manager(*m_config, dir);
    manager.push(event("kept", m_now));
    QCOMPARE(names(manager), QStringList {"kept"});
    QFETCH(QString, warning);
    QVERIFY2(log.messages(QtWarningMsg).join('\n').contains(warning), qPrintable(warning));
    QFETCH(bool, persists);
    QCOMPARE(EventManager(*m_config, dir).count(), persists ? 1 : 0);
    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QTEST_GUILESS_MAIN(TestEventManager)
#include "tst_eventmanager.moc"
