// The configuration store on real files in scratch directories: creation, values,
// overrides, edits made by others while it runs, JSON conversion, and files it
// cannot use. Cases that depend on file permissions run in a second instance of this
// program under an unprivileged user (root may read and write anything).

#include "ChildProcess.h"
#include "Config.h"
#include "GUIManager.h"
#include "MessageCapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const UnprivilegedRole = "--unprivileged";

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Rewrites the file in place, as a simple editor or `echo >` does.
bool writeInPlace(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(contents) == contents.size();
}

// Writes a new file and renames it over the old one, as most editors do.
bool replaceByRename(const QString& path, const QByteArray& contents)
{
    const QString temporary = path + QStringLiteral(".new");
    return writeInPlace(temporary, contents)
        && std::rename(QFile::encodeName(temporary).constData(),
                       QFile::encodeName(path).constData())
        == 0;
}

bool editInPlace(const QString& path, const QByteArray& from, const QByteArray& to)
{
    QByteArray contents = readBytes(path);
    if (!contents.contains(from))
        return false;
    return writeInPlace(path, contents.replace(from, to));
}

// The two signals of a store, in the order they arrive.
class Recorder : public QObject
{
public:
    explicit Recorder(Config& config)
    {
        connect(&config, &Config::configFileChanged, this, [this] { events.append("file"); });
        connect(&config, &Config::configChanged, this, [this](const QVariantMap& changes) {
            events.append("changed");
            this->changes.append(changes);
        });
    }
    QStringList events;
    QList<QVariantMap> changes;
};

// Sections and "name=" lines of an INI text.
QStringList sections(const QByteArray& contents)
{
    QStringList result;
    for (const QByteArray& line : contents.split('\n')) {
        if (line.startsWith('['))
            result.append(QString::fromUtf8(line));
    }
    return result;
}

int entryCount(const QByteArray& contents)
{
    int count = 0;
    for (const QByteArray& line : contents.split('\n')) {
        if (line.contains('='))
            ++count;
    }
    return count;
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultsTable();
    void firstStartCreatesFile();
    void existingFileIsReadNotRewritten();

    void overridesUntilSet();
    void defaultsAddedLater();
    void setStoresAndReports();
    void setUnchangedWritesNothing();

    void externalEdit();
    void externalReplace();
    void externalRemoveAndRecreate();
    void externalSaveUnchanged();

    void fromJson();
    void fromJsonUnchanged();
    void toJsonAndPrint();

    void unusableFile_data();
    void unusableFile();
    void permissions();

private:
    QTemporaryDir m_dir;
};

void TestConfig::defaultsTable()
{
    const QVariantMap& defaults = GUIManager::Defaults;
    QCOMPARE(defaults.size(), 31);

    QSet<QString> groups;
    for (const QString& key : defaults.keys())
        groups.insert(key.section('/', 0, 0));
    QCOMPARE(groups, (QSet<QString> {"gui", "log", "mqtt", "topics"}));

    // Readers depend on the types: numbers, flags and texts.
    const QStringList integers {"log/level",         "mqtt/port",
                                "gui/displayOffMin", "gui/shutdownDelaySec",
                                "gui/animSwitchSec", "gui/currentErrorScreen"};
    const QStringList booleans {"log/syslog",       "log/stderr",      "log/color",
                                "gui/showCursor",   "gui/isEntryGate", "gui/errorOccured",
                                "gui/showErrorDesc"};
    for (auto it = defaults.constBegin(); it != defaults.constEnd(); ++it) {
        int expected = QMetaType::QString;
        if (integers.contains(it.key()))
            expected = QMetaType::Int;
        else if (booleans.contains(it.key()))
            expected = QMetaType::Bool;
        QVERIFY2(it.value().userType() == expected, qPrintable(it.key()));
    }

    QCOMPARE(defaults.value("log/level"), QVariant(2));
    QCOMPARE(defaults.value("log/syslog"), QVariant(true));
    QCOMPARE(defaults.value("log/stderr"), QVariant(true));
    QCOMPARE(defaults.value("log/color"), QVariant(false));
    QCOMPARE(defaults.value("mqtt/host"), QVariant("localhost"));
    QCOMPARE(defaults.value("mqtt/port"), QVariant(1883));
    QCOMPARE(defaults.value("mqtt/base"), QVariant("ovant/ui"));
    QCOMPARE(defaults.value("gui/settingsPin"), QVariant("4826"));
    QCOMPARE(defaults.value("gui/deviceId"), QVariant("/etc/serialnumber"));
    QCOMPARE(defaults.value("gui/locale"), QVariant("el_GR"));
    QCOMPARE(defaults.value("gui/displayOffMin"), QVariant(3));
    QCOMPARE(defaults.value("gui/shutdownDelaySec"), QVariant(60));
    QCOMPARE(defaults.value("gui/screenSaverImg"),
             QVariant("qrc:/qml/images/Icons/pelmo-logo-top-gr.svg"));
    QCOMPARE(defaults.value("topics/dispenser"), QVariant("ovant/dispenser"));
    QCOMPARE(defaults.value("topics/device"), QVariant("ovant/device"));
}

