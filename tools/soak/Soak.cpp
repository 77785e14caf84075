#include "Soak.h"

#include "MqttClient.h"
#include "ProcessGuard.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {
const QString ControlTopic = QStringLiteral("ovant/simulator/control");
const QString WriteRequest = QStringLiteral("ovant/rfid/card/write/request/");
const QString WriteResponse = QStringLiteral("ovant/rfid/card/write/response/");
const QString IssueLocationId = QStringLiteral("ovant-rnd");
// Screen centre: the whole gate page is one tap area.
const QString TapX = QStringLiteral("512");
const QString TapY = QStringLiteral("300");
constexpr double MaxRssGrowth = 0.05;

QJsonObject object(const QJsonValue& value)
{
    return value.toObject();
}
} // namespace

Soak::Soak(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_random(options.seed)
{
    QDir().mkpath(m_options.workDir);
    connect(&m_terminalProcess, &QProcess::readyReadStandardError, this, &Soak::onTerminalOutput);
    m_terminalProcess.setStandardOutputFile(m_options.workDir + QStringLiteral("/terminal.out"));
    m_simulatorProcess.setStandardOutputFile(m_options.workDir + QStringLiteral("/simulator.log"));
    m_simulatorProcess.setProcessChannelMode(QProcess::MergedChannels);
    m_broker.setStandardOutputFile(m_options.workDir + QStringLiteral("/mosquitto.log"),
                                   QIODevice::Append);
    m_broker.setProcessChannelMode(QProcess::MergedChannels);
    QFile::remove(m_options.workDir + QStringLiteral("/terminal.log"));
}

Soak::~Soak()
{
    if (m_mqtt)
        m_mqtt->disconnect();
    stopProcess(m_terminalProcess, 20000);
    stopProcess(m_simulatorProcess, 10000);
    stopProcess(m_display, 5000);
    stopBroker();
}

void Soak::log(const QString& text) const
{
    const qint64 s = m_clock.isValid() ? m_clock.elapsed() / 1000 : 0;
    std::fprintf(stdout, "[soak %02lld:%02lld:%02lld] %s\n", s / 3600, s / 60 % 60, s % 60,
                 qPrintable(text));
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Processes

bool Soak::startBroker()
{
    if (m_port == 0) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return false;
        m_port = probe.serverPort();
    }
    const QString conf = m_options.workDir + QStringLiteral("/mosquitto.conf");
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n")
                   .arg(m_port)
                   .toUtf8());
    file.close();
    m_broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf});
    if (!m_broker.waitForStarted(10000))
        return false;
    return waitFor(
        [&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            return socket.waitForConnected(200);
        },
        10000);
}

void Soak::stopBroker()
{
    stopProcess(m_broker, 10000);
}

bool Soak::startDisplay()
{
    m_display.start(
        QStringLiteral("Xvfb"),
        {"-displayfd", "1", "-screen", "0", "1024x600x24", "-nolisten", "tcp", "-noreset"});
    QByteArray output;
    waitFor(
        [&] {
            output += m_display.readAllStandardOutput();
            return output.contains('\n') || m_display.state() == QProcess::NotRunning;
        },
        20000);
    bool ok = false;
    const int number = output.trimmed().toInt(&ok);
    if (!ok)
        return false;
    m_displayName = QStringLiteral(":%1").arg(number);
    return true;
}

bool Soak::startSimulator()
{
    // The user takes a card only when the soak says so (take-card), and the cartridge
    // never runs out.
    m_simulatorProcess.start(m_options.simulator,
                             {"--host", "127.0.0.1", "--port", QString::number(m_port),
                              "--motion-delay", QString::number(m_options.motionDelay),
                              "--take-delay", "never", "--cards", "1000000"});
    return m_simulatorProcess.waitForStarted(10000);
}

