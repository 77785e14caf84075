// The real programs end to end (broker, simulator, terminal on a virtual X display, real
// clicks): what only the whole can show. With KVRT_SCREENSHOT_DIR set, screenshots() writes
// a picture of every screen, in Greek and in English (scripts/screenshots.sh).

#include "TerminalRig.h"
#include "TestPeer.h"

#include <QDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {
// Generous: the machine may be slow and busy; nothing here measures time.
constexpr int StartMs = 60000;
constexpr int StepMs = 30000;
const QString Online = QStringLiteral("KVRTTerminal status changed : online");
} // namespace

class tst_E2E : public QObject
{
    Q_OBJECT

    std::unique_ptr<TerminalRig> m_rig;
    std::unique_ptr<TestPeer> m_peer;

    // Starts the terminal; returns the log position once the gate page is up, or -1.
    int startOnline(bool entryGate, const QString& language = QStringLiteral("en_US"))
    {
        TerminalRig::Options options;
        options.entryGate = entryGate;
        options.language = language;
        return m_rig->startTerminal(options) ? m_rig->waitForLog(Online, 0, StartMs) : -1;
    }

    // Runs a simulator command until it is accepted (a scan waits for the reader).
    bool simulate(const QStringList& words)
    {
        return QTest::qWaitFor([&] { return m_rig->simulate(words) || (QTest::qWait(250), false); },
                               StepMs);
    }

    // Touches the gate page until it reports it: the window may still be on its way.
    bool touchGate(int mark)
    {
        const auto touch = [&] {
            return m_rig->display().click(512, 360)
                && m_rig->waitForLog("[QML] Card requested.", mark, 3000) >= 0;
        };
        return QTest::qWaitFor(touch, StepMs);
    }

