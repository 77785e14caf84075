// The command line: parsing into configuration overrides in-process, and the real
// program started in a scratch directory for everything that ends the process or
// touches files.

#include "ChildProcess.h"
#include "CommandLine.h"
#include "MessageCapture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const QString Rule = QStringLiteral("[Config] ") + QString(60, QLatin1Char('-'));

// The configuration printout ends with the third rule line: start-up is complete.
bool waitForStartUp(ChildProcess& terminal)
{
    return QTest::qWaitFor(
               [&] { return terminal.standardError().count(Rule) >= 3 || !terminal.isRunning(); },
               60000)
        && terminal.standardError().count(Rule) >= 3;
}

// The value the program printed for a key, or a null string.
QString printedValue(const QString& output, const QString& key)
{
    const QRegularExpression line(
        QStringLiteral("\\[Config\\]  %1 +: ([^\\n]*)\\n").arg(QRegularExpression::escape(key)));
    const QRegularExpressionMatch match = line.match(output);
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void overrides_data();
    void overrides();

    void startsWithDefaultFile();
    void configOption();
    void overridesReachTheStore_data();
    void overridesReachTheStore();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void endsEarly_data();
    void endsEarly();
};

void TestCommandLine::overrides_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("none") << QStringList() << QVariantMap() << QStringList();
    QTest::newRow("level") << QStringList {"-v", "3"} << QVariantMap {{"log/level", 3}}
                           << QStringList {"Setting Log level : 3"};
    QTest::newRow("level attached") << QStringList {"-v4"} << QVariantMap {{"log/level", 4}}
                                    << QStringList {"Setting Log level : 4"};
    QTest::newRow("level long form")
        << QStringList {"--verbose=0"} << QVariantMap {{"log/level", 0}}
        << QStringList {"Setting Log level : 0"};
    QTest::newRow("level out of range kept")
        << QStringList {"-v", "7"} << QVariantMap {{"log/level", 7}}
        << QStringList {"Setting Log level : 7"};
    QTest::newRow("level not a number")
        << QStringList {"-v", "x"} << QVariantMap() << QStringList();
    QTest::newRow("port not a number")
        << QStringList {"-P", "abc"} << QVariantMap {{"mqtt/port", 0}}
        << QStringList {"Setting MQTT Port : abc"};
    QTest::newRow("stderr and color")
        << QStringList {"-e", "-c"} << QVariantMap {{"log/stderr", true}, {"log/color", true}}
        << QStringList {"Log to stderr overridden from user to true",
                        "Log with color overridden from user to true"};
    QTest::newRow("compacted flags")
        << QStringList {"-ce"} << QVariantMap {{"log/stderr", true}, {"log/color", true}}
        << QStringList {"Log to stderr overridden from user to true",
                        "Log with color overridden from user to true"};
    QTest::newRow("config file") << QStringList {"-f", "other.conf"}
                                 << QVariantMap {{"config", "other.conf"}}
                                 << QStringList {"Using configuration file : other.conf"};
    QTest::newRow("broker") << QStringList {"-H", "broker.local", "-P", "1884",
                                            "-u", "terminal",     "-p", "s3cret"}
                            << QVariantMap {{"mqtt/host", "broker.local"},
                                            {"mqtt/port", 1884},
                                            {"mqtt/username", "terminal"},
                                            {"mqtt/password", "s3cret"}}
                            << QStringList {"Setting MQTT Host : broker.local",
                                            "Setting MQTT Port : 1884",
                                            "Setting MQTT User : terminal"};
    QTest::newRow("broker long forms")
        << QStringList {"--host=h", "--port", "1", "--username=u", "--password", "p", "--config=c"}
        << QVariantMap {{"mqtt/host", "h"},
                        {"mqtt/port", 1},
                        {"mqtt/username", "u"},
                        {"mqtt/password", "p"},
                        {"config", "c"}}
        << QStringList {"Setting MQTT Host : h", "Setting MQTT Port : 1", "Setting MQTT User : u",
                        "Using configuration file : c"};
}

void TestCommandLine::overrides()
{
    QFETCH(QStringList, arguments);
    QFETCH(QVariantMap, expected);
    QFETCH(QStringList, messages);

    MessageCapture capture;
    const QVariantMap result = parseCLIArgs(QStringList {"KVRTTerminalUI"} + arguments);

    QCOMPARE(result, expected);
    // Numbers are integers, flags booleans, everything else text.
    for (auto it = result.constBegin(); it != result.constEnd(); ++it) {
        if (it.key() == "log/level" || it.key() == "mqtt/port")
            QCOMPARE(it.value().userType(), int(QMetaType::Int));
        else if (it.key() == "log/stderr" || it.key() == "log/color")
            QCOMPARE(it.value().userType(), int(QMetaType::Bool));
        else
            QCOMPARE(it.value().userType(), int(QMetaType::QString));
    }
    QCOMPARE(capture.messages(), messages);
    // The password never appears in the log.
    if (result.contains("mqtt/password"))
        QVERIFY(!capture.messages().join('\n').contains(result.value("mqtt/password").toString()));
}