void TestConfig::firstStartCreatesFile()
{
    const QString path = m_dir.filePath("first.conf");
    MessageCapture capture;
    Config config(path, GUIManager::Defaults);

    QCOMPARE(capture.messages(QtWarningMsg),
             QStringList {"[Config] Creating default config file : " + path});
    const QByteArray contents = readBytes(path);
    QCOMPARE(sections(contents), (QStringList {"[gui]", "[log]", "[mqtt]", "[topics]"}));
    QCOMPARE(entryCount(contents), 31);
    QCOMPARE(config.keys(), GUIManager::Defaults.keys());
    QCOMPARE(config.filename(), path);
    QCOMPARE(config.defaults(), GUIManager::Defaults);

    // Another store on the same file finds the same values, as text.
    Config reread(path, GUIManager::Defaults);
    QCOMPARE(reread.keys(), config.keys());
    for (const QString& key : config.keys())
        QCOMPARE(reread.get(key).toString(), config.get(key).toString());
}

void TestConfig::existingFileIsReadNotRewritten()
{
    const QString path = m_dir.filePath("partial.conf");
    // Only some keys, one unknown to the table, in a layout Qt would not write.
    const QByteArray contents = "; kept as written\n[log]\nlevel = 4\n\n[extra]\nnote=hello\n";
    QVERIFY(writeInPlace(path, contents));

    MessageCapture capture;
    Config config(path, GUIManager::Defaults);
    QVERIFY(capture.messages(QtWarningMsg).isEmpty());
    QCOMPARE(readBytes(path), contents);
    QCOMPARE(config.get("log/level"), QVariant("4"));
    QCOMPARE(config.get("mqtt/host"), QVariant("localhost"));
    QCOMPARE(config.get("extra/note"), QVariant("hello"));
    QCOMPARE(config.keys().size(), 32);

    // The first write stores everything, the unknown key included.
    config.set("gui/locale", "en_US");
    Config reread(path, {});
    QCOMPARE(reread.keys().size(), 32);
    QCOMPARE(reread.get("extra/note"), QVariant("hello"));
    QCOMPARE(reread.get("log/level"), QVariant("4"));
    QCOMPARE(reread.get("gui/locale"), QVariant("en_US"));
}

