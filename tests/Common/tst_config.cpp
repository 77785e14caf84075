// The configuration store on scratch files. Cases on file permissions run again as user
// "nobody" in a second instance of this program when run by root.

#include "ChildProcess.h"
#include "Config.h"
#include "GUIManager.h"
#include "MessageCapture.h"
#include "TableRows.h"

#include <QtTest>

#include <cstdio>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(contents) == contents.size();
}

// Changes the file as an editor would: in place, by renaming a new file over it, or by
// deleting it and writing a new one.
bool edit(const QString& path, const QByteArray& from, const QByteArray& to, const QString& how)
{
    QByteArray contents = readBytes(path);
    if (!contents.contains(from))
        return false;
    contents.replace(from, to);
    if (how == "deleted") {
        QFile::remove(path);
        QTest::qWait(200); // noticed before the new file comes
    }
    if (how != "replaced")
        return write(path, contents);
    const QString temporary = path + ".new";
    return write(temporary, contents) && std::rename(qPrintable(temporary), qPrintable(path)) == 0;
}

// The store's signals, in order.
struct Recorder : QObject
{
    explicit Recorder(Config& config)
    {
        connect(&config, &Config::configFileChanged, this, [this] { events << "file"; });
        connect(&config, &Config::configChanged, this, [this](const QVariantMap& c) {
            events << "changed";
            changes << c;
        });
    }
    QStringList events;
    QList<QVariantMap> changes;
};