    QByteArray failure(const QString& what) const
    {
        return (what + '\n' + m_rig->diagnosis()).toUtf8();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString missing = TerminalRig::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable("needs a virtual display (xvfb, xdotool); missing: " + missing));
        m_rig = std::make_unique<TerminalRig>();
        QVERIFY2(m_rig->startDisplay(), "Xvfb did not start");
        QVERIFY2(m_rig->startBroker(), qPrintable(m_rig->broker().log()));
        // Quick movements; the user takes the card only when told to.
        QVERIFY2(m_rig->startSimulator({"--motion-delay", "100", "--take-delay", "never"}),
                 qPrintable(m_rig->diagnosis()));
        m_peer = std::make_unique<TestPeer>(m_rig->broker(), QStringLiteral("e2e-observer"));
        QVERIFY(m_peer->connectToBroker() && m_peer->subscribe("ovant/#"));
    }

    void cleanup()
    {
        if (m_rig->terminal().isRunning())
            QVERIFY2(m_rig->stopTerminal(), "the terminal did not end cleanly on SIGTERM");
        m_peer->clear();
    }

    // A fault is reported once and cleared; without the broker the terminal is out of order,
    // back on the same port it returns by itself and a touch issues a card; killed, its last
    // will tells it is gone.
    void recoveryAndLastWill()
    {
        const int mark = startOnline(true);
        QVERIFY2(mark >= 0, failure("never online"));
        // Time enough for an echo between terminal and service to show (fewer on a slow machine).
        QVERIFY(m_rig->simulate({"terminal", "no-obu"}));
        const int reported = m_rig->waitForLog(QStringLiteral("#0005"), mark, StepMs);
        QVERIFY2(reported >= 0, failure("the fault was not reported"));
        QTest::qWait(3000);
        const int decisions = m_rig->log().mid(mark).count("KVRTTerminal status changed : ");
        QVERIFY2(decisions <= 4, qPrintable(QString("%1 status changes").arg(decisions)));
        QVERIFY(m_rig->simulate({"terminal", "ok"}));
        const int ok = m_rig->waitForLog("KVRTTerminal reason changed :  ", reported, StepMs);
        QVERIFY2(ok >= 0, failure("the terminal did not recover from the fault"));

        m_rig->broker().stop();
        const int outOfOrder = m_rig->waitForLog(QStringLiteral("Setting screen : OutOfOrder"), ok);
        QVERIFY2(outOfOrder >= 0, failure("no out-of-order screen without the broker"));
        QVERIFY2(m_rig->broker().restart(), qPrintable(m_rig->broker().log()));
        QVERIFY2(m_rig->waitForLog(Online, outOfOrder, StartMs) >= 0, failure("no recovery"));
        QVERIFY(m_peer->waitUntilReady(StartMs));
        const int touched = m_rig->log().size();
        QVERIFY2(touchGate(touched) && m_rig->waitForLog("Card in Mouth changed true", touched) > 0
                     && simulate({"take-card"})
                     && m_rig->waitForLog("Card issued successfully", touched) > 0,
                 failure("no card issued after the recovery"));
        // The validator's reader is the issuer's here: the terminal leaves it alone.
        QCOMPARE(m_peer->count("ovant/rfid/enable") + m_peer->count("ovant/rfid/disable"), 0);

        const int statuses = m_peer->count("ovant/ui/status");
        QVERIFY(m_rig->terminal().sendSignal(SIGKILL) && m_rig->terminal().waitForFinished());
        QVERIFY(m_peer->waitForMessages("ovant/ui/status", statuses + 1, StepMs));
        QCOMPARE(m_peer->last("ovant/ui/status").json(), QJsonObject({{"service", false}}));
    }

    void screenshots_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("el") << QStringLiteral("el_GR");
        QTest::newRow("en") << QStringLiteral("en_US");
    }

    void screenshots()
    {
        QFETCH(QString, language);
        const QDir pictures(qEnvironmentVariable("KVRT_SCREENSHOT_DIR"));
        if (pictures.path() == ".")
            QSKIP("pictures only when KVRT_SCREENSHOT_DIR names a directory");
        if (!VirtualDisplay::missingTools({QStringLiteral("import")}).isEmpty())
            QSKIP("pictures need ImageMagick's import (Debian package imagemagick)");
        QVERIFY(pictures.mkpath("."));
        // Slow movements, so that the issuing can be seen.
        QVERIFY(m_rig->stopSimulator());
        QVERIFY(m_rig->startSimulator({"--motion-delay", "1500", "--take-delay", "never"}));
        // An entry gate without serial number, whose file cannot be written.
        TerminalRig::Options options;
        options.language = language;
        options.deviceId.clear();
        options.config.insert("gui/deviceId", m_rig->directory() + "/no/serialnumber");
        QVERIFY(m_rig->startTerminal(options));

        // Each step: an action, the log text that tells it took effect, the picture.
        const QStringList steps = QString(R"(|Setting screen : InitPage|init-page; click 512 322||;
            type K00000001||init-page-keyboard; click 512 298||init-page-confirm;
            click 432 364|Could not save device S/N|error-popup; click 512 300||entry-gate;
            touch||entry-gate-busy; |Card in Mouth changed true|entry-gate-final;
            sim take-card|Preparing next card|; |[CardIssuer] RFID disabled|;
            sim jam on|Dispenser jammed|; touch|Failed to issue card|entry-gate-error; sim jam off||;
            sim terminal init|Setting screen : Busy|busy;
            sim terminal no-route|Setting screen : OutOfService|out-of-service;
            sim terminal ok|KVRTTerminal status changed : online|;
            broker stop|Setting screen : OutOfOrder|out-of-order;
            broker restart|KVRTTerminal status changed : online|;
            sim ignition off|Setting screen : ScreenSaver|screensaver; sim ignition on||;
            exit-gate||exit-gate; sim scan pass valid|ExitGate : true|exit-gate-final;
            sim scan pass refused|Setting screen : Invalid|exit-invalid)")
                                      .split(';');
        int mark = 0; // where the last step's text ends in the log
        for (const QString& step : steps) {
            const QStringList parts = step.trimmed().split('|');
            const QStringList action = parts[0].split(' ');
            bool done = true;
            if (action[0] == "click")
                done = m_rig->display().click(action[1].toInt(), action[2].toInt());
            else if (action[0] == "type")
                done = m_rig->display().type(action[1]);
            else if (action[0] == "touch")
                done = touchGate(mark);
            else if (action[0] == "sim")
                done = simulate(action.mid(1));
            else if (action[0] == "broker")
                done = action[1] == "stop" ? (m_rig->broker().stop(), true)
                                           : m_rig->broker().restart();
            else if (action[0] == "exit-gate")
                done = m_rig->stopTerminal() && (mark = startOnline(false, language)) >= 0;
            if (done && !parts[1].isEmpty())
                mark = m_rig->waitForLog(parts[1], mark, StepMs);
            QVERIFY2(done && mark >= 0, failure(step));
            QTest::qWait(700); // the pictures are for people: transitions first
            if (!parts[2].isEmpty())
                QVERIFY(m_rig->display().grab(
                    pictures.filePath(parts[2] + '-' + QTest::currentDataTag() + ".png")));
        }
    }
};

QTEST_GUILESS_MAIN(tst_E2E)
#include "tst_e2e.moc"
