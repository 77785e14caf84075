// The logger takes over the whole process's message output, so every case runs in a
// second instance of this program ("--scenario <name>") whose standard error is read here.

#include "ChildProcess.h"
#include "Logger.h"

#include <QLoggingCategory>
#include <QThread>
#include <QtTest>

using manager::Logger;

namespace {

Q_LOGGING_CATEGORY(qtInternal, "qt.kvrt.test")
Q_LOGGING_CATEGORY(ownCategory, "kvrt.test")

void emitAll(const QString& label)
{
    qCritical().noquote() << label + " critical";
    qWarning().noquote() << label + " warning";
    qInfo().noquote() << label + " info";
    qDebug().noquote() << label + " debug";
    qCInfo(ownCategory).noquote() << label + " category";
    qCWarning(qtInternal).noquote() << label + " qt";
}

int runScenario(const QString& name)
{
    qInfo("before");
    Logger* logger = Logger::instance();
    qInfo("not on stderr at first");
    logger->setStderr(true);
    qInfo("syslog=%d stderr=%d", logger->getSyslog(), logger->getStderr());
    emitAll("initial");
    logger->setSyslog(false);
    if (name == "levels") {
        for (const int level : {0, 1, 2, 3, 4, 7, -1}) {
            logger->setLevel(level);
            emitAll(QString("int%1").arg(level));
        }
        logger->setLevel(Logger::DEBUG);
        emitAll("enum");
        logger->setColor(true);
        emitAll("colored");
        logger->setStderr(false);
        emitAll("silent");
    } else if (name == "fatal") {
        qFatal("fatal message");
    } else if (name == "threads") {
        QList<QThread*> threads;
        for (int t = 0; t < 4; ++t)
            threads << QThread::create([t] {
                for (int i = 0; i < 250; ++i)
                    qInfo("thread %d message %d", t, i);
            });
        for (QThread* thread : qAsConst(threads))
            thread->start();
        for (QThread* thread : qAsConst(threads))
            thread->wait();
        qDeleteAll(threads);
    }
    return 0;
}

// Every line of standard error is stamped with the seconds since start: "[    1.234] text".
QStringList run(const QString& scenario, int exitStatus = QProcess::NormalExit,
                const QString& extraVariable = QString())
{
    ChildProcess child;
    QProcessEnvironment environment = ChildProcess::defaultEnvironment();
    if (!extraVariable.isEmpty())
        environment.insert(extraVariable, "1");
    child.setEnvironment(environment);
    if (!child.start(QCoreApplication::applicationFilePath(), {"--scenario", scenario})
        || !child.waitForFinished(120000) || child.exitStatus() != exitStatus)
        return {"unexpected end: " + child.standardError()};
    const QRegularExpression stamped("^\\[[ 0-9]{4}[0-9]\\.[0-9]{3}\\] (.*)$");
    QStringList texts;
    for (const QString& line : child.standardError().split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = stamped.match(line);
        texts << (match.hasMatch() ? match.captured(1) : "unstamped: " + line);
    }
    return texts;
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void levelsAndFormats_data();
    void levelsAndFormats();
    void fatalAborts();
    void concurrentThreads();
    void messagesFromQtWhileLocked();
};

void TestLogger::levelsAndFormats_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("expected");
    // Qt's own categories (qt.*) stay silent below TRACE.
    const QStringList error {"critical"};
    const QStringList warning = error + QStringList {"warning"};
    const QStringList info = warning + QStringList {"info", "category"};
    const QStringList debug {"critical", "warning", "info", "debug", "category"};
    QTest::newRow("ERROR") << "int0" << error;
    QTest::newRow("WARNING") << "int1" << warning;
    QTest::newRow("INFO") << "int2" << info;
    QTest::newRow("DEBUG") << "int3" << debug;
    QTest::newRow("TRACE") << "int4" << debug + QStringList {"qt"};
    QTest::newRow("7 means INFO") << "int7" << info;
    QTest::newRow("-1 means INFO") << "int-1" << info;
    QTest::newRow("start: INFO, plain") << "initial" << info;
    QTest::newRow("enum level") << "enum" << debug;
    const QString esc = "\033[";
    QTest::newRow("colored") << "colored"
                             << QStringList {esc + "31mcolored critical" + esc + "39m",
                                             esc + "33mcolored warning" + esc + "39m",
                                             "colored info", esc + "35mcolored debug" + esc + "39m",
                                             "[kvrt.test] colored category"};
    QTest::newRow("both outputs off") << "silent" << QStringList();
}

void TestLogger::levelsAndFormats()
{
    QFETCH(QString, label);
    QFETCH(QStringList, expected);
    static const QStringList texts = run("levels");
    // Qt's own output before the logger exists; then standard error is off until enabled.
    QCOMPARE(texts.mid(0, 3),
             (QStringList {"unstamped: before", "syslog=1 stderr=1", "initial critical"}));
    QStringList want;
    for (const QString& text : qAsConst(expected))
        want << (text.contains(label) ? text : label + ' ' + text);
    const QStringList seen = texts.filter(label + ' ');
    QCOMPARE(seen, want);
}

void TestLogger::fatalAborts()
{
    const QStringList texts = run("fatal", QProcess::CrashExit);
    // The place and the process are named.
    const QRegularExpression fatal(
        "^\\S.* at \\S+:\\d+ \\(\\d+:\\d+:0x[0-9a-f]+\\) - fatal message$");
    QCOMPARE(texts.filter(fatal).size(), 1);
}

void TestLogger::concurrentThreads()
{
    // Every message arrives whole, on a line of its own.
    QStringList texts = run("threads").filter(QRegularExpression("^thread [0-3] message \\d+$"));
    texts.removeDuplicates();
    QCOMPARE(texts.size(), 1000);
}

void TestLogger::messagesFromQtWhileLocked()
{
    // With this variable Qt reports every change of the filter rules with a message of its
    // own, emitted while the logger applies the level.
    const QStringList texts = run("levels", QProcess::NormalExit, "QT_LOGGING_DEBUG");
    QVERIFY2(texts.contains("Loading logging rules set by QLoggingCategory::setFilterRules ..."),
             qPrintable(texts.join('\n')));
    QVERIFY(texts.contains("int-1 info"));
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--scenario") == 0)
        return runScenario(QString::fromLocal8Bit(argv[2]));
    TestLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