void TestConfig::overridesUntilSet()
{
    const QString path = m_dir.filePath("overrides.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);
    config.addOverrides({{"mqtt/host", "override.local"}, {"config", "overrides.conf"}});

    QCOMPARE(config.get("mqtt/host"), QVariant("override.local"));
    QCOMPARE(config.get("config"), QVariant("overrides.conf"));
    QVERIFY(!config.keys().contains("config"));
    QVERIFY(recorder.events.isEmpty());
    // Overrides are never written.
    QVERIFY(readBytes(path).contains("host=localhost\n"));

    // An edit of the file changes the stored value, not the effective one.
    QVERIFY(editInPlace(path, "host=localhost", "host=edited.local"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.changes.size(), 1, 30000);
    QCOMPARE(recorder.changes.first(), (QVariantMap {{"mqtt/host", "edited.local"}}));
    QCOMPARE(config.get("mqtt/host"), QVariant("override.local"));

    // A later override of the same key wins over the earlier one.
    config.addOverrides({{"mqtt/host", "second.local"}});
    QCOMPARE(config.get("mqtt/host"), QVariant("second.local"));

    // A value chosen at run time lifts the override.
    config.set("mqtt/host", "chosen.local");
    QCOMPARE(config.get("mqtt/host"), QVariant("chosen.local"));
    QVERIFY(readBytes(path).contains("host=chosen.local\n"));
    // Other overrides stay.
    QCOMPARE(config.get("config"), QVariant("overrides.conf"));
}

void TestConfig::defaultsAddedLater()
{
    Config config(m_dir.filePath("added.conf"), GUIManager::Defaults);
    Recorder recorder(config);
    const QByteArray before = readBytes(config.filename());

    QVERIFY(!config.get("no/such").isValid());
    config.addDefaults({{"extra/interval", 5}, {"log/level", 4}});
    QCOMPARE(config.get("extra/interval"), QVariant(5));
    // A stored value still wins over a default.
    QCOMPARE(config.get("log/level"), QVariant(2));
    QCOMPARE(config.defaults().value("log/level"), QVariant(4));
    QVERIFY(!config.keys().contains("extra/interval"));
    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(readBytes(config.filename()), before);
}

void TestConfig::setStoresAndReports()
{
    const QString path = m_dir.filePath("set.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    config.set("log/level", 3);
    QCOMPARE(recorder.events, QStringList {"changed"});
    QCOMPARE(recorder.changes.first(), (QVariantMap {{"log/level", 3}}));
    QCOMPARE(config.get("log/level"), QVariant(3));
    QVERIFY(readBytes(path).contains("\nlevel=3\n"));

    // A key the table does not know is stored as well.
    config.set("extra/name", "value");
    QCOMPARE(config.get("extra/name"), QVariant("value"));
    QVERIFY(readBytes(path).contains("[extra]\nname=value\n"));

    // Our own writes are not reported as edits of the file: the next report is
    // the one caused by this external edit.
    QVERIFY(editInPlace(path, "locale=el_GR", "locale=en_US"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 4, 30000);
    QCOMPARE(recorder.events, (QStringList {"changed", "changed", "file", "changed"}));
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"gui/locale", "en_US"}}));
}

void TestConfig::setUnchangedWritesNothing()
{
    const QString path = m_dir.filePath("unchanged.conf");
    // A layout of our own: any rewrite by the store would change it.
    const QByteArray contents
        = "; hand written\n[log]\nlevel = 2\nsyslog = true\n[gui]\nlocale = el_GR\n";
    QVERIFY(writeInPlace(path, contents));
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    config.set("log/level", 2);
    config.set("log/level", "2");
    config.set("log/syslog", true);
    config.set("gui/locale", "el_GR");
    config.set("mqtt/port", 1883);

    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(readBytes(path), contents);
}

void TestConfig::externalEdit()
{
    const QString path = m_dir.filePath("edit.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    QVERIFY(editInPlace(path, "\nlevel=2\n", "\nlevel=3\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList {"file", "changed"}), 30000);
    QCOMPARE(recorder.changes.first(), (QVariantMap {{"log/level", "3"}}));
    QCOMPARE(recorder.changes.first().value("log/level").userType(), int(QMetaType::QString));
    QCOMPARE(config.get("log/level").toInt(), 3);

    // Several keys at once are reported together; the watch goes on.
    QVERIFY(editInPlace(path, "host=localhost", "host=other.local"));
    QVERIFY(editInPlace(path, "color=false", "color=true"));
    QTRY_VERIFY_WITH_TIMEOUT(config.get("log/color").toBool()
                                 && config.get("mqtt/host") == QVariant("other.local"),
                             30000);
    QVariantMap reported;
    for (const QVariantMap& changes : qAsConst(recorder.changes))
        reported.insert(changes);
    QCOMPARE(
        reported,
        (QVariantMap {{"log/level", "3"}, {"log/color", "true"}, {"mqtt/host", "other.local"}}));
    QCOMPARE(recorder.events.count("file"), recorder.events.count("changed"));
}

