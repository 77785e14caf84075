// The terminal on a misbehaving host: a wall clock that jumps (a day ahead, an hour back,
// a change of summer time) and a disk that fills up or turns read-only.
//
// The program runs itself again with libfaketime preloaded, so that rewriting a file moves
// the wall clock while the monotonic clock runs on (as a real jump leaves it), and in user
// and mount namespaces of its own, where it mounts a small tmpfs, fills it, makes it
// read-only and frees it again. (The technician's session, the login lock-out and the
// update check run on monotonic timers, which a jump of the wall clock leaves alone.)

#include "Board.h"
#include "ChildProcess.h"
#include "Config.h"
#include "DeviceIdFile.h"
#include "Diagnostics.h"
#include "Event.h"
#include "EventManager.h"
#include "KVRTTerminal.h"
#include "MessageCapture.h"
#include "MqttClient.h"
#include "Network.h"
#include "ScratchFiles.h"
#include "TableRows.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QtTest>

#include <dlfcn.h>
#include <glob.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

class TestHostFaults : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir; // a copy of the program (its event log goes beside it) and its files
    TestBroker m_broker;
    qint64 m_offset = 0; // of the wall clock, in seconds

    // Moves the wall clock to the given moment (to the second) in the given time zone, or
    // back to the real time.
    bool setClock(const QString& iso = QString(), const QString& zone = QString())
    {
        zone.isEmpty() ? qunsetenv("TZ") : qputenv("TZ", zone.toLatin1());
        tzset();
        const qint64 real = QDateTime::currentSecsSinceEpoch() - m_offset;
        m_offset
            = iso.isEmpty() ? 0 : QDateTime::fromString(iso, Qt::ISODate).toSecsSinceEpoch() - real;
        QFile file(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE"));
        return file.open(QIODevice::WriteOnly)
            && file.write((m_offset < 0 ? "" : "+") + QByteArray::number(m_offset)) > 0
            && (file.close(), qAbs(QDateTime::currentSecsSinceEpoch() - real - m_offset) <= 1);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_broker.start() && !copyTerminal(m_dir.path()).isEmpty()); }

    void eventLogPeriodsFollowTheClock_data()
    {
        addTextRows({"zone", "script", "shown"}, R"(
Today after a day ahead | Europe/Athens | 2025-06-10T09:00:00Z push old; Today; 2025-06-11T09:00:00Z push new | new
Yesterday after a day ahead | Europe/Athens | 2025-06-10T09:00:00Z push old; 2025-06-11T09:00:00Z push new; Yesterday | old
Today after an hour back over midnight | Europe/Athens | 2025-06-10T21:30:00Z push late; 2025-06-10T20:30:00Z push early; Today | early
Last hour takes in later events | Europe/Athens | 2025-06-10T09:00:00Z push old; 2025-06-10T10:30:00Z Last hour; 2025-06-10T10:31:00Z push new | new
Today begins at 01:00 when summer time does | Asia/Beirut | 2025-03-29T20:00:00Z push eve; 2025-03-30T08:00:00Z push morning; Today | morning
order across the autumn change after a restart | Europe/Athens | 2025-10-26T00:30:00Z push summer; 2025-10-26T01:10:00Z push winter; restart | winter,summer)");
    }
    // Steps: "[<UTC time>] push <name>", "[<UTC time>] <period>" or "restart"; shown: the
    // names in the view, newest first.
    void eventLogPeriodsFollowTheClock()
    {
        QFETCH(QString, zone);
        QFETCH(QString, script);
        if (!qEnvironmentVariableIsSet("FAKETIME_TIMESTAMP_FILE"))
            QSKIP("needs libfaketime (package faketime)");
        const auto realTime = qScopeGuard([this] { setClock(); });
        QTemporaryDir dir;
        Config config(dir.filePath("gui.conf"), {{"gui/locale", "en_US"}});
        auto log = std::make_unique<EventManager>(config, dir.path());
        for (QString step : script.split(';')) {
            step = step.trimmed();
            if (step.at(0).isDigit()) {
                QVERIFY(setClock(step.section(' ', 0, 0), zone));
                step = step.section(' ', 1);
            }
            if (step.startsWith("push ")) {
                log->push(
                    new Event("General", step.mid(5), QString(), QDateTime::currentDateTime()));
            } else if (step == "restart") {
                QVERIFY(log->waitForWritten(5000));
                log = std::make_unique<EventManager>(config, dir.path());
            } else {
                log->applyFilterPeriod(step);
            }
        }
        QStringList shown;
        for (const QObject* event : log->data().value<QList<QObject*>>())
            shown << static_cast<const Event*>(event)->name();
        QTEST(shown.join(','), "shown");
    }

    void diskFullOrReadOnly_data()
    {
        addTextRows({"file", "fault", "before", "during", "after", "errors"}, R"(
gui.conf on a full disk | gui.conf | full | 0,3 | 2,3 | 2,9 | 1
gui.conf on a read-only disk | gui.conf | read-only | 0,3 | 2,3 | 2,9 | 1
device id on a full disk | serialnumber | full | K00000000 | K00000002 | K00000003 | 2
device id on a read-only disk | serialnumber | read-only | K00000000 | K00000002 | K00000003 | 2
test report on a full disk | report | full | 0 | not saved | 1 | 2
test report on a read-only disk | report | read-only | 0 | not saved | 1 | 2)");
    }
    // Written: whole or not at all, nothing left beside it, a clear error once per file
    // (per request for a report or a device id: the page that asked shows it), no save
    // shown that did not happen, and what is in force lands with the next change once
    // the disk is back.
    void diskFullOrReadOnly()
    {
        QFETCH(QString, file);
        QFETCH(QString, fault);
        if (!qEnvironmentVariableIsSet("KVRT_NAMESPACE"))
            QSKIP("needs unshare -rm (user and mount namespaces)");
        const auto mount = [](const QStringList& how) { return !QProcess::execute("mount", how); };
        QTemporaryDir disk;
        QVERIFY(mount({"-t", "tmpfs", "-o", "size=1m", "tmpfs", disk.path()}));
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {disk.path()}); });
        const QString path = disk.filePath(file);
        MessageCapture log;
        std::function<void(int)> change;
        std::function<QString()> inForce, stored = [&] { return readFile(path); },
                                          errors = [&] { return log.messages().join('\n'); };
        // gui.conf: the real program, set remotely; the values of two keys.
        const auto values = [](const QString& text) {
            return QRegularExpression("animSwitchSec\\W+(\\d+)").match(text).captured(1) + ','
                + QRegularExpression("displayOffMin\\W+(\\d+)").match(text).captured(1);
        };
        ChildProcess terminal;
        TestPeer peer(m_broker);
        if (file == "gui.conf") { // written with the defaults at the start
            terminal.setWorkingDirectory(disk.path());
            QVERIFY(terminal.start(m_dir.filePath("KVRTTerminalUI"),
                                   {"-P", QString::number(m_broker.port())}));
            QVERIFY(peer.connectToBroker() && peer.subscribe("ovant/ui/config"));
            inForce = [&] { // asked once all that was sent before has been handled
                peer.clear();
                const bool answered = peer.publish("ovant/ui/config/get", QByteArray())
                    && peer.waitForMessages("ovant/ui/config", 1, 5000);
                return answered ? values(peer.last().payload) : QString();
            };
            QVERIFY2(QTest::qWaitFor([&] { return !inForce().isEmpty(); }, 30000),
                     qPrintable(terminal.standardError()));
            change = [&](int n) {
                peer.publish("ovant/ui/config/set",
                             QJsonObject {{"gui",
                                           n < 3 ? QJsonObject {{"animSwitchSec", n}}
                                                 : QJsonObject {{"displayOffMin", 9}}}});
            };
            stored = [&] { return values(readFile(path)); };
            errors = [&] { return terminal.standardError(); };
        }
        // The device id and a report, which only pages of the program ask for.
        Config idConfig(m_dir.filePath(QTest::currentDataTag()), {{"gui/deviceId", path}});
        DeviceIdFile id(idConfig);
        manager::MqttClient mqtt;
        manager::Board board(mqtt, "ovant/board");
        manager::Network network(mqtt, "ovant/network");
        manager::KVRTTerminal service(mqtt, "ovant/blm");
        Diagnostics diagnostics(id.id(), board, network, service);
        QSignalSpy shown(&diagnostics, &Diagnostics::saveReportFinished);
        diagnostics.setReportDirectory(disk.path());
        if (file == "serialnumber") {
            change
                = [&](int n) { id.setId(QString("K0000000%1").arg(n)), id.waitForWritten(5000); };
            change(0);
            inForce = [&] { return id.id(); };
        } else if (file == "report") {
            // The outcome is told on this thread once the write is done.
            change = [&](int) {
                diagnostics.saveReport();
                QVERIFY(shown.wait(5000));
            };
            inForce = [&] { return shown.last().at(0).toBool() ? "saved" : "not saved"; };
            stored = [&] { return QString::number(QDir(disk.path()).entryList({"Test*"}).size()); };
        }
        const auto row = [](const char* column) {
            return *static_cast<QString*>(QTest::qData(column, qMetaTypeId<QString>()));
        };
        QCOMPARE(stored(), row("before"));

        QFile filler(disk.filePath("filler"));
        const QByteArray block(1 << 16, 'x');
        if (fault == "full" && filler.open(QIODevice::WriteOnly)) {
            while (filler.write(block) == block.size() && filler.flush()) { }
            filler.close();
        }
        QVERIFY(fault == "full" ? filler.size() > 0 : mount({"-o", "remount,ro", disk.path()}));
        const QString reason
            = fault == "full" ? "No space left on device" : "Read-only file system";
        change(1), change(2);
        QTRY_COMPARE(inForce(), row("during"));
        QTRY_VERIFY2(errors().count(reason) == row("errors").toInt(), qPrintable(errors()));
        QTest::qWait(500);
        QCOMPARE(errors().count(reason), row("errors").toInt());
        QCOMPARE(stored(), row("before"));
        QStringList left
            = QDir(disk.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.removeAll("filler"), left.removeAll(file);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));

        QVERIFY(fault == "full" ? filler.remove() : mount({"-o", "remount,rw", disk.path()}));
        change(3);
        QTRY_COMPARE(stored(), row("after"));
        QVERIFY(file != "report" || inForce() == "saved");
    }
};