bool Soak::startTerminal()
{
    const QString dir = m_options.workDir;
    QFile serial(dir + QStringLiteral("/serialnumber"));
    if (!serial.open(QIODevice::WriteOnly))
        return false;
    serial.write(m_options.deviceId.toUtf8() + '\n');
    serial.close();
    const QString configFile = dir + QStringLiteral("/gui.conf");
    QFile::remove(configFile);
    {
        QSettings ini(configFile, QSettings::IniFormat);
        ini.setValue(QStringLiteral("gui/isEntryGate"), true);
        ini.setValue(QStringLiteral("gui/deviceId"), serial.fileName());
        ini.setValue(QStringLiteral("gui/locale"), QStringLiteral("en_US"));
        ini.setValue(QStringLiteral("log/syslog"), false);
        ini.setValue(QStringLiteral("log/stderr"), true);
        ini.setValue(QStringLiteral("mqtt/host"), QStringLiteral("127.0.0.1"));
        ini.setValue(QStringLiteral("mqtt/port"), m_port);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_MESSAGE_PATTERN", "QT_LOGGING_RULES", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("DISPLAY"), m_displayName);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    // The terminal counts what must not pile up, and reports it on SIGUSR1.
    environment.insert(QStringLiteral("KVRT_CENSUS"), QStringLiteral("1"));
    m_terminalProcess.setProcessEnvironment(environment);
    m_terminalProcess.setWorkingDirectory(dir);
    m_terminalProcess.start(m_options.terminal, {QStringLiteral("-f"), configFile, "-e"});
    return m_terminalProcess.waitForStarted(10000);
}

void Soak::stopProcess(QProcess& process, int timeoutMs)
{
    if (ProcessGuard::terminate(process)
        && !waitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)
        && ProcessGuard::kill(process))
        process.waitForFinished(5000);
}

bool Soak::terminalRunning() const
{
    return m_terminalProcess.state() == QProcess::Running;
}

// ---------------------------------------------------------------------------
// Waiting

bool Soak::waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void Soak::pause(int msec)
{
    waitFor([] { return false; }, msec);
}

// ---------------------------------------------------------------------------
// The terminal's log

void Soak::onTerminalOutput()
{
    const QByteArray data = m_terminalProcess.readAllStandardError();
    QFile file(m_options.workDir + QStringLiteral("/terminal.log"));
    if (file.open(QIODevice::Append))
        file.write(data);
    m_pending += data;
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        handleLine(QString::fromUtf8(m_pending.left(end)));
        m_pending.remove(0, end + 1);
    }
}

void Soak::handleLine(const QString& line)
{
    const auto after = [&line](const QString& mark) {
        return line.mid(line.indexOf(mark) + mark.size()).trimmed();
    };
    if (line.contains(QLatin1String("[CardIssuer] State changed : (3) Error"))) {
        ++m_issuerErrors;
        m_lastIssuerError = after(QStringLiteral("Error "));
    }
    if (line.contains(QLatin1String("[GUIManager] Card requested")))
        ++m_requested;
    else if (line.contains(QLatin1String("Card not issued : "))) {
        ++m_refused;
        m_lastRefusal = after(QStringLiteral("Card not issued : "));
    } else if (line.contains(QLatin1String("Card issued successfully : ")))
        ++m_issued;
    else if (line.contains(QLatin1String("ERROR: Failed to issue card : "))) {
        ++m_failed;
        m_lastFailure = after(QStringLiteral("Failed to issue card : "));
    } else if (line.contains(QLatin1String("[CardIssuer] Card ejected successfully")))
        ++m_ejected;
    else if (line.contains(QLatin1String("Setting screen : ")))
        m_lastScreen = after(QStringLiteral("Setting screen : "));
    else if (line.contains(QLatin1String("[Census] ")))
        m_censusLine = after(QStringLiteral("[Census] "));
    if (line.contains(QLatin1String("[GUIManager] Preparing next card"))) {
        ++m_prepared;
        m_preparing = true;
    } else if (m_preparing
               && (line.contains(QLatin1String("[CardIssuer] RFID disabled"))
                   || line.contains(QLatin1String("Failed to prepare next card")))) {
        // The gate takes the next touch from now on.
        m_preparing = false;
        ++m_prepareEnded;
    }
}

// ---------------------------------------------------------------------------
// The broker