void TestCommandLine::startsWithDefaultFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    ChildProcess terminal;
    terminal.setWorkingDirectory(dir.path());
    QVERIFY(terminal.start(KVRT_TERMINAL_BINARY));
    QVERIFY2(waitForStartUp(terminal), qPrintable(terminal.standardError()));

    const QString output = terminal.standardError();
    QVERIFY(output.contains("[Config] Creating default config file : gui.conf"));
    QVERIFY(output.contains("[Config]  SETTINGS (gui.conf)"));
    QCOMPARE(printedValue(output, "log/level"), QString("2"));
    QCOMPARE(printedValue(output, "mqtt/host"), QString("localhost"));
    QVERIFY(QFile::exists(dir.filePath("gui.conf")));
    // No override messages without options (the GUI manager's "Setting screen"
    // lines are no override).
    QVERIFY(!output.contains("Setting Log level"));
    QVERIFY(!output.contains("Setting MQTT"));

    QVERIFY(terminal.sendSignal(SIGTERM));
    QVERIFY(terminal.waitForFinished());
    QCOMPARE(terminal.exitStatus(), QProcess::NormalExit);
    QCOMPARE(terminal.exitCode(), 0);

    // A second start finds the file and creates nothing.
    ChildProcess again;
    again.setWorkingDirectory(dir.path());
    QVERIFY(again.start(KVRT_TERMINAL_BINARY));
    QVERIFY2(waitForStartUp(again), qPrintable(again.standardError()));
    QVERIFY(!again.standardError().contains("Creating default config file"));
    QVERIFY(again.sendSignal(SIGTERM));
    QVERIFY(again.waitForFinished());
    QCOMPARE(again.exitCode(), 0);
}

void TestCommandLine::configOption()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    ChildProcess terminal;
    terminal.setWorkingDirectory(dir.path());
    QVERIFY(terminal.start(KVRT_TERMINAL_BINARY, {"-f", "other.conf"}));
    QVERIFY2(waitForStartUp(terminal), qPrintable(terminal.standardError()));

    const QString output = terminal.standardError();
    QVERIFY(output.contains("Using configuration file : other.conf\n"));
    QVERIFY(output.contains("[Config] Creating default config file : other.conf"));
    QVERIFY(output.contains("[Config]  SETTINGS (other.conf)"));
    QVERIFY(QFile::exists(dir.filePath("other.conf")));
    QVERIFY(!QFile::exists(dir.filePath("gui.conf")));

    QVERIFY(terminal.sendSignal(SIGTERM));
    QVERIFY(terminal.waitForFinished());
    QCOMPARE(terminal.exitCode(), 0);
}

void TestCommandLine::overridesReachTheStore_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("absentMessages");
    QTest::addColumn<QVariantMap>("printed");

    QTest::newRow("-v 3") << QStringList {"-v", "3"} << QStringList {"Setting Log level : 3"}
                          << QStringList() << QVariantMap {{"log/level", "3"}};
    QTest::newRow("-v x") << QStringList {"-v", "x"} << QStringList()
                          << QStringList {"Setting Log level"} << QVariantMap {{"log/level", "2"}};
    QTest::newRow("-P abc") << QStringList {"-P", "abc"} << QStringList {"Setting MQTT Port : abc"}
                            << QStringList() << QVariantMap {{"mqtt/port", "0"}};
    QTest::newRow("-e -c") << QStringList {"-e", "-c"}
                           << QStringList {"Log to stderr overridden from user to true",
                                           "Log with color overridden from user to true"}
                           << QStringList()
                           << QVariantMap {{"log/stderr", "true"}, {"log/color", "true"}};
    QTest::newRow("broker") << QStringList {"-H", "broker.local", "-u", "terminal", "-p", "s3cret"}
                            << QStringList {"Setting MQTT Host : broker.local",
                                            "Setting MQTT User : terminal"}
                            << QStringList {"s3cret"}
                            << QVariantMap {{"mqtt/host", "broker.local"},
                                            {"mqtt/username", "terminal"},
                                            {"mqtt/password", "********"}};
}