int main(int argc, char* argv[])
{
    // Once: again with the wall clock in a file's hands, in namespaces of its own.
    if (!qEnvironmentVariableIsSet("KVRT_HOSTFAULTS")) {
        qputenv("KVRT_HOSTFAULTS", "1");
        glob_t found {};
        const QString clock = QDir::temp().filePath(QString("kvrt-clock-%1").arg(getpid()));
        QFile file(clock);
        // The library of this program's own architecture (not the host's, under an emulator).
        const char* library = nullptr;
        if (::glob("/usr/lib/*/faketime/libfaketimeMT.so.1", 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc && !library; ++i) {
                if (void* handle = ::dlopen(found.gl_pathv[i], RTLD_LAZY | RTLD_LOCAL)) {
                    library = found.gl_pathv[i];
                    ::dlclose(handle);
                }
            }
        }
        if (library && file.open(QIODevice::WriteOnly) && file.write("+0") == 2) {
            qputenv("LD_PRELOAD", library);
            qputenv("FAKETIME_TIMESTAMP_FILE", clock.toLocal8Bit());
            qputenv("FAKETIME_NO_CACHE", "1");
            qputenv("FAKETIME_DONT_FAKE_MONOTONIC", "1");
            // Its fix for monotonic waits, on by default with this C library, makes every
            // timed wait come back at once when the monotonic clock is left alone.
            qputenv("FAKETIME_FORCE_MONOTONIC_FIX", "0");
            qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        }
        globfree(&found);
        std::vector<char*> command {argv, argv + argc + 1};
        if (std::system("unshare -rm true >/dev/null 2>&1") == 0) {
            qputenv("KVRT_NAMESPACE", "1");
            command.insert(command.begin(),
                           {const_cast<char*>("unshare"), const_cast<char*>("-rm")});
        }
        ::execvp(command[0], command.data());
    }
    // The clock of this program only: the broker and the terminal keep the real one.
    qunsetenv("LD_PRELOAD");
    QCoreApplication app(argc, argv);
    TestHostFaults test;
    const int failed = QTest::qExec(&test, argc, argv);
    QFile::remove(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE"));
    return failed;
}

#include "tst_hostfaults.moc"
