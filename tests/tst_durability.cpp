// The files the terminal keeps survive a kill (or a power cut) at any moment: each is
// always the version before or after a write, never a mix, and the next start loads it.

#include "ChildProcess.h"
#include "Config.h"
#include "DeviceIdFile.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

// Per file: the kills stop at this time even on a slow machine, or earlier at their count.
constexpr int BudgetMs = 18000;

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDurability : public QObject
{
    Q_OBJECT
    TestBroker m_broker;
    QTemporaryDir m_dir; // a copy of the program (its events.ini goes beside it) and its files
    int m_value = 100; // every write a new value

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // One burst of the trigger of a write of the file.
    void trigger(const QString& file, TestPeer& peer)
    {
        if (file == "gui.conf")
            peer.publish("ovant/ui/config/set",
                         QJsonObject {{"gui", QJsonObject {{"animSwitchSec", ++m_value}}}});
        else if (file == "events.ini")
            peer.publish("ovant/board/event",
                         QJsonObject {{"name", "IgnitionChanged"}, {"data", ++m_value % 2}});
    }

    // The file is a whole version: it holds every entry it should, each complete.
    QString check(const QString& file) const
    {
        const QByteArray bytes = readBytes(path(file));
        if (file == "serialnumber")
            return QRegularExpression("^K\\d{8}$").match(bytes).hasMatch() ? QString() : "id";
        QSettings settings(path(file), QSettings::IniFormat);
        if (settings.status() != QSettings::NoError || !bytes.endsWith('\n'))
            return "syntax";
        if (file == "gui.conf")
            return settings.allKeys().size() == 31
                    && settings.value("mqtt/port").toInt() == m_broker.port()
                    && settings.value("gui/animSwitchSec").toInt() <= m_value
                ? QString()
                : "keys";
        const int size = settings.beginReadArray("events");
        for (int i = 0; i < size; ++i) {
            settings.setArrayIndex(i);
            if (settings.value("name").toString().isEmpty()
                || !settings.value("timestamp").toDateTime().isValid())
                return QString("event %1 of %2").arg(i).arg(size);
        }
        settings.endArray();
        settings.beginGroup("events");
        return size > 0 && settings.childGroups().size() == size ? QString() : "size";
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_broker.start());
        // The event log lives beside the executable: run a copy of it here.
        QVERIFY(::link(KVRT_TERMINAL_BINARY, qPrintable(path("KVRTTerminalUI"))) == 0
                || QFile::copy(KVRT_TERMINAL_BINARY, path("KVRTTerminalUI")));
        QFile id(path("serialnumber"));
        QVERIFY(id.open(QIODevice::WriteOnly) && id.write("K00000001") == 9);
        QSettings file(path("gui.conf"), QSettings::IniFormat);
        const QVariantMap values {{"log/syslog", false},
                                  {"log/level", 1},
                                  {"mqtt/host", m_broker.host()},
                                  {"mqtt/port", m_broker.port()},
                                  {"gui/deviceId", path("serialnumber")}};
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            file.setValue(it.key(), it.value());
    }

    void killedWhileWriting_data()
    {
        addTextRows({"file", "kills"}, R"(
configuration set remotely | gui.conf | 60
ignition events logged | events.ini | 60
device id set | serialnumber | 200)");
    }
    void killedWhileWriting()
    {
        QFETCH(QString, file);
        QFETCH(QString, kills);
        TestPeer peer(m_broker);
        QVERIFY(peer.connectToBroker());
        QTimer flood;
        connect(&flood, &QTimer::timeout, this, [&] { trigger(file, peer); });
        flood.start(2);
        QElapsedTimer clock;
        clock.start();
        int done = 0, duringWrites = 0;
        for (; done < kills.toInt() && clock.elapsed() < BudgetMs; ++done) {
            const QByteArray before = readBytes(path(file));
            ChildProcess child;
            child.setWorkingDirectory(m_dir.path());
            // Nothing sets the id remotely: the code that writes it runs in a program of its own.
            QVERIFY(file == "serialnumber" ? child.start(QCoreApplication::applicationFilePath(),
                                                         {"--set-device-id", m_dir.path()})
                                           : child.start(path("KVRTTerminalUI")));
            // Kill at a random moment once the writes have begun.
            QVERIFY2(QTest::qWaitFor([&] { return readBytes(path(file)) != before; }, 30000),
                     qPrintable(child.standardError()));
            QTest::qWait(QRandomGenerator::global()->bounded(40));
            QVERIFY2(child.sendSignal(SIGKILL) && child.waitForFinished(),
                     qPrintable(child.standardError()));
            const QString problem = check(file);
            QVERIFY2(problem.isEmpty(), qPrintable(problem + ":\n" + readBytes(path(file))));
            // What the previous life left was loaded without complaint.
            for (const char* complaint : {"syntax errors", "Cannot read", "declares"})
                QVERIFY2(!child.standardError().contains(complaint),
                         qPrintable(child.standardError()));
            duringWrites += readBytes(path(file)) != before;
        }
        qInfo("%d kills, %d of them after the file had changed in that run", done, duringWrites);
        QVERIFY(done >= 5 && duringWrites >= done / 2);
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--set-device-id") == 0) { // until killed
        QCoreApplication app(argc, argv);
        const QDir dir(QString::fromLocal8Bit(argv[2]));
        Config config(dir.filePath("helper.conf"),
                      {{"gui/deviceId", dir.filePath("serialnumber")}});
        DeviceIdFile id(config);
        for (int n = QRandomGenerator::global()->bounded(1000000);; ++n)
            id.setId(QString("K%1").arg(n % 100000000, 8, 10, QChar('0')));
    }
    QCoreApplication app(argc, argv);
    TestDurability test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_durability.moc"
