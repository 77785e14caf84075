// The Debian packages as a terminal receives them: made by cpack from this build tree,
// unpacked with dpkg-deb and checked file by file; the programs run where they were unpacked.

#include <QDir>
#include <QJSEngine>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

class TestPackaging : public QObject
{
    Q_OBJECT

    const QStringList Packages = {"kvrtterminalui", "kvrt-simulator"};
    const QString Rules = "/usr/share/polkit-1/rules.d/kvrtterminalui.rules";
    QTemporaryDir m_dir;
    const QString m_root = m_dir.filePath("root");
    QMap<QString, QString> m_debs;
    QString m_output; // of the last run()
    QString unitFile(const QString& package) const
    {
        return m_root + KVRT_SYSTEMD_UNIT_DIR "/" + package + ".service";
    }
    // Runs a program in the build tree to its end: its exit code, -1 if it did not end normally.
    int run(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.setWorkingDirectory(KVRT_BINARY_DIR);
        process.start(program, arguments);
        const bool ended = process.waitForFinished(280000);
        m_output = process.readAllStandardOutput() + process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString out = m_dir.filePath("out");
        QVERIFY2(run(KVRT_CPACK, {"-G", "DEB", "-B", out}) == 0, qPrintable(m_output));
        for (const QString& package : Packages) {
            const QStringList debs = QDir(out).entryList({package + "_*.deb"});
            QVERIFY2(debs.size() == 1, qPrintable(package));
            m_debs[package] = out + '/' + debs.first();
            QCOMPARE(run("dpkg-deb", {"-x", m_debs[package], m_root}), 0);
        }
    }
    // "kind path": a program (with its version option), a sound or another file.
    void files_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("path");
        const QString opt = "/opt/ovant/kvrtterminalui/";
        QStringList rows = {"-V " + opt + "KVRTTerminalUI", "sound " + opt + "Valid.wav",
                            "sound " + opt + "Invalid.wav", "--version /usr/bin/kvrt-simulator",
                            "file " + Rules};
        for (const QString& p : Packages)
            rows << "file " KVRT_SYSTEMD_UNIT_DIR "/" + p + ".service"
                 << "file /etc/default/" + p << "file /usr/share/doc/" + p + "/copyright"
                 << "file /usr/share/doc/" + p + "/changelog.gz";
        for (const QString& row : rows)
            QTest::newRow(qPrintable(row)) << row.section(' ', 0, 0) << row.section(' ', 1);
    }
    void files()
    {
        QFETCH(QString, kind);
        QFETCH(QString, path);
        QFile file(m_root + path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        QCOMPARE(QFileInfo(file).isExecutable(), kind.startsWith('-')); // a version option
        if (kind.startsWith('-')) {
            QCOMPARE(run(file.fileName(), {kind}), 0);
            QVERIFY2(m_output.contains(QFileInfo(path).fileName()), qPrintable(m_output));
        } else if (kind == "sound") { // canonical RIFF/WAVE of PCM samples, at most a second
            const QByteArray wav = file.readAll();
            const auto u32 = [&](int at) { return qFromLittleEndian<quint32>(wav.data() + at); };
            QVERIFY(wav.size() > 44 && wav.startsWith("RIFF") && wav.mid(8, 8) == "WAVEfmt ");
            QVERIFY(qFromLittleEndian<quint16>(wav.data() + 20) == 1 && wav.mid(36, 4) == "data");
            QVERIFY(u32(40) == quint32(wav.size() - 44) && u32(40) <= u32(28)); // bytes/second
        }
    }
    // "package option field words...": words expected in dpkg-deb's answer.
    void control_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("terminal") << "kvrtterminalui -f Depends libqt5core5a mosquitto, "
                                     "qml-module-qtquick-controls2 adduser, polkitd";
        QTest::newRow("simulator") << "kvrt-simulator -f Depends libmosquitto1 mosquitto,";
        for (const QString& p : Packages)
            QTest::newRow(qPrintable(p + " conffiles")) << p + " -I conffiles /etc/default/" + p;
    }
    void control()
    {
        QFETCH(QString, row);
        const QStringList words = row.split(' ');
        QCOMPARE(run("dpkg-deb", {words[1], m_debs.value(words[0]), words[2]}), 0);
        for (const QString& word : words.mid(3))
            QVERIFY2(m_output.contains(word), qPrintable(word + " not in: " + m_output));
    }
    // The Architecture field names the machine the package's program is built for, as its
    // ELF header tells (a cross build is packaged on another machine).
    void architecture_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("kvrtterminalui") << "/opt/ovant/kvrtterminalui/KVRTTerminalUI";
        QTest::newRow("kvrt-simulator") << "/usr/bin/kvrt-simulator";
    }
    void architecture()
    {
        QFETCH(QString, program);
        QFile file(m_root + program);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray elf = file.read(52);
        QVERIFY(elf.size() == 52
                && elf.startsWith("\x7f"
                                  "ELF"));
        const quint16 machine = qFromLittleEndian<quint16>(elf.constData() + 18);
        const bool hardFloat = qFromLittleEndian<quint32>(elf.constData() + 36) & 0x400;
        const QMap<quint16, QString> debian
            = {{3, "i386"}, {62, "amd64"}, {183, "arm64"}, {40, hardFloat ? "armhf" : "armel"}};
        QCOMPARE(run("dpkg-deb", {"-f", m_debs.value(QTest::currentDataTag()), "Architecture"}), 0);
        QCOMPARE(m_output.trimmed(),
                 debian.value(machine, "ELF machine " + QString::number(machine)));
    }
    // As installed, but with the programs taken from the unpacked tree. Bad keys and
    // values are only warned about, naming the unit.
    void unitsVerify()
    {
        const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        for (const QString& package : Packages) {
            const QString unit = package + ".service";
            QFile installed(unitFile(package)), copy(m_dir.filePath(unit));
            QVERIFY(installed.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly));
            const QByteArray root = "\nExecStart=" + m_root.toUtf8() + '/';
            copy.write(installed.readAll().replace("\nExecStart=/", root));
            copy.close();
            QCOMPARE(run(analyze, {"verify", "--man=no", copy.fileName()}), 0);
            QVERIFY2(!m_output.contains(unit), qPrintable(m_output));
        }
    }
    // Each service is confined (at most 4.9, "OK", by the analyser's measure) and runs as a
    // user of its own: the package's system user, made in the device groups of the display
    // and the touch screen, or a dynamic one.
    void unitsConfined_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("user"); // lines of the unit
        QTest::addColumn<QStringList>("postinst"); // lines of its postinst
        QTest::newRow("terminal") << "kvrtterminalui"
                                  << "User=kvrtterminalui\nGroup=kvrtterminalui"
                                  << QStringList {"adduser --system --group --home /nonexistent "
                                                  "--no-create-home --quiet kvrtterminalui",
                                                  "for group in video render input; do"};
        QTest::newRow("simulator") << "kvrt-simulator"
                                   << "DynamicUser=yes" << QStringList();
    }
    void unitsConfined()
    {
        QFETCH(QString, package);
        QFETCH(QString, user);
        QFETCH(QStringList, postinst);
        const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        QCOMPARE(run(analyze, {"security", "--offline=true", "--no-pager", unitFile(package)}), 0);
        const QRegularExpressionMatch level
            = QRegularExpression("Overall exposure level for \\S+: (\\d+\\.\\d)").match(m_output);
        QVERIFY2(level.hasMatch() && level.captured(1).toDouble() <= 4.9, qPrintable(m_output));
        QFile unit(unitFile(package));
        QVERIFY(unit.open(QIODevice::ReadOnly) && unit.readAll().contains(user.toUtf8() + '\n'));
        QCOMPARE(run("dpkg-deb", {"-I", m_debs.value(package), "postinst"}), 0);
        for (const QString& line : postinst)
            QVERIFY2(m_output.contains(line + '\n'), qPrintable(m_output));
    }
    // "action user": what the polkit rule answers, run by a JavaScript engine with polkit's
    // interface; only the time zone, and only for the service's user.
    void polkitRule_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("result");
        const QString timedate = "org.freedesktop.timedate1.";
        QTest::newRow("time zone") << timedate + "set-timezone"
                                   << "kvrtterminalui"
                                   << "yes";
        QTest::newRow("another user") << timedate + "set-timezone"
                                      << "kvrt"
                                      << "undefined";
        for (const char* other : {"set-time", "set-ntp", "set-local-rtc"})
            QTest::newRow(other) << timedate + other << "kvrtterminalui"
                                 << "undefined";
    }
    void polkitRule()
    {
        QFETCH(QString, action);
        QFETCH(QString, user);
        QFETCH(QString, result);
        QFile file(m_root + Rules);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJSEngine engine;
        engine.evaluate("var rules = []; var polkit = {Result: {YES: 'yes', NO: 'no'}, "
                        "addRule: function (rule) { rules.push(rule); }};");
        const QJSValue loaded = engine.evaluate(QString::fromUtf8(file.readAll()), Rules);
        QVERIFY2(!loaded.isError(), qPrintable(loaded.toString()));
        const QJSValue answer = engine.evaluate(
            QString("rules.length + ' ' + rules[0]({id: '%1'}, {user: '%2'})").arg(action, user));
        QCOMPARE(answer.toString(), "1 " + result);
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "tst_packaging.moc"