bool Soak::connectObserver()
{
    m_mqtt = std::make_unique<manager::MqttClient>();
    m_mqtt->setHostname(QStringLiteral("127.0.0.1"));
    m_mqtt->setPort(m_port);
    m_mqtt->setRetryMillis(1000);
    m_mqtt->setClientId(QStringLiteral("kvrt-soak-%1").arg(QCoreApplication::applicationPid()));
    connect(m_mqtt.get(), &manager::MqttClient::received, this, &Soak::onMessage);
    m_mqtt->subscribe(QStringLiteral("#"), 1);
    m_mqtt->connect();
    return waitFor([&] { return m_mqtt->isConnected(); }, 20000);
}

void Soak::onMessage(const QByteArray& payload, const QByteArray& topicName)
{
    const QString topic = QString::fromUtf8(topicName);
    if (topic.startsWith(QLatin1String("ovant/simulator/")))
        return;
    // One topic of each kind: request and response numbers are alike.
    QString kind = topic;
    kind.replace(QRegularExpression(QStringLiteral("/[^/]*\\d[^/]*$")), QStringLiteral("/#"));
    m_topics.insert(kind, topic);
    // What the terminal asked the reader to write, filed under the card the reader
    // says it wrote once the write succeeded.
    const int mark = topic.lastIndexOf(QLatin1Char('/'));
    const QString id = topic.mid(mark + 1);
    if (topic.startsWith(WriteRequest)) {
        m_writeRequests.insert(id, QJsonDocument::fromJson(payload).object());
    } else if (topic.startsWith(WriteResponse) && m_writeRequests.contains(id)) {
        const QJsonObject response = QJsonDocument::fromJson(payload).object();
        const QJsonObject request = m_writeRequests.take(id);
        const QString uid = object(response.value(QStringLiteral("data")))
                                .value(QStringLiteral("uid"))
                                .toString();
        if (response.value(QStringLiteral("completed")).toBool() && !uid.isEmpty())
            m_written.insert(uid, request);
    }
}

QJsonObject Soak::control(const QJsonObject& command, int timeoutMs)
{
    // The broker may be restarting: a command that got no answer is sent again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        bool settled = false;
        QJsonObject reply;
        waitFor([&] { return m_mqtt->isConnected(); }, 30000);
        m_mqtt
            ->executeRpc(ControlTopic, QStringLiteral("soak%1").arg(++m_rpcId), command, timeoutMs)
            .done([&](const QJsonValue& value) {
                reply = value.toObject();
                settled = true;
            })
            .fail([&](const QJsonValue&) { settled = true; });
        waitFor([&] { return settled; }, timeoutMs + 5000);
        if (!reply.isEmpty())
            return reply;
        pause(500);
    }
    log(QStringLiteral("control command got no answer: ")
        + QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact)));
    return {};
}

QJsonObject Soak::control(const QString& name, const QJsonValue& value, const QString& key)
{
    QJsonObject command {{QStringLiteral("command"), name}};
    if (!value.isUndefined() && !value.isNull())
        command.insert(key, value);
    return control(command);
}

// ---------------------------------------------------------------------------
// Issuing

bool Soak::tap()
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_displayName);
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral("xdotool"),
               {QStringLiteral("mousemove"), TapX, TapY, QStringLiteral("click"), "1"});
    return waitFor([&] { return tool.state() == QProcess::NotRunning; }, 20000)
        && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

Soak::Outcome Soak::attemptIssue(int timeoutMs)
{
    ++m_attempts;
    const int requested = m_requested;
    const int refused = m_refused;
    const int issued = m_issued;
    const int failed = m_failed;
    const int ejected = m_ejected;
    if (!tap())
        return Outcome::NoReaction;
    if (!waitFor(
            [&] { return m_requested > requested || m_refused > refused || !terminalRunning(); },
            1500))
        return Outcome::NoReaction;
    bool taken = false;
    const bool ended = waitFor(
        [&] {
            if (!taken && m_ejected > ejected) {
                // The user reaches for the card in the mouth.
                taken = control(QStringLiteral("take-card")).value(QStringLiteral("ok")).toBool();
                if (!taken)
                    pause(200);
            }
            return m_refused > refused || m_issued > issued || m_failed > failed
                || !terminalRunning();
        },
        timeoutMs);
    if (!ended || !terminalRunning())
        return Outcome::Lost;
    if (m_issued > issued)
        return Outcome::Issued;
    return m_failed > failed ? Outcome::Failed : Outcome::Refused;
}