void TestCommandLine::overridesReachTheStore()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, absentMessages);
    QFETCH(QVariantMap, printed);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    ChildProcess terminal;
    terminal.setWorkingDirectory(dir.path());
    QVERIFY(terminal.start(KVRT_TERMINAL_BINARY, arguments));
    QVERIFY2(waitForStartUp(terminal), qPrintable(terminal.standardError()));
    QVERIFY(terminal.sendSignal(SIGTERM));
    QVERIFY(terminal.waitForFinished());
    QCOMPARE(terminal.exitCode(), 0);

    const QString output = terminal.standardError();
    for (const QString& message : qAsConst(messages))
        QVERIFY2(output.contains(message + '\n'), qPrintable(message));
    for (const QString& message : qAsConst(absentMessages))
        QVERIFY2(!output.contains(message), qPrintable(message));
    for (auto it = printed.constBegin(); it != printed.constEnd(); ++it)
        QCOMPARE(printedValue(output, it.key()), it.value().toString());

    // Overrides shadow the stored values; they are never written to the file.
    QFile file(dir.filePath("gui.conf"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString stored = QString::fromUtf8(file.readAll());
    QVERIFY(stored.contains("\n[log]\ncolor=false\nlevel=2\nstderr=true\n"));
    QVERIFY(stored.contains("host=localhost\npassword=\nport=1883\nusername=\n"));
}

void TestCommandLine::stopsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestCommandLine::stopsCleanlyOnSignal()
{
    QFETCH(int, signalNumber);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ChildProcess terminal;
    terminal.setWorkingDirectory(dir.path());
    QVERIFY(terminal.start(KVRT_TERMINAL_BINARY));
    QVERIFY2(waitForStartUp(terminal), qPrintable(terminal.standardError()));

    QVERIFY(terminal.sendSignal(signalNumber));
    QVERIFY(terminal.waitForFinished());
    QCOMPARE(terminal.exitStatus(), QProcess::NormalExit);
    QCOMPARE(terminal.exitCode(), 0);
}

void TestCommandLine::endsEarly_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedOutput");
    QTest::addColumn<QString>("expectedError");

    const QString help
        = QStringLiteral("  -h, --help                 Print help and exit\n"
                         "  -V, --version              Print version and exit\n"
                         "  -v, --verbose <level>      Set log level: 0=err, 1=warn, "
                         "2=info(dfl), 3=dbg\n"
                         "  -e, --stderr               Print messages to stderr, not "
                         "just syslog\n"
                         "  -c, --color                Print messages in color.\n"
                         "  -f, --config <filename>    Set configuration file\n"
                         "  -H, --host <hostname>      Set mqtt broker url\n"
                         "  -P, --port <port>          Set mqtt broker port\n"
                         "  -u, --username <username>  Set mqtt username\n"
                         "  -p, --password <password>  Set mqtt password\n");

    QTest::newRow("-h") << QStringList {"-h"} << 0 << help << QString();
    QTest::newRow("--help") << QStringList {"--help"} << 0 << help << QString();
    QTest::newRow("-V") << QStringList {"-V"} << 0 << QString("KVRTTerminalUI 050fccb\n")
                        << QString();
    QTest::newRow("help wins over version") << QStringList {"-h", "-V"} << 0 << help << QString();
    QTest::newRow("help wins whatever the order")
        << QStringList {"-V", "-h"} << 0 << help << QString();
    QTest::newRow("help before other options")
        << QStringList {"-v", "3", "-f", "other.conf", "-h"} << 0 << help << QString();
    QTest::newRow("unknown option")
        << QStringList {"--bogus"} << 1 << QString() << QString("ERROR: Unknown option 'bogus'.\n");
    QTest::newRow("missing value")
        << QStringList {"-v"} << 1 << QString() << QString("ERROR: Missing value after '-v'.\n");
    QTest::newRow("error beats help") << QStringList {"-h", "--bogus"} << 1 << QString()
                                      << QString("ERROR: Unknown option 'bogus'.\n");
}

void TestCommandLine::endsEarly()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedOutput);
    QFETCH(QString, expectedError);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ChildProcess terminal;
    terminal.setWorkingDirectory(dir.path());
    QVERIFY(terminal.start(KVRT_TERMINAL_BINARY, arguments));
    QVERIFY(terminal.waitForFinished());

    QCOMPARE(terminal.exitStatus(), QProcess::NormalExit);
    QCOMPARE(terminal.exitCode(), exitCode);
    if (!expectedOutput.isEmpty())
        QVERIFY2(terminal.standardOutput().contains(expectedOutput),
                 qPrintable(terminal.standardOutput()));
    if (expectedOutput.contains("Print help and exit"))
        QVERIFY(!terminal.standardOutput().contains("050fccb"));
    if (!expectedError.isEmpty())
        QVERIFY2(terminal.standardError().contains(expectedError),
                 qPrintable(terminal.standardError()));
    if (exitCode != 0)
        QCOMPARE(terminal.standardOutput(), QString());
    // Nothing was applied: no option messages, no configuration file.
    QVERIFY(!terminal.standardError().contains("Setting "));
    QVERIFY(!terminal.standardError().contains("Using configuration file"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
