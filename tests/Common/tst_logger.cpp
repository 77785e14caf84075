// The logger takes over the whole process's message output, so every case runs in a
// second instance of this program ("--scenario <name>") whose standard error is read
// here.

#include "ChildProcess.h"
#include "Logger.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <ctime>

using manager::Logger;

namespace {

const char* const ScenarioRole = "--scenario";

Q_LOGGING_CATEGORY(qtInternal, "qt.kvrt.test")
Q_LOGGING_CATEGORY(ownCategory, "kvrt.test")

// Every kind of message, each tagged with the given label.
void emitAll(const QString& label)
{
    qCritical().noquote().nospace() << label << " critical";
    qWarning().noquote().nospace() << label << " warning";
    qInfo().noquote().nospace() << label << " info";
    qDebug().noquote().nospace() << label << " debug";
    qCInfo(ownCategory).noquote().nospace() << label << " category info";
    qCWarning(qtInternal).noquote().nospace() << label << " qt warning";
    qCDebug(qtInternal).noquote().nospace() << label << " qt debug";
}

double realTimeMsec()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return (double(now.tv_sec) * 1e9 + double(now.tv_nsec)) / 1e6;
}

int runScenario(const QString& name)
{
    if (name == "initial") {
        qInfo().noquote().nospace() << "[Test] before the logger";
        const double before = realTimeMsec();
        Logger* logger = Logger::instance();
        const double after = realTimeMsec();
        if (Logger::instance() != logger)
            return 2;
        // Standard error is off at first, syslog on.
        qInfo().noquote().nospace() << "[Test] not on stderr";
        logger->setStderr(true);
        qInfo().noquote().nospace()
            << "[Test] syslog=" << logger->getSyslog() << " stderr=" << logger->getStderr()
            << " started=" << (logger->getStartTime() >= before && logger->getStartTime() <= after);
        // Created at INFO level.
        qDebug().noquote().nospace() << "[Test] debug hidden";
        return 0;
    }

    Logger* logger = Logger::instance();
    logger->setSyslog(false);
    logger->setStderr(true);

    if (name == "levels") {
        const QList<Logger::Level> levels {Logger::ERROR, Logger::WARNING, Logger::INFO,
                                           Logger::DEBUG, Logger::TRACE};
        for (const Logger::Level level : levels) {
            logger->setLevel(level);
            emitAll(QStringLiteral("level%1").arg(int(level)));
        }
        for (const int level : {0, 1, 2, 3, 4, 7, -1}) {
            logger->setLevel(level);
            emitAll(QStringLiteral("int%1").arg(level));
        }
    } else if (name == "defaults") {
        // The configuration's defaults: level 2, both outputs, no colour.
        logger->setLevel(2);
        logger->setStderr(true);
        logger->setSyslog(true);
        logger->setColor(false);
        emitAll(QStringLiteral("defaults"));
    } else if (name == "color") {
        logger->setLevel(Logger::DEBUG);
        logger->setColor(true);
        emitAll(QStringLiteral("colored"));
        logger->setColor(false);
        emitAll(QStringLiteral("plain"));
    } else if (name == "silent") {
        logger->setStderr(false);
        logger->setSyslog(false);
        emitAll(QStringLiteral("silent"));
        logger->setStderr(true);
        qInfo().noquote().nospace() << "[Test] done";
    } else if (name == "fatal") {
        qFatal("[Test] fatal message");
    } else if (name == "silent-fatal") {
        logger->setStderr(false);
        qFatal("[Test] silent fatal message");
    } else if (name == "threads") {
        QList<QThread*> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([t] {
                for (int i = 0; i < 250; ++i)
                    qInfo().noquote().nospace() << "[Test] thread " << t << " message " << i;
            }));
        }
        for (QThread* thread : qAsConst(threads))
            thread->start();
        for (QThread* thread : qAsConst(threads)) {
            thread->wait();
            delete thread;
        }
    } else {
        return 2;
    }
    return 0;
}

// One line of standard error: the time stamp and the text.
// Nine characters, three decimals: "[    1.234] text".
const QRegularExpression StampedLine(QStringLiteral("^\\[([ 0-9]{4}[0-9]\\.[0-9]{3})\\] (.*)$"));

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initialState();
    void levels_data();
    void levels();
    void defaultConfiguration();
    void colors();
    void bothOutputsOff();
    void fatalAborts_data();
    void fatalAborts();
    void concurrentThreads();
    void messagesFromQtWhileLocked();

private:
    // Runs a scenario and returns its standard error split into lines.
    QStringList run(const QString& scenario, bool expectCrash = false,
                    const QProcessEnvironment& environment = ChildProcess::defaultEnvironment());
    // The texts of the stamped lines.
    QStringList texts(const QStringList& lines);
};

QStringList TestLogger::run(const QString& scenario, bool expectCrash,
                            const QProcessEnvironment& environment)
{
    ChildProcess child;
    child.setEnvironment(environment);
    if (!child.start(QCoreApplication::applicationFilePath(), {ScenarioRole, scenario}))
        return {"cannot start"};
    if (!child.waitForFinished(120000))
        return {"did not finish"};
    const bool crashed = child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0;
    if (crashed != expectCrash)
        return {QStringLiteral("unexpected end, exit code %1: ").arg(child.exitCode())
                + child.standardError()};
    QStringList lines = child.standardError().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList TestLogger::texts(const QStringList& lines)
{
    QStringList result;
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = StampedLine.match(line);
        if (match.hasMatch())
            result.append(match.captured(2));
    }
    return result;
}