bool Soak::issueOne(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs && terminalRunning()) {
        const int prepareEnded = m_prepareEnded;
        switch (attemptIssue()) {
        case Outcome::Issued:
            // The next touch counts once the next card is prepared.
            waitFor([&] { return m_prepareEnded > prepareEnded || !terminalRunning(); }, 15000);
            return true;
        case Outcome::Refused:
            // Usually the previous card's next one is still being prepared.
            pause(m_lastRefusal.startsWith(QLatin1String("an issue is running")) ? 300 : 1000);
            break;
        case Outcome::NoReaction:
            pause(300);
            break;
        case Outcome::Failed:
        case Outcome::Lost:
            // A passenger takes whatever the failed issue left in the mouth.
            control(QStringLiteral("take-card"));
            pause(1000);
            break;
        }
    }
    return false;
}

void Soak::waitIdle()
{
    // issueOne() returns once the next card is prepared; what the page does after
    // a passage is given time to end.
    pause(6000);
}

// ---------------------------------------------------------------------------
// Faults

void Soak::injectFault(int card)
{
    if (m_options.brokerRestartEvery > 0 && card % m_options.brokerRestartEvery == 0) {
        ++m_faults[QStringLiteral("broker restart")];
        log(QStringLiteral("fault: broker restart"));
        stopBroker();
        pause(2000);
        if (!startBroker())
            log(QStringLiteral("the broker did not come back"));
        return;
    }
    if (int(m_random() % 100) >= m_options.faultPercent)
        return;
    static const QStringList kinds {"jam", "door", "fail-write", "offline", "garbage"};
    const QString kind = kinds.at(int(m_random() % unsigned(kinds.size())));
    if (kind == QLatin1String("garbage")) {
        ++m_faults[QStringLiteral("garbage burst")];
        garbageBurst();
        return;
    }
    if (kind == QLatin1String("fail-write")) {
        // The next write fails: that card is disposed of, and the issue fails.
        ++m_faults[QStringLiteral("failing write")];
        log(QStringLiteral("fault: failing write"));
        control(QStringLiteral("fail-write"), QStringLiteral("Simulated write error"));
        attemptIssue();
        return;
    }
    QString on;
    QString off;
    QJsonObject set;
    QJsonObject clear;
    if (kind == QLatin1String("jam")) {
        set = {{"command", "jam"}, {"value", "on"}};
        clear = {{"command", "jam"}, {"value", "off"}};
        on = QStringLiteral("dispenser jam");
    } else if (kind == QLatin1String("door")) {
        set = {{"command", "door"}, {"value", "open"}};
        clear = {{"command", "door"}, {"value", "close"}};
        on = QStringLiteral("cartridge door open");
    } else {
        static const QStringList services {"dispenser", "rfid", "terminal", "all"};
        const QString service = services.at(int(m_random() % unsigned(services.size())));
        set = {{"command", "offline"}, {"service", service}};
        clear = {{"command", "online"}, {"service", service}};
        on = QStringLiteral("offline ") + service;
    }
    ++m_faults[on];
    log(QStringLiteral("fault: ") + on);
    control(set);
    // A passenger taps meanwhile: refused or failed, never stuck.
    pause(int(m_random() % 1500));
    const Outcome outcome = attemptIssue(120000);
    if (outcome == Outcome::Issued)
        log(QStringLiteral("  (a card was issued all the same)"));
    control(clear);
    pause(1000);
}

