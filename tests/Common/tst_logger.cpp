// The logger takes over the whole process's message output, so it runs in a second
// instance of this program ("--scenario") whose standard error is read here.

#include "ChildProcess.h"
#include "Logger.h"

#include <QLoggingCategory>
#include <QThread>
#include <QtTest>

using manager::Logger;

#ifdef KVRT_COVERAGE
extern "C" void __gcov_dump();
#endif

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

[[noreturn]] void runScenario()
{
    qInfo("before");
    Logger* logger = Logger::instance();
    qInfo("not on stderr at first");
    logger->setStderr(true);
    qInfo("syslog=%d stderr=%d", logger->getSyslog(), logger->getStderr());
    emitAll("initial");
    logger->setSyslog(false);
    for (const int level : {0, 1, 2, 4, 7, 3}) {
        logger->setLevel(level);
        emitAll(QString("int%1").arg(level));
    }
    logger->setColor(true);
    emitAll("colored");
    logger->setStderr(false);
    emitAll("silent");
    logger->setStderr(true);
    logger->setColor(false);
    std::unique_ptr<QThread> threads[4];
    for (int t = 0; t < 4; ++t) {
        threads[t].reset(QThread::create([t] {
            for (int i = 0; i < 250; ++i)
                qInfo("thread %d message %d", t, i);
        }));
        threads[t]->start();
    }
    for (auto& thread : threads)
        thread->wait();
    // Held lines wait for the last hold to end; an error, or another thread's line, is
    // written at once, after them.
    {
        const auto mark
            = [](const char* text) { std::fprintf(stderr, "%s\n", text), std::fflush(stderr); };
        const Logger::Hold outer;
        qInfo("hold 1");
        {
            const Logger::Hold inner;
            qWarning("hold 2");
        }
        mark("hold mark 1");
        qCritical("hold 3 critical");
        qInfo("hold 4");
        std::unique_ptr<QThread> other(QThread::create([] { qInfo("hold 5 thread"); }));
        other->start();
        other->wait();
        qInfo("hold 6");
        mark("hold mark 2");
    }
    qInfo("hold 7");
#ifdef KVRT_COVERAGE
    __gcov_dump(); // the fatal message aborts, which skips the usual write at exit
#endif
    qFatal("fatal message");
}

// Standard error of the scenario, each line without its stamp of the seconds since start
// ("[    1.234] text"). With QT_LOGGING_DEBUG Qt reports every change of the filter rules
// with a message of its own, emitted while the logger applies the level.
const QStringList& texts()
{
    static QStringList texts;
    if (!texts.isEmpty())
        return texts;
    ChildProcess child;
    QProcessEnvironment environment = ChildProcess::defaultEnvironment();
    environment.insert("QT_LOGGING_DEBUG", "1");
    child.setEnvironment(environment);
    if (!child.start(QCoreApplication::applicationFilePath(), {"--scenario"})
        || !child.waitForFinished(120000) || child.exitStatus() != QProcess::CrashExit)
        return texts = QStringList {"unexpected end: " + child.standardError()};
    const QRegularExpression stamped("^\\[[ 0-9]{4}[0-9]\\.[0-9]{3}\\] (.*)$");
    for (const QString& line : child.standardError().split('\n', Qt::SkipEmptyParts)) {
        // Under qemu-user the emulator reports the abort on a line of its own.
        if (line.startsWith("qemu: uncaught target signal"))
            continue;
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
    void levelsAndFormats_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QStringList>("expected");
        // Qt's own categories (qt.*) stay silent below TRACE.
        const QStringList warning {"critical", "warning"};
        const QStringList info = warning + QStringList {"info", "category"};
        const QStringList debug {"critical", "warning", "info", "debug", "category"};
        QTest::newRow("ERROR") << "int0" << QStringList {"critical"};
        QTest::newRow("WARNING") << "int1" << warning;
        QTest::newRow("INFO") << "int2" << info;
        QTest::newRow("DEBUG") << "int3" << debug;
        QTest::newRow("TRACE") << "int4" << debug + QStringList {"qt"};
        QTest::newRow("7 means INFO") << "int7" << info;
        QTest::newRow("start: INFO, plain") << "initial" << info;
        const QString esc = "\033[";
        QTest::newRow("colored") << "colored"
                                 << QStringList {esc + "31mcolored critical" + esc + "39m",
                                                 esc + "33mcolored warning" + esc + "39m",
                                                 "colored info",
                                                 esc + "35mcolored debug" + esc + "39m",
                                                 "[kvrt.test] colored category"};
        QTest::newRow("both outputs off") << "silent" << QStringList();
    }
    void levelsAndFormats()
    {
        QFETCH(QString, label);
        QFETCH(QStringList, expected);
        QStringList want;
        for (const QString& text : qAsConst(expected))
            want << (text.contains(label) ? text : label + ' ' + text);
        QCOMPARE(texts().filter(label + ' '), want);
    }
    void outputsThreadsAndFatal()
    {
        // Qt's own output before the logger exists; then standard error is off until enabled.
        const int before = texts().indexOf("unstamped: before");
        QVERIFY2(before >= 0 && texts().indexOf("syslog=1 stderr=1") > before,
                 qPrintable(texts().join('\n')));
        QVERIFY(!texts().join('\n').contains("not on stderr at first"));
        // Qt's messages about the filter rules, emitted under the logger's lock, get through.
        QVERIFY(texts().filter("QLoggingCategory::setFilterRules").size() > 0);
        // Every message from concurrent threads arrives whole, on a line of its own.
        QStringList threads = texts().filter(QRegularExpression("^thread [0-3] message \\d+$"));
        threads.removeDuplicates();
        QCOMPARE(threads.size(), 1000);
        QCOMPARE(
            texts().filter(QRegularExpression("^(unstamped: )?hold ")),
            QStringList({"unstamped: hold mark 1", "hold 1", "hold 2", "hold 3 critical", "hold 4",
                         "hold 5 thread", "unstamped: hold mark 2", "hold 6", "hold 7"}));
        // A fatal message names the place and the process, and aborts.
        QCOMPARE(texts().last(),
                 texts()
                     .filter(QRegularExpression(
                         "^\\S.* at \\S+:\\d+ \\(\\d+:\\d+:0x[0-9a-f]+\\) - fatal message$"))
                     .value(0));
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--scenario") == 0)
        runScenario();
    TestLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
