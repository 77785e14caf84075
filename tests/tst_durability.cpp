// The files the terminal keeps survive a kill (or a power cut) at any moment: each is
// always the version before or after a write, never a mix, and the next start loads it.

#include "ChildProcess.h"
#include "Config.h"
#include "DeviceIdFile.h"
#include "ScratchFiles.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QtTest>

#include <csignal>

class TestDurability : public QObject
{
    Q_OBJECT
    TestBroker m_broker;
    QTemporaryDir m_dir; // a copy of the program (its events.ini goes beside it) and its files

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QByteArray read(const QString& name) const { return readFile(path(name)); }
    // A whole version: every entry there, the last one complete.
    bool isWhole(const QString& name) const
    {
        const QByteArray bytes = read(name);
        if (name == "serialnumber")
            return QRegularExpression("^K\\d{8}$").match(bytes).hasMatch();
        QSettings file(path(name), QSettings::IniFormat);
        const int size = file.value("events/size").toInt();
        return file.status() == QSettings::NoError && bytes.endsWith('\n')
            && (name == "gui.conf" ? file.allKeys().size() == 31
                                   : file.value(QString("events/%1/timestamp").arg(size)).isValid()
                        && file.allKeys().size() == 4 * size + 1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_broker.start());
        QVERIFY(!copyTerminal(m_dir.path()).isEmpty()
                && writeFile(path("serialnumber"), "K00000001"));
        const QString text("[gui]\ndeviceId=%1\n[log]\nlevel=1\nsyslog=false\n[mqtt]\nport=%2\n");
        QVERIFY(writeFile(path("gui.conf"),
                          text.arg(path("serialnumber")).arg(m_broker.port()).toUtf8()));
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
        int value = 0; // a new one for every write
        QTimer flood;
        connect(&flood, &QTimer::timeout, this, [&] {
            if (file == "gui.conf")
                peer.publish("ovant/ui/config/set",
                             QJsonObject {{"gui", QJsonObject {{"animSwitchSec", ++value}}}});
            else
                peer.publish("ovant/board/event",
                             QJsonObject {{"name", "IgnitionChanged"}, {"data", ++value % 2}});
        });
        flood.start(2);
        QElapsedTimer clock;
        clock.start();
        int done = 0; // however slow the machine, within 18 s
        for (; done < kills.toInt() && clock.elapsed() < 18000; ++done) {
            const QByteArray before = read(file);
            ChildProcess child;
            child.setWorkingDirectory(m_dir.path());
            // Nothing sets the id remotely: the code that writes it runs in a program of its own.
            QVERIFY(file == "serialnumber" ? child.start(QCoreApplication::applicationFilePath(),
                                                         {"--set-device-id", m_dir.path()})
                                           : child.start(path("KVRTTerminalUI")));
            // Killed at a random moment once the writes have begun.
            QVERIFY2(QTest::qWaitFor([&] { return read(file) != before; }, 30000),
                     qPrintable(child.standardError()));
            QTest::qWait(QRandomGenerator::global()->bounded(40));
            QVERIFY(child.sendSignal(SIGKILL) && child.waitForFinished());
            QVERIFY2(isWhole(file), read(file).constData());
            // What the previous run left was loaded without complaint.
            QVERIFY2(!child.standardError().contains(
                         QRegularExpression("syntax errors|Cannot read|declares")),
                     qPrintable(child.standardError()));
        }
        qInfo("%d kills", done);
        QVERIFY(done >= 5);
    }
};

int main(int argc, char* argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--set-device-id") == 0) { // until killed
        QCoreApplication app(argc, argv);
        const QDir dir(QString::fromLocal8Bit(argv[2]));
        Config config(dir.filePath("id.conf"), {{"gui/deviceId", dir.filePath("serialnumber")}});
        DeviceIdFile id(config);
        for (int n = QRandomGenerator::global()->bounded(1000000);; ++n)
            id.setId(QString("K%1").arg(n % 100000000, 8, 10, QChar('0')));
    }
    QCoreApplication app(argc, argv);
    TestDurability test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_durability.moc"