void Soak::garbageBurst()
{
    // No empty message: the services' protocol reads it as an empty report, one without
    // "service", which says that the service is gone. Not garbage, a statement.
    QList<QByteArray> payloads {
        "{",
        "{\"state\":",
        "[1,2",
        "null",
        "42",
        "\"text\"",
        "[]",
        "[{}]",
        "true",
        "\xff\xfe\x00garbage",
        QByteArray(16384, 'x'),
    };
    QByteArray binary;
    for (int i = 0; i < 64; ++i)
        binary.append(char(m_random() & 0xff));
    payloads.append(binary);

    const int errors = m_issuerErrors;
    QStringList topics = m_topics.values();
    for (const char* request : {"/info/get", "/status/get", "/config/get", "/config/set"})
        topics.append(QStringLiteral("ovant/ui") + QLatin1String(request));
    topics.removeDuplicates();
    // The terminal's inputs only: requests to the device services would be obeyed by
    // the simulator as a passer-by's commands.
    topics.erase(std::remove_if(topics.begin(), topics.end(),
                                [](const QString& topic) {
                                    return topic.contains(QLatin1String("/request/"));
                                }),
                 topics.end());
    int sent = 0;
    for (const QString& topic : qAsConst(topics)) {
        for (const QByteArray& payload : qAsConst(payloads)) {
            if (m_mqtt->publish(payload, topic, 0, false))
                ++sent;
        }
    }
    log(QStringLiteral("fault: garbage burst, %1 messages on %2 topics")
            .arg(sent)
            .arg(topics.size()));
    pause(1500);
    if (m_issuerErrors > errors) {
        // Garbage took for a device's state: nothing the services send would mend it
        // before their state changes. They are made to tell it again.
        ++m_garbageHarm;
        log(QStringLiteral("  the garbage put the card issuer out of order (%1); the services "
                           "publish their state again")
                .arg(m_lastIssuerError));
        control(QJsonObject {{"command", "offline"}, {"service", "all"}});
        pause(500);
        control(QJsonObject {{"command", "online"}, {"service", "all"}});
        pause(1500);
    }
}

// ---------------------------------------------------------------------------
// Figures

Soak::Census Soak::census()
{
    Census result;
    m_censusLine.clear();
    if (!ProcessGuard::signal(m_terminalProcess, SIGUSR1))
        return result;
    if (!waitFor([&] { return !m_censusLine.isEmpty(); }, 10000))
        return result;
    for (const QString& pair : m_censusLine.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = pair.split(QLatin1Char('='));
        if (parts.size() == 2)
            result.counts.insert(parts.at(0), parts.at(1).toLongLong());
    }
    result.valid = !result.counts.isEmpty();
    return result;
}