void TestLogger::initialState()
{
    const QStringList lines = run("initial");
    // Before the logger exists, Qt's own output applies (no time stamp); then standard
    // error is off until enabled.
    QVERIFY2(lines.contains("[Test] before the logger"), qPrintable(lines.join('\n')));
    QVERIFY(!lines.join('\n').contains("not on stderr"));
    QCOMPARE(texts(lines), QStringList {"[Test] syslog=true stderr=true started=true"});
}

void TestLogger::levels_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("expected");

    // Qt's own categories (qt.*) stay silent below TRACE.
    const QStringList error {"critical"};
    const QStringList warning {"critical", "warning"};
    const QStringList info {"critical", "warning", "info", "category info"};
    const QStringList debug {"critical", "warning", "info", "debug", "category info"};
    const QStringList trace {"critical",      "warning",    "info",    "debug",
                             "category info", "qt warning", "qt debug"};

    QTest::newRow("ERROR") << "level0" << error;
    QTest::newRow("WARNING") << "level1" << warning;
    QTest::newRow("INFO") << "level2" << info;
    QTest::newRow("DEBUG") << "level3" << debug;
    QTest::newRow("TRACE") << "level4" << trace;
    QTest::newRow("0") << "int0" << error;
    QTest::newRow("1") << "int1" << warning;
    QTest::newRow("2") << "int2" << info;
    QTest::newRow("3") << "int3" << debug;
    QTest::newRow("4") << "int4" << trace;
    QTest::newRow("7 means INFO") << "int7" << info;
    QTest::newRow("-1 means INFO") << "int-1" << info;
}

void TestLogger::levels()
{
    QFETCH(QString, label);
    QFETCH(QStringList, expected);

    static QStringList lines;
    if (lines.isEmpty())
        lines = run("levels");

    QStringList seen;
    for (const QString& text : texts(lines)) {
        // "[qt.kvrt.test] ..." would only show with the coloured pattern.
        if (text.startsWith(label + ' '))
            seen.append(text.mid(label.size() + 1));
    }
    QCOMPARE(seen, expected);
}

void TestLogger::defaultConfiguration()
{
    const QStringList lines = run("defaults");
    // Every line is stamped; info and above come out, plain.
    for (const QString& line : lines)
        QVERIFY2(StampedLine.match(line).hasMatch(), qPrintable(line));
    QCOMPARE(texts(lines),
             (QStringList {"defaults critical", "defaults warning", "defaults info",
                           "defaults category info"}));
    QVERIFY(!lines.join('\n').contains('\033'));
}

void TestLogger::colors()
{
    const QStringList shown = texts(run("color"));
    const QString esc = QStringLiteral("\033");
    QCOMPARE(shown,
             (QStringList {esc + "[31mcolored critical" + esc + "[39m",
                           esc + "[33mcolored warning" + esc + "[39m", "colored info",
                           esc + "[35mcolored debug" + esc + "[39m",
                           // Categories other than the default one are named.
                           "[kvrt.test] colored category info", "plain critical", "plain warning",
                           "plain info", "plain debug", "plain category info"}));
}

void TestLogger::bothOutputsOff()
{
    const QStringList lines = run("silent");
    QCOMPARE(lines.size(), 1);
    QCOMPARE(texts(lines), QStringList {"[Test] done"});
}

void TestLogger::fatalAborts_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("shown");
    QTest::newRow("to stderr") << "fatal" << true;
    QTest::newRow("no output") << "silent-fatal" << false;
}

void TestLogger::fatalAborts()
{
    QFETCH(QString, scenario);
    QFETCH(bool, shown);

    const QStringList lines = run(scenario, true);
    const QString all = lines.join('\n');
    QVERIFY2(!all.startsWith("unexpected end") && !all.startsWith("did not"), qPrintable(all));
    if (!shown) {
        QVERIFY(!all.contains("fatal message"));
        return;
    }
    // The fatal pattern names the place and the process.
    const QRegularExpression fatal(QStringLiteral(
        "^\\[[ 0-9]{4}[0-9]\\.[0-9]{3}\\] \\S.* at \\S+:\\d+ \\(\\d+:\\d+:0x[0-9a-f]+\\) "
        "- \\[Test\\] fatal message$"));
    bool found = false;
    for (const QString& line : lines)
        found = found || fatal.match(line).hasMatch();
    QVERIFY2(found, qPrintable(all));
}

void TestLogger::concurrentThreads()
{
    const QStringList lines = run("threads");
    // Every message arrives whole, on a line of its own.
    QCOMPARE(lines.size(), 1000);
    const QRegularExpression text(QStringLiteral("^\\[Test\\] thread [0-3] message \\d+$"));
    QSet<QString> distinct;
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = StampedLine.match(line);
        QVERIFY2(match.hasMatch() && text.match(match.captured(2)).hasMatch(), qPrintable(line));
        distinct.insert(match.captured(2));
    }
    QCOMPARE(distinct.size(), 1000);
}

void TestLogger::messagesFromQtWhileLocked()
{
    // With this variable Qt reports every change of the filter rules as a message of
    // its own, emitted while the logger applies the level.
    QProcessEnvironment environment = ChildProcess::defaultEnvironment();
    environment.insert("QT_LOGGING_DEBUG", "1");
    const QStringList shown = texts(run("levels", false, environment));
    QVERIFY2(shown.contains("Loading logging rules set by QLoggingCategory::setFilterRules ..."),
             qPrintable(shown.join('\n')));
    QVERIFY(shown.contains("int-1 info"));
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], ScenarioRole) == 0)
        return runScenario(QString::fromLocal8Bit(argv[2]));

    TestLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