void TestConfig::externalReplace()
{
    const QString path = m_dir.filePath("replace.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    QByteArray contents = readBytes(path);
    QVERIFY(replaceByRename(path, contents.replace("\nlevel=2\n", "\nlevel=4\n")));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList {"file", "changed"}), 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "4"}}));

    // The watch follows the new file: an edit in place is still seen...
    QVERIFY(editInPlace(path, "locale=el_GR", "locale=en_US"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 4, 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"gui/locale", "en_US"}}));

    // ...and so is another replacement.
    contents = readBytes(path);
    QVERIFY(replaceByRename(path, contents.replace("\nlevel=4\n", "\nlevel=1\n")));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 6, 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "1"}}));
    QCOMPARE(recorder.events,
             (QStringList {"file", "changed", "file", "changed", "file", "changed"}));
}

void TestConfig::externalRemoveAndRecreate()
{
    const QString path = m_dir.filePath("recreate.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    QVERIFY(QFile::remove(path));
    // Let the store notice the removal before the file comes back.
    QTest::qWait(200);
    QVERIFY(recorder.events.isEmpty());
    QCOMPARE(config.get("log/level"), QVariant(2));

    // Keys missing from the new file keep their values.
    QVERIFY(writeInPlace(path, "[log]\nlevel=4\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList {"file", "changed"}), 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "4"}}));
    QCOMPARE(config.get("mqtt/host"), QVariant("localhost"));

    // Watched again: the next edit is seen too.
    QVERIFY(editInPlace(path, "level=4", "level=1"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 4, 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "1"}}));

    // A store whose file was removed writes it again in full.
    QVERIFY(QFile::remove(path));
    QTest::qWait(200);
    config.set("gui/locale", "en_US");
    QCOMPARE(entryCount(readBytes(path)), 31);
}

void TestConfig::externalSaveUnchanged()
{
    const QString path = m_dir.filePath("resave.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    // The same values written again, in place and by replacement, in another layout.
    const QByteArray contents = readBytes(path);
    QVERIFY(writeInPlace(path, contents));
    QVERIFY(replaceByRename(path, QByteArray(contents).replace("=", " = ")));

    // Only the following real change may be reported.
    QVERIFY(editInPlace(path, "base = ovant/ui", "base = ovant/ui2"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList {"file", "changed"}), 30000);
    QCOMPARE(recorder.changes, (QList<QVariantMap> {{{"mqtt/base", "ovant/ui2"}}}));
}

void TestConfig::fromJson()
{
    const QString path = m_dir.filePath("json.conf");
    Config config(path, GUIManager::Defaults);
    config.addOverrides({{"mqtt/port", 1884}});
    Recorder recorder(config);
    QByteArray fileAtSignal;
    connect(&config, &Config::configChanged, this, [&] { fileAtSignal = readBytes(path); });

    const QJsonObject request = QJsonDocument::fromJson(R"({
        "log": {"level": 3, "color": true},
        "gui": {"noSuchName": 1, "locale": "en_US"},
        "mqtt": "not an object",
        "topics": {"blm": ["not", "a", "text"], "rfid": {"nested": 1}},
        "extra": {"name": "x"},
        "port": 5
    })")
                                    .object();
    QVERIFY(!request.isEmpty());

    MessageCapture capture;
    Config& result = config.fromJson(request);
    QCOMPARE(&result, &config);

    QCOMPARE(recorder.events, QStringList {"changed"});
    const QVariantMap changes = recorder.changes.first();
    QCOMPARE(changes,
             (QVariantMap {{"log/level", 3}, {"log/color", true}, {"gui/locale", "en_US"}}));
    // JSON numbers arrive as doubles.
    QCOMPARE(changes.value("log/level").userType(), int(QMetaType::Double));
    // The file was written before the report went out.
    QVERIFY(fileAtSignal.contains("\nlevel=3\n"));
    QVERIFY(fileAtSignal.contains("locale=en_US\n"));

    // Unknown keys and values of other kinds were ignored, each with a warning.
    QVERIFY(!config.keys().contains("gui/noSuchName"));
    QVERIFY(!config.keys().contains("extra/name"));
    QCOMPARE(config.get("topics/blm"), QVariant("ovant/blm"));
    QCOMPARE(config.get("topics/rfid"), QVariant("ovant/rfid"));
    QCOMPARE(config.get("mqtt/host"), QVariant("localhost"));
    QVERIFY(capture.contains("gui/noSuchName"));
    QVERIFY(capture.contains("extra/name"));
    QVERIFY(capture.contains("topics/blm"));
    QVERIFY(capture.contains(" : mqtt"));

    // Overrides are left alone.
    config.fromJson(QJsonDocument::fromJson(R"({"mqtt": {"port": 1999}})").object());
    QCOMPARE(config.get("mqtt/port"), QVariant(1884));
    QCOMPARE(config.toJson().value("mqtt").toObject().value("port").toInt(), 1999);
}

void TestConfig::fromJsonUnchanged()
{
    const QString path = m_dir.filePath("json-same.conf");
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);
    QVERIFY(editInPlace(path, "\nlevel=2\n", "\nlevel=3\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 30000);
    // Rewrite in a layout of our own, so that any write by the store shows.
    const QByteArray contents = QByteArray(readBytes(path)).replace("=", " = ");
    QVERIFY(writeInPlace(path, contents));

    // The stored text "3" equals the number 3; the others equal their defaults.
    config.fromJson(
        QJsonDocument::fromJson(
            R"({"log": {"level": 3, "syslog": true}, "mqtt": {"host": "localhost", "port": 1883}})")
            .object());
    config.fromJson(QJsonObject());
    QCOMPARE(recorder.events.size(), 2);
    QCOMPARE(readBytes(path), contents);
}

void TestConfig::toJsonAndPrint()
{
    const QString path = m_dir.filePath("print.conf");
    Config config(path, GUIManager::Defaults);
    config.addOverrides({{"mqtt/host", "override.local"}, {"mqtt/password", "s3cret"}});

    // The stored values, with their types.
    const QJsonObject json = config.toJson();
    QCOMPARE(json.keys(), (QStringList {"gui", "log", "mqtt", "topics"}));
    const QJsonObject log = json.value("log").toObject();
    QCOMPARE(log.keys(), (QStringList {"color", "level", "stderr", "syslog"}));
    QVERIFY(log.value("level").isDouble());
    QCOMPARE(log.value("level").toInt(), 2);
    QCOMPARE(log.value("syslog"), QJsonValue(true));
    const QJsonObject mqtt = json.value("mqtt").toObject();
    QCOMPARE(mqtt.value("host"), QJsonValue("localhost"));
    QCOMPARE(mqtt.value("password"), QJsonValue(""));
    QCOMPARE(mqtt.value("port"), QJsonValue(1883));
    QCOMPARE(json.value("gui").toObject().size(), 14);
    QCOMPARE(json.value("topics").toObject().value("blm"), QJsonValue("ovant/blm"));

    // Values read back from the file are text.
    Recorder recorder(config);
    QVERIFY(editInPlace(path, "\nlevel=2\n", "\nlevel=3\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 30000);
    QCOMPARE(config.toJson().value("log").toObject().value("level"), QJsonValue("3"));

    // The printout shows the effective values, aligned, secrets masked.
    MessageCapture capture;
    config.print();
    const QStringList lines = capture.messages(QtInfoMsg);
    const QString rule = "[Config] " + QString(60, '-');
    QCOMPARE(lines.size(), 31 + 4);
    QCOMPARE(lines.at(0), rule);
    QCOMPARE(lines.at(1), "[Config]  SETTINGS (" + path + ")");
    QCOMPARE(lines.at(2), rule);
    QCOMPARE(lines.last(), rule);
    const QStringList entries = lines.mid(3, 31);
    const int column = entries.first().indexOf(" : ");
    QVERIFY(column > 0);
    for (const QString& entry : entries) {
        QVERIFY2(entry.startsWith("[Config]  "), qPrintable(entry));
        QCOMPARE(entry.indexOf(" : "), column);
    }
    QVERIFY(entries.first().startsWith("[Config]  gui/animSwitchSec "));
    QVERIFY(
        entries.contains("[Config]  mqtt/host" + QString(column - 19, ' ') + " : override.local"));
    QVERIFY(entries.contains("[Config]  log/level" + QString(column - 19, ' ') + " : 3"));
    QVERIFY(
        entries.contains("[Config]  mqtt/password" + QString(column - 23, ' ') + " : ********"));
    QVERIFY(!lines.join('\n').contains("s3cret"));
    // Longest key: no padding.
    QVERIFY(entries.contains("[Config]  gui/currentErrorScreen : 0"));
}

void TestConfig::unusableFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("directory");
    QTest::addColumn<QString>("warning");

    static const char garbage[] = "\x00\x01\xff\xfe[\x9c\x80 level\n\x00=\x7f\n[";
    QTest::newRow("binary garbage")
        << QByteArray(garbage, sizeof(garbage) - 1) << false << QString("syntax errors");
    QTest::newRow("broken section")
        << QByteArray("[extra\nname=4\n") << false << QString("syntax errors");
    QTest::newRow("empty") << QByteArray() << false << QString();
    QTest::newRow("a directory") << QByteArray() << true << QString("Cannot read config file");
}

void TestConfig::unusableFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, directory);
    QFETCH(QString, warning);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("gui.conf");
    if (directory)
        QVERIFY(QDir().mkdir(path));
    else
        QVERIFY(writeInPlace(path, contents));

    MessageCapture capture;
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);

    // The defaults are in force and the file is as it was.
    for (const QString& key : GUIManager::Defaults.keys())
        QCOMPARE(config.get(key).toString(), GUIManager::Defaults.value(key).toString());
    if (!warning.isEmpty())
        QVERIFY2(capture.contains(warning), qPrintable(capture.messages().join('\n')));
    else
        QVERIFY(capture.messages(QtWarningMsg).isEmpty());
    QVERIFY(!capture.contains("Creating default config file"));
    QCOMPARE(QFileInfo(path).isDir(), directory);
    if (!directory)
        QCOMPARE(readBytes(path), contents);

    // A value set at run time takes effect and is reported...
    config.set("log/level", 4);
    QCOMPARE(config.get("log/level"), QVariant(4));
    QCOMPARE(recorder.changes, (QList<QVariantMap> {{{"log/level", 4}}}));
    QVERIFY(config.fromJson(QJsonDocument::fromJson(R"({"gui": {"locale": "en_US"}})").object())
                .get("gui/locale")
            == QVariant("en_US"));

    if (warning.isEmpty()) {
        // ...and an empty file, which was read without trouble, is simply written.
        QCOMPARE(entryCount(readBytes(path)), 31);
        QVERIFY(readBytes(path).contains("\nlevel=4\n"));
        return;
    }
    // ...but a file that could not be read is not overwritten.
    QVERIFY(capture.contains("[Config] Not saving config file : " + path));
    QCOMPARE(QFileInfo(path).isDir(), directory);
    if (directory)
        return;
    QCOMPARE(readBytes(path), contents);

    // Once someone repairs the file, the store reads it and writes it again.
    QVERIFY(writeInPlace(path, "[log]\nlevel=1\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 4, 30000);
    QCOMPARE(recorder.events.mid(2), (QStringList {"file", "changed"}));
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "1"}}));
    config.set("gui/locale", "de_DE");
    const QByteArray repaired = readBytes(path);
    // Whatever could be read from the damaged file is kept as well.
    QVERIFY(entryCount(repaired) >= 31);
    QVERIFY(repaired.contains("\nlevel=1\n"));
    QVERIFY(repaired.contains("locale=de_DE\n"));
}