qint64 Soak::rssKb() const
{
    QFile file(QStringLiteral("/proc/%1/status").arg(m_terminalProcess.processId()));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QString Soak::contentProblem(const QJsonObject& written) const
{
    const QJsonObject data = object(written.value(QStringLiteral("data")));
    const QJsonObject info = object(data.value(QStringLiteral("info")));
    const QJsonArray usage = data.value(QStringLiteral("usageLog")).toArray();
    const QJsonObject entry = object(usage.at(0));
    if (written.value(QStringLiteral("template")).toString() != QLatin1String("KVRTv1"))
        return QStringLiteral("template");
    if (info.value(QStringLiteral("customsId")).toInt() != 1
        || info.value(QStringLiteral("status")).toString() != QLatin1String("active"))
        return QStringLiteral("info");
    if (data.value(QStringLiteral("usageCounter")).toInt() != 1)
        return QStringLiteral("usage counter");
    if (usage.size() != 1 || entry.value(QStringLiteral("type")).toString() != "entry"
        || entry.value(QStringLiteral("deviceId")).toString() != m_options.deviceId
        || entry.value(QStringLiteral("locationId")).toString() != IssueLocationId)
        return QStringLiteral("usage log");
    return QString();
}

// ---------------------------------------------------------------------------
// The run

int Soak::run()
{
    m_clock.start();
    log(QStringLiteral("seed %1, %2 cards, motion delay %3 ms, faults %4% of cards, "
                       "broker restart every %5 cards; logs in %6")
            .arg(m_options.seed)
            .arg(m_options.cards)
            .arg(m_options.motionDelay)
            .arg(m_options.faultPercent)
            .arg(m_options.brokerRestartEvery)
            .arg(m_options.workDir));
    if (!startBroker() || !startDisplay() || !connectObserver() || !startSimulator()
        || !startTerminal()) {
        log(QStringLiteral("could not start the broker, display, simulator or terminal"));
        return 2;
    }
    log(QStringLiteral("broker on port %1, display %2, terminal pid %3")
            .arg(m_port)
            .arg(m_displayName)
            .arg(m_terminalProcess.processId()));
    // Ready once the simulator answers and the terminal takes a tap.
    if (!control(QStringLiteral("status")).value(QStringLiteral("ok")).toBool()) {
        log(QStringLiteral("the simulator does not answer"));
        return 2;
    }

    const int warmup = qBound(1, m_options.cards / 10, 50);
    qint64 rssWarm = -1;
    Census censusWarm;
    int lost = 0;
    for (int card = 1; card <= m_options.cards && terminalRunning(); ++card) {
        if (card > warmup)
            injectFault(card);
        if (!issueOne()) {
            ++lost;
            log(QStringLiteral("card %1: none issued within 4 minutes (last refusal '%2', "
                               "last failure '%3')")
                    .arg(card)
                    .arg(m_lastRefusal, m_lastFailure));
            if (lost >= 3)
                break;
        }
        if (card == warmup) {
            waitIdle();
            rssWarm = rssKb();
            censusWarm = census();
            log(QStringLiteral("warm-up done: VmRSS %1 kB, census %2")
                    .arg(rssWarm)
                    .arg(m_censusLine));
        }
        if (card % 100 == 0 && card != m_options.cards) {
            waitIdle();
            census();
            const QJsonArray taken
                = control(QStringLiteral("cards")).value(QStringLiteral("cards")).toArray();
            int right = 0;
            for (const QJsonValue& value : taken) {
                const QJsonObject written
                    = m_written.value(value[QStringLiteral("uid")].toString());
                const QJsonObject content = object(value[QStringLiteral("content")]);
                right += !written.isEmpty() && content.value("data") == written.value("data")
                    && contentProblem(written).isEmpty();
            }
            log(QStringLiteral("checkpoint %1: VmRSS %2 kB, census %3, cards taken %4 of which "
                               "written right %5")
                    .arg(card)
                    .arg(rssKb())
                    .arg(m_censusLine)
                    .arg(taken.size())
                    .arg(right));
        }
        if (card % 50 == 0)
            log(QStringLiteral("%1 cards issued (%2 attempts, %3 failed, %4 refused), VmRSS %5 kB")
                    .arg(card)
                    .arg(m_attempts)
                    .arg(m_failed)
                    .arg(m_refused)
                    .arg(rssKb()));
    }

    // Issuing still works, from the gate page: one more card after everything settled.
    pause(3000);
    const bool stillIssues = terminalRunning() && issueOne(120000);
    waitIdle();
    const qint64 rssEnd = rssKb();
    const Census censusEnd = census();
    const QString screenshot = m_options.workDir + QStringLiteral("/final-screen.png");
    {
        QProcess grab;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_displayName);
        grab.setProcessEnvironment(environment);
        grab.start(QStringLiteral("import"), {"-window", "root", screenshot});
        grab.waitForFinished(20000);
    }

    // Every card the user took holds what the terminal wrote on it.
    const QJsonObject cards = control(QStringLiteral("cards"));
    const QJsonArray taken = cards.value(QStringLiteral("cards")).toArray();
    int correct = 0;
    QStringList wrong;
    for (const QJsonValue& value : taken) {
        const QJsonObject card = value.toObject();
        const QString uid = card.value(QStringLiteral("uid")).toString();
        const QJsonObject content = object(card.value(QStringLiteral("content")));
        const QJsonObject written = m_written.value(uid);
        QString problem;
        if (written.isEmpty())
            problem = QStringLiteral("never written by the terminal");
        else if (content.isEmpty())
            problem = QStringLiteral("nothing on the reader");
        else if (content.value(QStringLiteral("template")) != written.value("template")
                 || content.value(QStringLiteral("data")) != written.value("data"))
            problem = QStringLiteral("reader holds other content than written");
        else
            problem = contentProblem(written);
        if (problem.isEmpty())
            ++correct;
        else if (wrong.size() < 10)
            wrong.append(uid + QStringLiteral(": ") + problem);
    }

    // A clean stop: the exit code tells a crash.
    const bool runningAtEnd = terminalRunning();
    stopProcess(m_terminalProcess, 30000);
    const bool cleanExit = runningAtEnd && m_terminalProcess.exitStatus() == QProcess::NormalExit
        && m_terminalProcess.exitCode() == 0;
    const qint64 seconds = m_clock.elapsed() / 1000;

    // The report: each figure next to its goal.
    bool ok = true;
    const auto line = [&ok, this](bool met, const QString& figure, const QString& goal) {
        ok = ok && met;
        log(QStringLiteral("%1  %2  (goal: %3)").arg(met ? "ok  " : "FAIL", figure, goal));
    };
    QStringList faults;
    int faultTotal = 0;
    for (auto it = m_faults.cbegin(); it != m_faults.cend(); ++it) {
        faults.append(QStringLiteral("%1 %2").arg(it.value()).arg(it.key()));
        faultTotal += it.value();
    }
    log(QStringLiteral("---- soak report (seed %1) ----").arg(m_options.seed));
    log(QStringLiteral("duration %1 min %2 s; %3 taps, %4 issues failed, %5 refused")
            .arg(seconds / 60)
            .arg(seconds % 60)
            .arg(m_attempts)
            .arg(m_failed)
            .arg(m_refused));
    log(QStringLiteral("faults injected: %1 (%2)").arg(faultTotal).arg(faults.join(", ")));
    line(m_garbageHarm == 0,
         QStringLiteral("garbage bursts that put the card issuer out of order: %1 of %2")
             .arg(m_garbageHarm)
             .arg(m_faults.value(QStringLiteral("garbage burst"))),
         QStringLiteral("none: garbage leaves the devices' state alone"));
    log(QStringLiteral("last screen set: %1; final screen grabbed to %2")
            .arg(m_lastScreen, screenshot));
    line(m_issued >= m_options.cards + 1,
         QStringLiteral("cards issued %1 of %2 (+1 final)").arg(m_issued).arg(m_options.cards),
         QStringLiteral("all"));
    line(stillIssues,
         QStringLiteral("issuing after the run: %1").arg(stillIssues ? "works" : "broken"),
         QStringLiteral("a card issued from the gate page"));
    line(!taken.isEmpty() && correct == taken.size() && taken.size() >= m_issued,
         QStringLiteral("cards taken %1, written right %2, issued by the terminal %3")
             .arg(taken.size())
             .arg(correct)
             .arg(m_issued),
         QStringLiteral("every card taken holds what the terminal wrote, with its entry record"));
    for (const QString& problem : qAsConst(wrong))
        log(QStringLiteral("      ") + problem);
    for (const QString key : {"subscriptions", "waits", "timers", "deferred"}) {
        const qint64 warm = censusWarm.counts.value(key, -1);
        const qint64 end = censusEnd.counts.value(key, -1);
        line(censusWarm.valid && censusEnd.valid && end <= warm,
             QStringLiteral("%1: %2 after warm-up, %3 at the end").arg(key).arg(warm).arg(end),
             QStringLiteral("none left behind (end <= warm-up)"));
    }
    log(QStringLiteral("      objects: %1 after warm-up, %2 at the end (information)")
            .arg(censusWarm.counts.value("objects", -1))
            .arg(censusEnd.counts.value("objects", -1)));
    const double growth = rssWarm > 0 ? double(rssEnd - rssWarm) / double(rssWarm) : 1.0;
    line(rssWarm > 0 && rssEnd > 0 && growth < MaxRssGrowth,
         QStringLiteral("VmRSS %1 kB after warm-up, %2 kB at the end: %3%")
             .arg(rssWarm)
             .arg(rssEnd)
             .arg(growth * 100, 0, 'f', 2),
         QStringLiteral("growth < 5%"));
    line(cleanExit,
         QStringLiteral("terminal %1")
             .arg(!runningAtEnd ? QStringLiteral("ENDED during the run (crash?)")
                                : QStringLiteral("ran to the end, exit code %1 on SIGTERM")
                                      .arg(m_terminalProcess.exitCode())),
         QStringLiteral("no crash, clean exit"));
    log(ok ? QStringLiteral("all goals met") : QStringLiteral("GOALS MISSED"));
    return ok ? 0 : 1;
}
