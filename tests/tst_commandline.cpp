// The command line parsed in-process, and the real program started in scratch directories:
// files, exit codes, stop signals and the broker credentials of its configuration file.

#include "ChildProcess.h"
#include "CommandLine.h"
#include "MessageCapture.h"
#include "TestBroker.h"
#include "TestPeer.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void overrides_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QVariantMap>("expected");
        QTest::addColumn<QStringList>("messages");
        const QStringList flags {"Log to stderr overridden from user to true",
                                 "Log with color overridden from user to true"};
        QTest::newRow("-v 3") << QStringList {"-v", "3"} << QVariantMap {{"log/level", 3}}
                              << QStringList {"Setting Log level : 3"};
        QTest::newRow("-v x") << QStringList {"-v", "x"} << QVariantMap() << QStringList();
        QTest::newRow("-P abc") << QStringList {"-P", "abc"} << QVariantMap {{"mqtt/port", 0}}
                                << QStringList {"Setting MQTT Port : abc"};
        QTest::newRow("-ce") << QStringList {"-ce"}
                             << QVariantMap {{"log/stderr", true}, {"log/color", true}} << flags;
        QTest::newRow("short") << QStringList {"-H", "b",  "-P", "1884", "-u",
                                               "t",  "-p", "pw", "-f",   "c"}
                               << QVariantMap {{"mqtt/host", "b"},
                                               {"mqtt/port", 1884},
                                               {"mqtt/username", "t"},
                                               {"mqtt/password", "pw"},
                                               {"config", "c"}}
                               << QStringList {"Setting MQTT Host : b", "Setting MQTT Port : 1884",
                                               "Setting MQTT User : t",
                                               "Using configuration file : c"};
        QTest::newRow("long") << QStringList {"--verbose=7",  "--host=h",   "--port", "1",
                                              "--username=u", "--password", "pw",     "--config=c",
                                              "--stderr",     "--color"}
                              << QVariantMap {{"log/level", 7},        {"mqtt/host", "h"},
                                              {"mqtt/port", 1},        {"mqtt/username", "u"},
                                              {"mqtt/password", "pw"}, {"config", "c"},
                                              {"log/stderr", true},    {"log/color", true}}
                              << QStringList {"Setting Log level : 7"} + flags
                + QStringList {"Setting MQTT Host : h", "Setting MQTT Port : 1",
                               "Setting MQTT User : u", "Using configuration file : c"};
    }

    void overrides()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QVariantMap, expected);
        QFETCH(QStringList, messages);
        MessageCapture capture;
        const QVariantMap result = parseCLIArgs(QStringList {"KVRTTerminalUI"} + arguments);
        QCOMPARE(result, expected);
        for (auto it = result.constBegin(); it != result.constEnd(); ++it) // typed
            QCOMPARE(it.value().userType(), expected.value(it.key()).userType());
        QCOMPARE(capture.messages(), messages); // the password never shows
    }

    void endsEarly_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("error");
        const QString help
            = "  -h, --help                 Print help and exit\n"
              "  -V, --version              Print version and exit\n"
              "  -v, --verbose <level>      Set log level: 0=err, 1=warn, 2=info(dfl), "
              "3=dbg\n"
              "  -e, --stderr               Print messages to stderr, not just syslog\n"
              "  -c, --color                Print messages in color.\n"
              "  -f, --config <filename>    Set configuration file\n"
              "  -H, --host <hostname>      Set mqtt broker url\n"
              "  -P, --port <port>          Set mqtt broker port\n"
              "  -u, --username <username>  Set mqtt username\n"
              "  -p, --password <password>  Set mqtt password\n";
        QTest::newRow("--help") << QStringList {"--help"} << 0 << help << QString();
        QTest::newRow("-V") << QStringList {"-V"} << 0 << "KVRTTerminalUI 050fccb\n" << QString();
        QTest::newRow("help wins")
            << QStringList {"-V", "-v", "3", "-f", "x", "-h"} << 0 << help << QString();
        QTest::newRow("unknown option") << QStringList {"-h", "--bogus"} << 1 << QString()
                                        << "ERROR: Unknown option 'bogus'.\n";
        QTest::newRow("missing value")
            << QStringList {"-v"} << 1 << QString() << "ERROR: Missing value after '-v'.\n";
    }

    void endsEarly()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QString, error);
        QTemporaryDir dir;
        ChildProcess terminal;
        terminal.setWorkingDirectory(dir.path());
        QVERIFY(terminal.start(KVRT_TERMINAL_BINARY, arguments));
        QVERIFY(terminal.waitForFinished());
        QCOMPARE(terminal.exitStatus(), QProcess::NormalExit);
        QCOMPARE(terminal.exitCode(), exitCode);
        QVERIFY2(terminal.standardOutput().contains(output), qPrintable(terminal.standardOutput()));
        QCOMPARE(terminal.standardOutput().contains("050fccb"), output.contains("050fccb"));
        QVERIFY2(terminal.standardError().contains(error), qPrintable(terminal.standardError()));
        // Nothing was applied: no option messages, no configuration file.
        QVERIFY(!terminal.standardError().contains("Setting "));
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    void runsUntilStopped_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("printed"); // values of the configuration printout
        QTest::newRow("defaults")
            << QStringList() << int(SIGTERM)
            << QStringList {"[Config] Creating default config file : gui.conf",
                            "[Config]  SETTINGS (gui.conf)"}
            << "log/level=2 mqtt/host=localhost mqtt/port=1883";
        QTest::newRow("-f other.conf -v 3 -e -c")
            << QStringList {"-f", "other.conf", "-v", "3", "-e", "-c"} << int(SIGINT)
            << QStringList {"Using configuration file : other.conf",
                            "[Config]  SETTINGS (other.conf)", "Setting Log level : 3"}
            << "log/level=3 log/stderr=true log/color=true";
        QTest::newRow("broker") << QStringList {"-H", "broker.local", "-P", "abc",
                                                "-u", "terminal",     "-p", "s3cret"}
                                << int(SIGTERM)
                                << QStringList {"Setting MQTT Port : abc",
                                                "Setting MQTT User : terminal"}
                                << "mqtt/host=broker.local mqtt/port=0 mqtt/username=terminal "
                                   "mqtt/password=********";
    }

    void runsUntilStopped()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, signalNumber);
        QFETCH(QStringList, messages);
        QFETCH(QString, printed);
        QTemporaryDir dir;
        ChildProcess terminal;
        terminal.setWorkingDirectory(dir.path());
        QVERIFY(terminal.start(KVRT_TERMINAL_BINARY, arguments));
        // The configuration printout ends with its third rule line: start-up is complete.
        const QString rule = "[Config] " + QString(60, '-');
        QVERIFY2(
            QTest::qWaitFor(
                [&] { return terminal.standardError().count(rule) >= 3 || !terminal.isRunning(); },
                60000)
                && terminal.standardError().count(rule) >= 3,
            qPrintable(terminal.standardError()));
        QVERIFY(terminal.sendSignal(signalNumber));
        QVERIFY(terminal.waitForFinished());
        QCOMPARE(terminal.exitStatus(), QProcess::NormalExit);
        QCOMPARE(terminal.exitCode(), 0);

        const QString output = terminal.standardError();
        for (const QString& message : qAsConst(messages))
            QVERIFY2(output.contains(message + '\n'), qPrintable(message));
        for (const QString& entry : printed.split(' ')) {
            const QStringList pair = entry.split('=');
            QVERIFY2(output.contains(QRegularExpression(
                         QString("\\[Config\\]  %1 +: %2\\n")
                             .arg(pair[0], QRegularExpression::escape(pair[1])))),
                     qPrintable(entry));
        }
        QVERIFY(!output.contains("s3cret"));
        QCOMPARE(output.contains("Setting Log level"), printed.contains("log/level=3"));
        // Overrides shadow the stored values; they are never written.
        QFile file(dir.filePath(arguments.contains("-f") ? "other.conf" : "gui.conf"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray stored = file.readAll();
        QVERIFY(stored.contains("\n[log]\ncolor=false\nlevel=2\nstderr=true\n"));
        QVERIFY(stored.contains("host=localhost\npassword=\nport=1883\nusername=\n"));
    }

    void brokerCredentialsFromTheFile_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("right password") << "s3cret";
        QTest::newRow("wrong password") << "wrong";
    }

    void brokerCredentialsFromTheFile()
    {
        QFETCH(QString, password);
        TestBroker broker;
        broker.addUser("terminal", "s3cret");
        broker.addUser("observer", "watch");
        QVERIFY(broker.start());
        TestPeer observer(broker);
        observer.connection().setUsername("observer");
        observer.connection().setPassword("watch");
        QVERIFY(observer.connectToBroker());
        QVERIFY(observer.subscribe("ovant/ui/#"));
        QTemporaryDir dir;
        {
            QSettings file(dir.filePath("gui.conf"), QSettings::IniFormat);
            file.setValue("log/syslog", false);
            file.setValue("mqtt/host", broker.host());
            file.setValue("mqtt/port", broker.port());
            file.setValue("mqtt/username", "terminal");
            file.setValue("mqtt/password", password);
        }
        ChildProcess terminal;
        terminal.setWorkingDirectory(dir.path());
        QVERIFY(terminal.start(KVRT_TERMINAL_BINARY));
        if (password == "s3cret") {
            QVERIFY2(observer.waitForMessages("ovant/ui/status", 1, 60000),
                     qPrintable(terminal.standardError()));
        } else {
            QVERIFY2(terminal.waitForStandardError("[MqttClient] Not authorized: "),
                     qPrintable(terminal.standardError()));
            QCOMPARE(observer.count("ovant/ui/#"), 0);
        }
        QVERIFY(terminal.sendSignal(SIGTERM));
        QVERIFY(terminal.waitForFinished());
        QCOMPARE(terminal.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