// Runs the permission cases in a second instance of this program; as root, that
// instance first becomes the unprivileged user "nobody".
void TestConfig::permissions()
{
    ChildProcess child;
    QVERIFY(child.start(QCoreApplication::applicationFilePath(), {UnprivilegedRole}));
    QVERIFY(child.waitForFinished(240000));
    const QString output = child.standardOutput() + child.standardError();
    if (child.exitCode() == 77)
        QSKIP(qPrintable("cannot run unprivileged: " + output));
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             qPrintable(output));
    QVERIFY2(output.contains("Totals: "), qPrintable(output));
}

// Cases that need file permissions to be enforced.
class TestConfigPermissions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void unreadableFile();
    void unwritableDirectoryWithoutFile();
    void fileInUnwritableDirectory();
};

void TestConfigPermissions::unreadableFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("gui.conf");
    const QByteArray contents = "[log]\nlevel=4\n[mqtt]\nhost=kept.local\n";
    QVERIFY(writeInPlace(path, contents));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0200) == 0);

    MessageCapture capture;
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);
    QVERIFY2(capture.contains("[Config] Cannot read config file : " + path),
             qPrintable(capture.messages().join('\n')));
    QCOMPARE(config.get("log/level"), QVariant(2));

    // Changes live in memory; the file, whose contents are unknown, is not replaced.
    config.set("log/level", 3);
    QCOMPARE(config.get("log/level"), QVariant(3));
    QCOMPARE(recorder.events, QStringList {"changed"});
    QVERIFY(capture.contains("[Config] Not saving config file : " + path));

    // Once it may be read, its values come in and it is written again.
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0600) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, 30000);
    QCOMPARE(recorder.events.mid(1), (QStringList {"file", "changed"}));
    QCOMPARE(recorder.changes.last(),
             (QVariantMap {{"log/level", "4"}, {"mqtt/host", "kept.local"}}));
    config.set("gui/locale", "en_US");
    const QByteArray written = readBytes(path);
    QCOMPARE(entryCount(written), 31);
    QVERIFY(written.contains("\nlevel=4\n"));
    QVERIFY(written.contains("host=kept.local\n"));
}

