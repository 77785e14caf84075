// The real programs end to end (broker, simulator, terminal on a virtual X display, real
// clicks and keys): what only the whole can show. With KVRT_SCREENSHOT_DIR set, the walks
// also take a picture of every screen, in Greek and in English (scripts/screenshots.sh).

#include "TerminalRig.h"
#include "TestPeer.h"

#include <QDir>
#include <QTest>

#include <algorithm>
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
    TerminalRig::Options m_options; // of the terminal's last start

    // Starts the terminal; returns the log position once the gate page is up, or -1.
    int startOnline(bool entryGate, const QString& language = QStringLiteral("en_US"))
    {
        m_options = {};
        m_options.entryGate = entryGate;
        m_options.language = language;
        return m_rig->startTerminal(m_options) ? m_rig->waitForLog(Online, 0, StartMs) : -1;
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
                && m_rig->waitForLog("[GUIManager] Card requested", mark, 3000) >= 0;
        };
        return QTest::qWaitFor(touch, StepMs);
    }

    // Has the page write what it shows to the log until it shows one of the texts (separated
    // by '~'); returns the log position after that line, or -1.
    int waitForScreen(const QString& texts, int from)
    {
        static const QString Dump = QStringLiteral("[QML] Screen text (");
        int found = -1;
        const auto shows = [&] {
            const int asked = std::max(from, int(m_rig->log().size()));
            const int at
                = m_rig->display().key("ctrl+shift+d") ? m_rig->waitForLog(Dump, asked, 5000) : -1;
            if (at < 0 || !QTest::qWaitFor([&] { return m_rig->log().indexOf('\n', at) > 0; }))
                return false;
            const QString line = m_rig->log().mid(at - Dump.size()).section('\n', 0, 0);
            for (const QString& text : texts.split('~'))
                found = line.contains(text) ? at - int(Dump.size() - line.size()) : found;
            return found >= 0;
        };
        return QTest::qWaitFor(shows, StepMs) ? found : -1;
    }

    // True once a message on the topic, after the first "since" of all, holds the text.
    bool carries(const QString& topic, const QString& text, int since)
    {
        return QTest::qWaitFor(
            [&] {
                const QList<TestPeer::Message> sent = m_peer->messages().mid(since);
                return std::any_of(sent.cbegin(), sent.cend(), [&](const TestPeer::Message& m) {
                    return m.topic == topic && m.payload.contains(text.toUtf8());
                });
            },
            StepMs);
    }

    // Walks the terminal through steps "action|what tells it took effect|picture", separated by
    // ';'. Actions: click x y [held ms], type text [times], scroll x y clicks, key names, touch
    // (the gate page), sim <simulator command>, broker stop|restart, start entry|exit (the
    // terminal, again). What tells: a text the terminal logs after the last one found;
    // "=text~text": the screen shows one of them; "@topic text": a message on the topic holds the
    // text; "!text": the terminal has not logged it since. The pictures are written only when
    // KVRT_SCREENSHOT_DIR names a directory.
    void walk(const QString& steps)
    {
        const QDir pictures(qEnvironmentVariable("KVRT_SCREENSHOT_DIR"));
        const bool picturing = pictures.path() != "." && pictures.mkpath(".");
        int mark = 0; // where the last text found ends in the log
        int since = 0; // the messages on the broker before the last action
        for (const QString& step : steps.split(';')) {
            // The text checked may hold '|' itself: the screen's texts are separated so.
            const QStringList action = step.trimmed().section('|', 0, 0).split(' ');
            const QString check = step.section('|', 1, -2);
            const QString picture = step.section('|', -1).trimmed();
            since = action[0].isEmpty() ? since : m_peer->count();
            bool done = true;
            const int held = action.value(3).toInt();
            if (action[0] == "click") // a press held but seen late by a busy program: again
                done = QTest::qWaitFor(
                    [&] {
                        return m_rig->display().click(action[1].toInt(), action[2].toInt(), held)
                            && (!held || m_rig->waitForLog(check, mark, 5000) >= 0);
                    },
                    StepMs);
            else if (action[0] == "type") // quick, when repeated
                done = action.size() < 3
                    ? m_rig->display().type(action[1])
                    : m_rig->display().type(action[1].repeated(action[2].toInt()), 5);
            else if (action[0] == "scroll")
                done = m_rig->display().scroll(action[1].toInt(), action[2].toInt(),
                                               action[3].toInt());
            else if (action[0] == "key")
                done = m_rig->display().key(action[1]);
            else if (action[0] == "touch")
                done = touchGate(mark);
            else if (action[0] == "sim")
                done = simulate(action.mid(1));
            else if (action[0] == "broker")
                done = action[1] == "stop" ? (m_rig->broker().stop(), true)
                                           : m_rig->broker().restart();
            else if (action[0] == "start")
                done = (!m_rig->terminal().isRunning() || m_rig->stopTerminal())
                    && (mark = startOnline(action[1] == "entry", m_options.language)) >= 0;
            if (done && check.startsWith('='))
                mark = waitForScreen(check.mid(1), mark);
            else if (done && check.startsWith('!'))
                done
                    = (QTest::qWait(1000), !m_rig->log().mid(mark).contains(check.mid(1).toUtf8()));
            else if (done && check.startsWith('@'))
                done = carries(check.mid(1).section(' ', 0, 0), check.section(' ', 1), since);
            else if (done && !check.isEmpty())
                mark = m_rig->waitForLog(check, mark, StepMs);
            QVERIFY2(done && mark >= 0, failure(step));
            QTest::qWait(picturing ? 700 : 300); // pictures are for people: transitions first
            if (picturing && !picture.isEmpty())
                QVERIFY(m_rig->display().grab(
                    pictures.filePath(picture + '-' + QTest::currentDataTag() + ".png")));
        }
    }

    // Both languages for pictures, English alone for the test.
    static void languages()
    {
        QTest::addColumn<QString>("language");
        if (qEnvironmentVariableIsSet("KVRT_SCREENSHOT_DIR")) {
            if (!VirtualDisplay::missingTools({QStringLiteral("import")}).isEmpty())
                QSKIP("pictures need ImageMagick's import (Debian package imagemagick)");
            QTest::newRow("el") << QStringLiteral("el_GR");
        }
        QTest::newRow("en") << QStringLiteral("en_US");
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

    // The technician's way, with real clicks and keys: the PIN, every settings page showing
    // the services' values as they change, a configuration barcode in and out of a session,
    // the ignition, and an event log that outlives the program.
    void maintenanceArea_data() { languages(); }
    void maintenanceArea()
    {
        QFETCH(QString, language);
        QVERIFY2(startOnline(true, language) >= 0, failure("never online"));
        walk(R"(click 930 60 1200|Setting screen : Login|login;
            click 595 230||; click 701 230||; click 807 230||; click 807 488|User entered wrong pin|;
            |=| Pin | Wrong PIN~| Κωδικός | Λανθασμένος|login-refused;
            click 930 60 1200|Login page hidden|; type 4826||; key Return||;
            click 930 60 1200|Setting screen : Login|; type 9 300|=| ●●●●●●●● |;
            key Return|User entered wrong pin|; type 4826||; key Return|User logged-in|;
            |=(Settings)|settings-menu;
            click 500 102|=(Validator)|settings-validator; sim terminal no-route|=out-of-service|;
            sim terminal ok|=| online ||; scroll 500 400 15||;
            click 903 550|=(Validator Configuration)|settings-validator-config;
            click 743 432|=(Validator)|; click 30 35|=(Settings)|;
            click 500 168|=(Diagnostics)|settings-diagnostics; sim temperature 85|=| ERROR |;
            sim temperature 40||; click 30 35|=(Settings)|;
            click 500 235|=pool.ntp.org|settings-region; click 30 35|=(Settings)|;
            click 500 301|=| 70 %|settings-audio; click 30 35|=(Settings)|;
            click 500 367|=(Display)|settings-display; sim light 37|=| 37 %|;
            click 30 35|=(Settings)|;
            click 500 433|=| kvrt-terminal |settings-network;
            click 768 92|=| 02:4B:56:52:54:01 |settings-ethernet; sim ethernet down|=| Disconnected |;
            sim ethernet up|=| Connected |; scroll 500 400 6||;
            click 903 550|=(Ethernet Configuration)|; click 880 147||;
            click 880 195|=| manual ||; click 838 198||; key ctrl+a||; type 999.1.1.1||;
            click 838 250||; key ctrl+a||; type 255.255.255.0||; click 70 554||;
            click 923 485|=IPv4 address is not a valid IP address~IPv4|settings-ethernet-refused;
            click 100 550||; click 838 198||; key ctrl+a||; type 1.2.3||; click 70 554||;
            click 923 485|=IPv4 address is not a valid IP address~IPv4|; click 100 550||;
            click 743 485||; click 30 35|=(Settings)|;
            click 500 500|=(Update)|; sim update 9.9.9||; click 743 380|=| 9.9.9 |settings-update;
            sim update none||; click 30 35|=(Settings)|;
            click 500 566|=Maintenance login|settings-eventlog; click 30 35|=(Settings)|;
            click 983 35||; click 873 96|=(Settings)|;
            sim maintenance both|@ovant/blm/config/set obc.local|;
            |@ovant/network/ethernet/config/set 192.0.2.40|; |Playing audio file|;
            |= / OBC : mqtt:|settings-configured; click 100 550||;
            sim ignition off|User logged-out|; |Setting screen : ScreenSaver|;
            |Scheduling System shutdown in|;
            sim maintenance obc force|Maintenance session is not active. Ignoring.|;
            sim ignition on|Aborting System shutdown|;
            start entry||; click 930 60 1200|Setting screen : Login|; type 4826||;
            key Return|User logged-in|; click 500 566|=Ignition on|; |=Ignition off|;
            |=Maintenance logout|; click 983 35||; click 873 288|User logged-out|)");
    }

    // What the technician saves reaches the services (the Ethernet address, the zone and NTP
    // server, the validator's address typed with and without a scheme, or refused); the event
    // log's page shows what its fields say when it comes back; the scanner goes as the idle
    // decision wants when the session ends; after a logout in an outage the settings (and their
    // power menu) are gone.
    void maintenanceSaves()
    {
        QVERIFY2(startOnline(true) >= 0, failure("never online"));
        walk(R"(click 930 60 1200|Setting screen : Login|; type 4826||; key Return|User logged-in|;
            |=(Settings)|; click 500 433|=| kvrt-terminal ||; click 768 92|=| Connected ||;
            scroll 500 400 6||;
            click 903 550|=(Ethernet Configuration)|; click 880 147||; click 880 195|=| manual ||;
            click 838 198||; key ctrl+a||; type 192.0.2.77||; click 838 250||; key ctrl+a||;
            type 255.255.255.0||; click 70 554||;
            click 923 485|@ovant/network/ethernet/config/set "address": "192.0.2.77"|;
            |@ovant/network/ethernet/config/set "method": "manual"|; |=(Network)|;
            click 30 35|=(Settings)|; click 500 235|=(Region)|;
            click 880 410||; click 700 459|Setting time zone : Europe/Berlin|;
            |=Europe/Berlin|; click 800 458||; key ctrl+a||; type ntp.example.org||; key Return||;
            |@ovant/device/clock/ntp/config/set ntp.example.org|; click 30 35|=(Settings)|;
            click 500 102|=(Validator)|; scroll 500 400 15||; click 903 550|=(Validator Configuration)|;
            click 670 143||; key ctrl+a||; type 10.0.0.5:1883||; click 70 554||;
            click 923 432|=(Validator)|;
            |@ovant/blm/config/set "obu_host": "10.0.0.5"|; click 903 550|=10.0.0.5|;
            click 670 143||; key ctrl+a||; type mqtt://10.0.0.6:1884||; click 70 554||;
            click 923 432|@ovant/blm/config/set "obu_port": 1884|; |=(Validator)|;
            click 903 550|=10.0.0.6|; click 670 143||; key ctrl+a||; type http://obu||;
            click 70 554||; click 923 432|=The OBC URL is not valid|; click 100 550||; click 743 432|=(Validator)|;
            click 30 35|=(Settings)|; click 500 566|=Maintenance login|; click 250 99||;
            type Ignition||; |Filtering : name=Ignition|; click 549 103|Filtering : name=|;
            click 905 103||; click 905 247|Filtering (period) : Today|;
            click 250 99||; type Ignition||;
            click 30 35|=(Settings)|; click 500 566|Filtering : name=|; |=Application started|;
            click 30 35|=(Settings)|; click 983 35||; click 873 96|=Scan Configuration QR code|;
            sim ignition off|User logged-out|; |@ovant/barcode/disable|;
            sim ignition on|Aborting System shutdown|; sim offline terminal|#0002|;
            click 930 60 1200|Setting screen : Login|; type 4826||; key Return|User logged-in|;
            |=(Settings)|; click 983 35||; click 873 288|User logged-out|;
            key ctrl+shift+d|!Screen text (Settings)|; sim online terminal||)");
    }

    // Pictures of the operating screens; without KVRT_SCREENSHOT_DIR the walk in English
    // only, as a test (the registration with a serial-number file that cannot be written).
    void screenshots_data() { languages(); }
    void screenshots()
    {
        QFETCH(QString, language);
        // Slow movements, so that the issuing can be seen.
        QVERIFY(m_rig->stopSimulator());
        QVERIFY(m_rig->startSimulator({"--motion-delay", "1500", "--take-delay", "never"}));
        // An entry gate without serial number, whose file cannot be written: the number
        // entered stays all the same (the validator page shows it).
        m_options = {};
        m_options.language = language;
        m_options.deviceId.clear();
        m_options.config.insert("gui/deviceId", m_rig->directory() + "/no/serialnumber");
        QVERIFY(m_rig->startTerminal(m_options));
        walk(R"(|Setting screen : InitPage|init-page; click 512 322||;
            type K00000001||init-page-keyboard; click 512 298||init-page-confirm;
            click 432 364|Could not save device S/N|error-popup; click 512 300||;
            click 930 60 1200|Setting screen : Login|; type 4826||; key Return|User logged-in|;
            click 500 102|=| K00000001 ||; click 983 35||; click 873 288|User logged-out|entry-gate;
            touch||entry-gate-busy; |Card in Mouth changed true|entry-gate-final;
            sim take-card|Preparing next card|; |[CardIssuer] RFID disabled|;
            sim jam on|Dispenser jammed|; touch|Failed to issue card|entry-gate-error; sim jam off||;
            sim terminal init|Setting screen : Busy|busy;
            sim terminal no-route|Setting screen : OutOfService|out-of-service;
            sim terminal ok|KVRTTerminal status changed : online|;
            broker stop|Setting screen : OutOfOrder|out-of-order;
            broker restart|KVRTTerminal status changed : online|;
            sim ignition off|Setting screen : ScreenSaver|screensaver; sim ignition on||;
            start exit||exit-gate; sim scan pass valid|ExitGate : true|exit-gate-final;
            sim scan pass refused|Setting screen : Invalid|exit-invalid)");
    }
};

QTEST_GUILESS_MAIN(tst_E2E)
#include "tst_e2e.moc"
