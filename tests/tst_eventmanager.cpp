// The event log on real files in scratch directories.

#include "Config.h"
#include "Event.h"
#include "EventManager.h"
#include "MessageCapture.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

class TestEventManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void loadsNewestAndDropsOld_data();
    void loadsNewestAndDropsOld();
    void pushClearAndReload();
    void filters_data();
    void filters();
    void periods_data();
    void periods();
    void unusableFiles_data();
    void unusableFiles();

private:
    // `count` entries named "e<i>", one second apart up to now; those below
    // `oldBelow` are 40 days old.
    void writeFile(int count, const QVariant& size, int oldBelow);
    EventManager* open(const QString& dir = QString());
    Event* event(const QString& name, qint64 secs) const
    {
        return new Event("General", name, "a\nb = \"c\"", m_now.addSecs(secs));
    }
    static QStringList names(const EventManager& manager);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<EventManager> m_manager;
    const QDateTime m_now = QDateTime::currentDateTime();
};

void TestEventManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_config = std::make_unique<Config>(m_dir->filePath("gui.conf"), QVariantMap());
}

void TestEventManager::writeFile(int count, const QVariant& size, int oldBelow)
{
    QSettings file(m_dir->filePath("events.ini"), QSettings::IniFormat);
    file.beginWriteArray("events", count);
    for (int i = 0; i < count; ++i) {
        file.setArrayIndex(i);
        file.setValue("name", QStringLiteral("e%1").arg(i));
        file.setValue("timestamp", i < oldBelow ? m_now.addDays(-40) : m_now.addSecs(i - count));
    }
    file.endArray();
    file.setValue("events/size", size);
}

EventManager* TestEventManager::open(const QString& dir)
{
    m_manager.reset(); // one at a time on a file
    m_manager = std::make_unique<EventManager>(*m_config, dir.isEmpty() ? m_dir->path() : dir);
    return m_manager.get();
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
    QFETCH(int, kept);
    QFETCH(QString, logged);
    QFETCH(QVariant, size);
    writeFile(count, size, 700);
    MessageCapture log;
    EventManager* manager = open();
    QCOMPARE(manager->count(), kept);
    QVERIFY2(log.contains(logged), qPrintable(log.messages().join('\n')));
    QCOMPARE(manager->events().first()->name(), QStringLiteral("e%1").arg(count - kept));
    QCOMPARE(names(*manager).first(), QStringLiteral("e%1").arg(count - 1));
    QCOMPARE(open()->count(), kept); // retention wrote back what is left
}

void TestEventManager::pushClearAndReload()
{
    writeFile(1000, 1000, 0);
    EventManager* manager = open();
    manager->push(event("older", -1500)); // sorted in below the others
    QCOMPARE(manager->count(), 1001);
    QCOMPARE(names(*manager).last(), QStringLiteral("older"));
    QPointer<Event> oldest = manager->events().first();
    manager->push(event("newest", 0));
    QCOMPARE(manager->count(), 1001);
    QCOMPARE(names(*manager).first(), QStringLiteral("newest"));
    QCOMPARE(manager->events().first()->name(), QStringLiteral("e1"));
    QTRY_VERIFY(oldest.isNull());

    manager = open();
    QCOMPARE(manager->count(), 1000);
    const Event* last = manager->events().last();
    QCOMPARE(QStringList({last->category(), last->name(), last->description()}),
             QStringList({"General", "newest", "a\nb = \"c\""}));
    QCOMPARE(last->timestamp(), m_now);
    manager->clear(m_now.addSecs(-998)); // e2 is stamped exactly then
    QCOMPARE(manager->events().first()->name(), QStringLiteral("e3"));
    QCOMPARE(open()->count(), 998);
    m_manager->clear();
    QCOMPARE(open()->count(), 0);
}

void TestEventManager::filters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<QString>("period");
    QTest::addColumn<QStringList>("visible");
    const QDateTime none;
    QTest::newRow("none") << "" << none << none << ""
                          << QStringList {"Ignition on", "iGnItIoN off", "Application started"};
    QTest::newRow("name in capitals")
        << "IGNITION" << none << none << "" << QStringList {"Ignition on", "iGnItIoN off"};
    QTest::newRow("from alone") << "" << m_now.addSecs(-7200) << none << ""
                                << QStringList {"Ignition on"};
    QTest::newRow("from and to") << "" << m_now.addDays(-3) << m_now.addSecs(-7200) << ""
                                 << QStringList {"iGnItIoN off"};
    QTest::newRow("all history keeps the name")
        << "off" << m_now << m_now << "All history" << QStringList {"iGnItIoN off"};
}

void TestEventManager::filters()
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
    QTEST(names(*manager), "visible");
}

void TestEventManager::periods_data()
{
    QTest::addColumn<QString>("period");
    QTest::addColumn<QString>("bounds");
    // At 2024-03-31 14:30:15.
    QTest::newRow("hour") << "Last hour"
                          << "03-31 13:30:15.000 03-31 14:30:15.000";
    QTest::newRow("5 hours") << "Last 5 hours"
                             << "03-31 09:30:15.000 03-31 14:30:15.000";
    QTest::newRow("today") << "Today"
                           << "03-31 00:00:00.000 03-31 23:59:59.999";
    QTest::newRow("yesterday") << "Yesterday"
                               << "03-30 00:00:00.000 03-30 23:59:59.999";
    QTest::newRow("week") << "Last week"
                          << "03-24 00:00:00.000 03-31 14:30:15.000";
    QTest::newRow("month") << "Last month"
                           << "02-29 00:00:00.000 03-31 14:30:15.000";
    QTest::newRow("all") << "All history"
                         << " ";
    QTest::newRow("case matters") << "last hour"
                                  << " ";
}

void TestEventManager::periods()
{
    QFETCH(QString, period);
    const auto bounds
        = EventManager::periodBounds(period, QDateTime(QDate(2024, 3, 31), QTime(14, 30, 15)));
    const QString format = "MM-dd hh:mm:ss.zzz";
    QTEST(bounds.first.toString(format) + ' ' + bounds.second.toString(format), "bounds");
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
    if (setup == "directory") {
        QVERIFY(QDir(dir).mkdir("events.ini"));
    } else if (setup != "read-only") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\x01\xff[events\nsize=\n=\n\\\\\n[[]]\n1\\name\n");
        file.close();
        if (setup == "below a file")
            dir = file.fileName();
    } else if (::geteuid() == 0) {
        QSKIP("root writes to read-only directories; 'directory below a file' covers the case");
    } else {
        QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    }
    MessageCapture log;
    open(dir)->push(event("kept", 0));
    QCOMPARE(names(*m_manager), QStringList {"kept"}); // in memory in any case
    QFETCH(QString, warning);
    QVERIFY2(log.messages(QtWarningMsg).join('\n').contains(warning), qPrintable(warning));
    QFETCH(bool, persists);
    QCOMPARE(open(dir)->count(), persists ? 1 : 0);
    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QTEST_GUILESS_MAIN(TestEventManager)
#include "tst_eventmanager.moc"