const QVariantMap& Defaults = GUIManager::Defaults;

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private Q_SLOTS:
    void createsAndKeepsTheFile()
    {
        const QString path = m_dir.filePath("first.conf");
        Config config(path, Defaults);
        QVERIFY(config.waitForWritten());
        for (const QString& key : Defaults.keys())
            QCOMPARE(Config(path, {}).get(key).toString(), Defaults.value(key).toString());
        // A file in a layout of its own, with a key unknown to the table, is read as it is
        // and kept until the first change, which writes everything.
        const QByteArray own = "; kept\n[log]\nlevel = 4\n\n[extra]\nnote=hello\n";
        QVERIFY(write(path, own));
        Config existing(path, Defaults);
        QVERIFY(existing.get("log/level") == "4" && existing.get("extra/note") == "hello");
        for (const QVariant& same : {QVariant(4), QVariant("4")})
            existing.set("log/level", same); // unchanged: not written
        QCOMPARE(readBytes(path), own);
        existing.set("gui/locale", "en_US");
        QVERIFY(existing.waitForWritten());
        QCOMPARE(Config(path, {}).keys().size(), Defaults.size() + 1);
        QVERIFY(readBytes(path).contains("[extra]\nnote=hello\n"));
    }
    void valuesOverridesAndDefaults()
    {
        const QString path = m_dir.filePath("values.conf");
        Config config(path, Defaults);
        Recorder recorder(config);
        config.addOverrides({{"mqtt/host", "first.local"}, {"config", "values.conf"}});
        config.addOverrides({{"mqtt/host", "second.local"}});
        config.addDefaults({{"extra/interval", 5}, {"log/level", 4}});
        QCOMPARE(config.get("mqtt/host"), QVariant("second.local"));
        QVERIFY(config.get("config") == "values.conf" && config.get("extra/interval") == 5);
        QVERIFY(config.waitForWritten());
        // The stored value beats the default; neither is reported or written.
        QVERIFY(config.get("log/level") == 2 && !config.get("no/such").isValid()
                && recorder.events.isEmpty());
        QVERIFY(readBytes(path).contains("host=localhost\n")
                && !readBytes(path).contains("interval"));
        // An edit of the file changes the stored value, not the effective one.
        QVERIFY(edit(path, "host=localhost", "host=edited.local", "in place"));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList {"file", "changed"}), 30000);
        QCOMPARE(config.get("mqtt/host"), QVariant("second.local"));
        // A value set at run time lifts the override, is reported and written, and does not
        // come back as an edit of the file.
        config.set("mqtt/host", "chosen.local"), config.set("extra/name", "value");
        QCOMPARE(config.get("mqtt/host"), QVariant("chosen.local"));
        QVERIFY(config.waitForWritten());
        QVERIFY(readBytes(path).contains("host=chosen.local\n")
                && readBytes(path).contains("[extra]\nname=value\n"));
        QCOMPARE(recorder.changes.mid(1),
                 (QList<QVariantMap> {{{"mqtt/host", "chosen.local"}}, {{"extra/name", "value"}}}));
        QTest::qWait(300);
        QCOMPARE(recorder.events.size(), 4);
    }
    void followsEditsOfTheFile_data()
    {
        QTest::addColumn<QString>("how");
        for (const char* how : {"in place", "replaced", "deleted"})
            QTest::newRow(how) << how;
    }
    void followsEditsOfTheFile()
    {
        QFETCH(QString, how);
        const QString path = m_dir.filePath(QTest::currentDataTag() + QString(".conf"));
        Config config(path, Defaults);
        QVERIFY(config.waitForWritten());
        Recorder recorder(config);
        // The same values written again, in another layout, are no change.
        QVERIFY(edit(path, "=", " = ", how));
        QVERIFY(edit(path, "level = 2", "level = 4", how));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList {"file", "changed"}), 30000);
        QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "4"}}));
        // Still watched after that change: the next edits are seen too.
        QVERIFY(edit(path, "level = 4", "level = 1", how));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 4, 30000);
        QVERIFY(edit(path, "locale = el_GR", "locale = en_US", "in place"));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 6, 30000);
        QCOMPARE(recorder.changes.mid(1),
                 (QList<QVariantMap> {{{"log/level", "1"}}, {{"gui/locale", "en_US"}}}));
    }
    void json()
    {
        const QString path = m_dir.filePath("json.conf");
        Config config(path, Defaults);
        config.addOverrides({{"mqtt/port", 1884}});
        Recorder recorder(config);
        MessageCapture capture;
        config.fromJson(QJsonDocument::fromJson(R"({
            "log": {"level": 3, "color": true, "syslog": true},
            "gui": {"noSuchName": 1, "locale": "en_US"}, "port": 5,
            "topics": {"blm": ["not", "a", "text"], "rfid": {"nested": 1}},
            "extra": {"name": "x"}, "mqtt": {"port": 1999}})")
                            .object());
        config.fromJson({});
        // Only known keys with a text, number or flag, each rejection with a warning.
        QCOMPARE(recorder.changes,
                 (QList<QVariantMap> {{{"log/level", 3.0},
                                       {"log/color", true},
                                       {"gui/locale", "en_US"},
                                       {"mqtt/port", 1999.0}}}));
        QVERIFY(config.waitForWritten() && readBytes(path).contains("\nlevel=3\n"));
        for (const char* rejected :
             {"gui/noSuchName", "extra/name", "topics/blm", "topics/rfid", " : port"})
            QVERIFY2(capture.contains(rejected), rejected);
        QVERIFY(config.get("topics/blm") == "ovant/blm" && config.get("mqtt/port") == 1884);
        // The stored values, by group, with their types.
        QCOMPARE(config.toJson().value("log").toObject(),
                 QJsonObject({{"color", true}, {"level", 3}, {"stderr", true}, {"syslog", true}}));
    }
    void unusableFile_data()
    {
        addTextRows({"file", "warning"}, R"(
broken section | [extra\nname=4\n | syntax errors
a directory | dir | Cannot read config file)");
    }
    void unusableFile()
    {
        QFETCH(QString, file);
        QFETCH(QString, warning);
        const QByteArray contents = file.replace("\\n", "\n").toUtf8();
        QTemporaryDir dir;
        const QString path = dir.filePath("gui.conf");
        QVERIFY(contents == "dir" ? QDir().mkdir(path) : write(path, contents));
        MessageCapture capture;
        Config config(path, Defaults);
        Recorder recorder(config);
        // The defaults are in force; values set at run time take effect.
        QVERIFY(capture.contains(warning));
        config.set("log/level", 4);
        QVERIFY(config.waitForWritten());
        QVERIFY(config.get("mqtt/host") == "localhost" && config.get("log/level") == 4);
        QCOMPARE(recorder.events, QStringList {"changed"});
        if (contents == "dir") { // what cannot be read is not overwritten
            QVERIFY(capture.contains("[Config] Not saving config file : " + path));
            QVERIFY(QFileInfo(path).isDir());
            return;
        }
        // A file with errors is kept aside, and a new one holds the values in force.
        const QStringList aside = QDir(dir.path()).entryList({"gui.conf.broken-*"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readBytes(dir.filePath(aside.first())), contents);
        QVERIFY(readBytes(path).contains("level=4\n")
                && readBytes(path).count('=') >= Defaults.size());
    }
    void permissions_data()
    {
        // Modes in octal, file mode 0: no file.
        addTextRows({"file", "directory", "warning"}, R"(
unreadable file | 200 | 755 | Not saving config file
read-only directory, no file | 0 | 555 | Could not write config file
file in read-only directory | 600 | 555 | Could not write config file)");
    }
    void permissions()
    {
        if (::geteuid() == 0) { // root ignores file modes: the row runs again as "nobody"
            ChildProcess child;
            QVERIFY(
                child.start(QCoreApplication::applicationFilePath(),
                            {"--unprivileged", "permissions:" + QString(QTest::currentDataTag())}));
            QVERIFY(child.waitForFinished(240000));
            const QString output = child.standardOutput() + child.standardError();
            QVERIFY2(child.exitCode() == 0 && output.contains("PASS   : TestConfig::permissions("),
                     qPrintable(output));
            return;
        }
        QFETCH(QString, file);
        QFETCH(QString, directory);
        QFETCH(QString, warning);
        const int fileMode = file.toInt(nullptr, 8), dirMode = directory.toInt(nullptr, 8);
        QTemporaryDir dir;
        const QString path = dir.filePath("gui.conf");
        if (fileMode)
            QVERIFY(write(path, "[log]\nlevel=4\n[mqtt]\nhost=kept.local\n")
                    && ::chmod(qPrintable(path), fileMode) == 0);
        QVERIFY(::chmod(qPrintable(dir.path()), dirMode) == 0);
        MessageCapture capture;
        Config config(path, Defaults);
        config.set("gui/locale", "en_US"); // in memory at least
        QCOMPARE(config.get("gui/locale"), QVariant("en_US"));
        QVERIFY(config.waitForWritten());
        const QString warnings = capture.messages(QtWarningMsg).join('\n');
        QVERIFY2(warnings.contains(warning), qPrintable(warnings));
        if (fileMode == 0600) // no replacement can be made beside it: left as it was
            QCOMPARE(readBytes(path), QByteArray("[log]\nlevel=4\n[mqtt]\nhost=kept.local\n"));
        // Once the file may be used, its values come in and it is written in full.
        QVERIFY(::chmod(qPrintable(dir.path()), 0755) == 0);
        QVERIFY(fileMode ? ::chmod(qPrintable(path), 0600) == 0 : write(path, "[log]\nlevel=4\n"));
        QVERIFY(edit(path, "level=4", "level=3", "in place"));
        QTRY_COMPARE_WITH_TIMEOUT(config.get("log/level"), QVariant("3"), 30000);
        QCOMPARE(config.get("mqtt/host"), QVariant(fileMode ? "kept.local" : "localhost"));
        config.set("gui/locale", "de_DE");
        QVERIFY(config.waitForWritten());
        QCOMPARE(readBytes(path).count('='), Defaults.size());
    }
};

int main(int argc, char* argv[])
{
    const bool unprivileged = argc > 1 && qstrcmp(argv[1], "--unprivileged") == 0;
    if (unprivileged) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            std::perror("dropping privileges");
            return 1;
        }
        ::prctl(PR_SET_DUMPABLE, 1); // for the leak checker of sanitizer builds
    }
    QCoreApplication app(argc, argv);
    TestConfig test;
    return QTest::qExec(&test, argc - unprivileged, argv + unprivileged);
}

#include "tst_config.moc"