void TestConfigPermissions::unwritableDirectoryWithoutFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("gui.conf");
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0555) == 0);

    MessageCapture capture;
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);
    QVERIFY(capture.contains("[Config] Creating default config file : " + path));
    QVERIFY(capture.contains("[Config] Could not write config file : " + path));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(config.get("log/level"), QVariant(2));

    config.set("log/level", 3);
    QCOMPARE(config.get("log/level"), QVariant(3));
    QCOMPARE(recorder.events, QStringList {"changed"});

    // A file that appears later is picked up.
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    QVERIFY(writeInPlace(path, "[log]\nlevel=1\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"log/level", "1"}}));
}

void TestConfigPermissions::fileInUnwritableDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("gui.conf");
    {
        Config creator(path, GUIManager::Defaults);
    }
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0555) == 0);

    MessageCapture capture;
    Config config(path, GUIManager::Defaults);
    Recorder recorder(config);
    // No temporary file can be made beside it, so it is updated in place.
    config.set("log/level", 3);
    QVERIFY(readBytes(path).contains("\nlevel=3\n"));
    QVERIFY(capture.messages(QtWarningMsg).isEmpty());

    // Still watched.
    QVERIFY(editInPlace(path, "locale=el_GR", "locale=en_US"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, 30000);
    QCOMPARE(recorder.changes.last(), (QVariantMap {{"gui/locale", "en_US"}}));
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
}

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], UnprivilegedRole) == 0) {
        if (::geteuid() == 0) {
            const gid_t nobodyGroup = 65534;
            const uid_t nobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGroup) != 0
                || ::setuid(nobody) != 0) {
                std::perror("dropping privileges");
                return 77;
            }
            // Changing the user makes the process undumpable, which the leak
            // checker of sanitizer builds needs.
            ::prctl(PR_SET_DUMPABLE, 1);
        }
        QCoreApplication app(argc, argv);
        TestConfigPermissions test;
        QStringList arguments = app.arguments();
        arguments.removeAt(1);
        return QTest::qExec(&test, arguments);
    }

    QCoreApplication app(argc, argv);
    TestConfig test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_config.moc"
