#include "Simulator.h"

#include "BoardService.h"
#include "ClockService.h"
#include "ControlCommands.h"
#include "DispenserService.h"
#include "InspectorService.h"
#include "JsonArgument.h"
#include "MqttClient.h"
#include "NetworkService.h"
#include "RfidService.h"
#include "TerminalService.h"
#include "TicketFactory.h"
#include "UpdateService.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QTimer>

namespace {
const char* const Tag = "[Simulator] ";
const QString RequestMark = QStringLiteral("/request/");
// Time given to the last publications before the connections close.
constexpr int FlushMsec = 300;

QJsonObject success(const QString& message)
{
    return {{QStringLiteral("ok"), true}, {QStringLiteral("message"), message}};
}

QJsonObject failure(const QString& error)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}
} // namespace

QStringList Simulator::serviceNames()
{
    return {QStringLiteral("terminal"),  QStringLiteral("board"), QStringLiteral("inspector"),
            QStringLiteral("network"),   QStringLiteral("clock"), QStringLiteral("update"),
            QStringLiteral("dispenser"), QStringLiteral("rfid")};
}

bool Simulator::parseServices(const QString& list, QStringList* names, QString* error)
{
    QStringList result;
    const QStringList words = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString word : words) {
        word = word.trimmed().toLower();
        if (word == QLatin1String("all")) {
            result = serviceNames();
            continue;
        }
        if (!serviceNames().contains(word)) {
            *error = QStringLiteral("unknown service '%1' (services: %2)")
                         .arg(word, serviceNames().join(QStringLiteral(", ")));
            return false;
        }
        if (!result.contains(word))
            result.append(word);
    }
    if (result.isEmpty()) {
        *error = QStringLiteral("no service named");
        return false;
    }
    *names = result;
    return true;
}

template<typename T>
T* Simulator::add(const QString& name, const QString& baseTopic)
{
    if (!plays(name))
        return nullptr;
    T* service = new T(baseTopic, this);
    const Options& options = m_options;
    m_services.append({name, service,
                       [service, options] { service->connectToBroker(options.host, options.port); },
                       [service] { service->disconnectFromBroker(); },
                       [service] { return service->isConnected(); }});
    return service;
}

Simulator::Simulator(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_names(options.services.isEmpty() ? serviceNames() : options.services)
    , m_control(std::make_unique<manager::MqttClient>())
{
    m_terminal = add<TerminalService>(QStringLiteral("terminal"), QStringLiteral("ovant/blm"));
    m_board = add<BoardService>(QStringLiteral("board"), QStringLiteral("ovant/board"));
    m_inspector
        = add<InspectorService>(QStringLiteral("inspector"), QStringLiteral("ovant/inspector"));
    m_network = add<NetworkService>(QStringLiteral("network"), QStringLiteral("ovant/network"));
    m_clock = add<ClockService>(QStringLiteral("clock"), QStringLiteral("ovant/device"));
    m_update = add<UpdateService>(QStringLiteral("update"), QStringLiteral("ovant/device"));
    m_dispenser
        = add<DispenserService>(QStringLiteral("dispenser"), QStringLiteral("ovant/dispenser"));
    m_rfid = add<RfidService>(QStringLiteral("rfid"), QStringLiteral("ovant/rfid"));
    if (m_dispenser) {
        m_dispenser->setMotionDelay(qMax(0, options.motionDelay));
        m_dispenser->setTakeDelay(options.takeDelay < 0 ? DispenserService::NeverTaken
                                                        : options.takeDelay);
        m_dispenser->setCardsInCartridge(qMax(0, options.cards));
    }
    if (m_rfid) {
        if (m_dispenser)
            m_rfid->linkDispenser(m_dispenser);
        // The card-issuing reader owns its card topics; the validator's scans stay quiet there.
        if (m_terminal)
            m_terminal->setReaderEvents(false);
    }

    connect(m_control.get(), &manager::MqttClient::received, this, &Simulator::onControlMessage);
    m_control->subscribe(ControlCommands::ControlTopic, 1);
    m_control->subscribe(ControlCommands::ControlTopic + RequestMark + QLatin1Char('+'), 1);
}

Simulator::~Simulator() = default;

void Simulator::start()
{
    qInfo().noquote().nospace() << Tag << "Playing " << m_names.join(QStringLiteral(", ")) << " on "
                                << m_options.host << ":" << m_options.port;
    for (const Service& service : qAsConst(m_services))
        service.connect();
    m_control->setHostname(m_options.host);
    m_control->setPort(m_options.port);
    m_control->setRetryMillis(1000);
    m_control->setClientId(QStringLiteral("kvrt-sim-control-%1-%2")
                               .arg(QCoreApplication::applicationPid())
                               .arg(quintptr(this), 0, 16));
    m_control->connect();
}

void Simulator::stop()
{
    qInfo().noquote().nospace() << Tag << "Stopping: every service goes offline";
    for (const Service& service : qAsConst(m_services)) {
        if (service.object)
            service.object->setProperty("online", false);
    }
    QTimer::singleShot(FlushMsec, this, [this] {
        for (const Service& service : qAsConst(m_services))
            service.disconnect();
        m_control->disconnect();
        Q_EMIT stopped();
    });
}

bool Simulator::isConnected() const
{
    for (const Service& service : m_services) {
        if (!service.connected())
            return false;
    }
    return m_control->isConnected();
}

void Simulator::onControlMessage(const QByteArray& payload, const QByteArray& topicName)
{
    const QString topic = QString::fromUtf8(topicName);
    QString replyTopic;
    if (topic == ControlCommands::ControlTopic) {
        replyTopic = ControlCommands::ReplyTopic;
    } else if (topic.startsWith(ControlCommands::ControlTopic + RequestMark)) {
        const QString id = topic.mid(ControlCommands::ControlTopic.size() + RequestMark.size());
        if (id.isEmpty() || id.contains(QLatin1Char('/')))
            return;
        replyTopic = ControlCommands::ControlTopic + QStringLiteral("/response/") + id;
    } else {
        return;
    }

    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    QJsonObject reply;
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Malformed control command : " << QString::fromUtf8(payload.left(200));
        reply = failure(QStringLiteral("malformed command: a JSON object is expected"));
    } else {
        reply = execute(doc.object());
        if (doc.object().contains(QStringLiteral("id")))
            reply.insert(QStringLiteral("id"), doc.object().value(QStringLiteral("id")));
    }
    m_control->publish(QJsonDocument(reply).toJson(QJsonDocument::Compact), replyTopic, 1, false);
}

QJsonObject Simulator::execute(const QJsonObject& command)
{
    const QString name = command.value(QStringLiteral("command")).toString().trimmed().toLower();
    QJsonObject reply;
    if (name.isEmpty())
        reply = failure(QStringLiteral("no \"command\" given"));
    else if (!ControlCommands::find(name))
        reply = failure(QStringLiteral("unknown command '%1'").arg(name));
    else
        reply = run(name, command);
    reply.insert(QStringLiteral("command"), name);

    if (reply.value(QStringLiteral("ok")).toBool()) {
        qInfo().noquote().nospace() << Tag << "Command " << name << " : "
                                    << reply.value(QStringLiteral("message")).toString();
    } else {
        qWarning().noquote().nospace()
            << Tag << "WARN: Command " << (name.isEmpty() ? QStringLiteral("?") : name)
            << " failed : " << reply.value(QStringLiteral("error")).toString();
    }
    Q_EMIT commandExecuted(command, reply);
    return reply;
}

QString Simulator::setOnline(const QString& service, bool online)
{
    for (const Service& entry : qAsConst(m_services)) {
        if (entry.name == service || service == QLatin1String("all"))
            entry.object->setProperty("online", online);
    }
    return QString();
}

QJsonObject Simulator::run(const QString& name, const QJsonObject& command)
{
    const QJsonValue value = command.value(QStringLiteral("value"));
    const auto missing = [](const QString& service) {
        return failure(QStringLiteral("the %1 service is not simulated").arg(service));
    };
    bool flag = false;
    double number = 0;

    if (name == QLatin1String("status"))
        return statusReport();
    if (name == QLatin1String("cards")) {
        if (!m_dispenser)
            return missing(QStringLiteral("dispenser"));
        // Each card the user took, as the reader last saw it (null: never written).
        QJsonArray cards;
        for (const QString& uid : m_dispenser->takenUids()) {
            const QJsonObject content = m_rfid ? m_rfid->cardContent(uid) : QJsonObject();
            cards.append(QJsonObject {
                {QStringLiteral("uid"), uid},
                {QStringLiteral("content"),
                 content.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(content)}});
        }
        QJsonObject reply = success(QStringLiteral("%1 card(s) taken, %2 disposed of")
                                        .arg(cards.size())
                                        .arg(m_dispenser->disposedCount()));
        reply.insert(QStringLiteral("cards"), cards);
        reply.insert(QStringLiteral("disposed"), m_dispenser->disposedCount());
        return reply;
    }

    if (name == QLatin1String("online") || name == QLatin1String("offline")) {
        const QString service
            = command.value(QStringLiteral("service")).toString().trimmed().toLower();
        if (service != QLatin1String("all") && !plays(service))
            return failure(QStringLiteral("'%1' is not a simulated service (simulated: %2)")
                               .arg(service, m_names.join(QStringLiteral(", "))));
        setOnline(service, name == QLatin1String("online"));
        return success(QStringLiteral("%1 %2").arg(service, name));
    }

    // Dispenser and card reader.
    if (name == QLatin1String("take-card")) {
        if (!m_dispenser)
            return missing(QStringLiteral("dispenser"));
        return m_dispenser->takeCard() ? success(QStringLiteral("card taken from the mouth"))
                                       : failure(QStringLiteral("there is no card in the mouth"));
    }
    if (name == QLatin1String("insert-card")) {
        if (!m_dispenser)
            return missing(QStringLiteral("dispenser"));
        QString uid;
        JsonArgument::toText(value, &uid);
        return m_dispenser->insertCard(uid)
            ? success(QStringLiteral("card pushed into the mouth"))
            : failure(QStringLiteral("the dispenser does not accept a card now"));
    }
    if (name == QLatin1String("jam")) {
        if (!m_dispenser)
            return missing(QStringLiteral("dispenser"));
        flag = true;
        if (!value.isUndefined() && !JsonArgument::toBool(value, &flag))
            return failure(QStringLiteral("jam takes on or off"));
        m_dispenser->setJammed(flag);
        return success(flag ? QStringLiteral("dispenser jammed") : QStringLiteral("jam cleared"));
    }
    if (name == QLatin1String("door")) {
        if (!m_dispenser)
            return missing(QStringLiteral("dispenser"));
        if (!JsonArgument::toBool(value, &flag))
            return failure(QStringLiteral("door takes open or close"));
        m_dispenser->setDoorOpen(flag);
        return success(flag ? QStringLiteral("cartridge door open")
                            : QStringLiteral("cartridge door closed"));
    }
    if (name == QLatin1String("cartridge")) {
        if (!m_dispenser)
            return missing(QStringLiteral("dispenser"));
        int cards = 0;
        if (!JsonArgument::toInt(value, &cards) || cards < 0)
            return failure(QStringLiteral("cartridge takes a number of cards (0 or more)"));
        m_dispenser->setCardsInCartridge(cards);
        return success(cards == 0 ? QStringLiteral("cartridge empty")
                                  : QStringLiteral("%1 card(s) in the cartridge").arg(cards));
    }
    if (name == QLatin1String("fail-write")) {
        if (!m_rfid)
            return missing(QStringLiteral("rfid"));
        QString text;
        if (!JsonArgument::toText(value, &text) || text.trimmed().isEmpty())
            text = QStringLiteral("Write failed");
        m_rfid->failNextWrite(text);
        return success(QStringLiteral("the next card write fails with '%1'").arg(text));
    }

    // Terminal service.
    if (name == QLatin1String("terminal")) {
        if (!m_terminal)
            return missing(QStringLiteral("terminal"));
        TerminalService::Condition condition;
        if (!TerminalService::conditionFromName(value.toString(), &condition))
            return failure(QStringLiteral("terminal takes one of: %1")
                               .arg(TerminalService::conditionNames().join(QStringLiteral(", "))));
        m_terminal->setCondition(condition);
        // The terminal's NTP state is the clock's.
        if (m_clock)
            m_clock->setServerReachable(condition != TerminalService::NtpUnsynchronised);
        return success(
            QStringLiteral("terminal status %1").arg(TerminalService::conditionName(condition)));
    }
    if (name == QLatin1String("scan")) {
        if (!m_terminal)
            return missing(QStringLiteral("terminal"));
        int type = 0;
        if (!TicketFactory::typeFromName(
                command.value(QStringLiteral("ticket")).toVariant().toString(), &type))
            return failure(QStringLiteral("scan takes a ticket type: %1")
                               .arg(TicketFactory::typeNames().join(QStringLiteral(", "))));
        bool valid = true;
        const QJsonValue result = command.value(QStringLiteral("result"));
        if (result.isString() && result.toString().trimmed().toLower() == QLatin1String("valid"))
            valid = true;
        else if (result.isString()
                 && result.toString().trimmed().toLower() == QLatin1String("refused"))
            valid = false;
        else if (!result.isUndefined() && !JsonArgument::toBool(result, &valid))
            return failure(QStringLiteral("the result of a scan is valid or refused"));
        int reason = TicketFactory::defaultRefusal(type);
        const QJsonValue reasonValue = command.value(QStringLiteral("reason"));
        if (!reasonValue.isUndefined()
            && (!JsonArgument::toInt(reasonValue, &reason) || reason < 0))
            return failure(QStringLiteral("the refusal reason is a number"));
        const QJsonValue forceValue = command.value(QStringLiteral("force"));
        bool force = forceValue.isString() && forceValue.toString() == QLatin1String("force");
        if (!force && !forceValue.isUndefined() && !JsonArgument::toBool(forceValue, &force))
            return failure(QStringLiteral("force is true or false"));
        const QString problem = m_terminal->scanTicket(type, valid, valid ? 0 : reason, force);
        if (!problem.isEmpty())
            return failure(problem);
        return success(
            QStringLiteral("%1 ticket %2")
                .arg(TicketFactory::nameOfType(type),
                     valid ? QStringLiteral("valid") : QStringLiteral("refused (%1)").arg(reason)));
    }
    if (name == QLatin1String("maintenance")) {
        if (!m_terminal)
            return missing(QStringLiteral("terminal"));
        const QJsonValue kind = command.value(QStringLiteral("kind"));
        const QJsonObject barcode = kind.isObject()
            ? kind.toObject()
            : TicketFactory::maintenanceBarcode(kind.toString());
        if (barcode.isEmpty())
            return failure(QStringLiteral("maintenance takes one of: %1, or a barcode object")
                               .arg(TicketFactory::maintenanceKinds().join(QStringLiteral(", "))));
        const QJsonValue forceValue = command.value(QStringLiteral("force"));
        bool force = forceValue.isString() && forceValue.toString() == QLatin1String("force");
        if (!force && !forceValue.isUndefined() && !JsonArgument::toBool(forceValue, &force))
            return failure(QStringLiteral("force is true or false"));
        const QString problem = m_terminal->scanMaintenance(barcode, force);
        return problem.isEmpty() ? success(QStringLiteral("maintenance barcode scanned"))
                                 : failure(problem);
    }
    if (name == QLatin1String("retry")) {
        if (!m_terminal)
            return missing(QStringLiteral("terminal"));
        const QString problem = m_terminal->requestRetry();
        return problem.isEmpty() ? success(QStringLiteral("card retry requested"))
                                 : failure(problem);
    }

    // Board.
    if (name == QLatin1String("ignition") || name == QLatin1String("rtc")) {
        if (!m_board)
            return missing(QStringLiteral("board"));
        if (name == QLatin1String("rtc")) {
            const QString word = value.toString().trimmed().toLower();
            if (word != QLatin1String("ok") && word != QLatin1String("failed"))
                return failure(QStringLiteral("rtc takes ok or failed"));
            m_board->setRtcFailed(word == QLatin1String("failed"));
            return success(QStringLiteral("real-time clock %1").arg(word));
        }
        if (!JsonArgument::toBool(value, &flag))
            return failure(QStringLiteral("ignition takes on or off"));
        m_board->setIgnition(flag);
        return success(QStringLiteral("ignition %1").arg(onOff(flag)));
    }
    if (name == QLatin1String("temperature") || name == QLatin1String("voltage")
        || name == QLatin1String("light")) {
        if (!m_board)
            return missing(QStringLiteral("board"));
        if (!JsonArgument::toDouble(value, &number))
            return failure(QStringLiteral("%1 takes a number").arg(name));
        if (name == QLatin1String("temperature")) {
            if (number < -60 || number > 150)
                return failure(QStringLiteral("temperature out of range (-60 to 150)"));
            m_board->setTemperature(number);
            return success(QStringLiteral("temperature %1 C").arg(number));
        }
        if (name == QLatin1String("voltage")) {
            if (number < 0 || number > 60)
                return failure(QStringLiteral("voltage out of range (0 to 60)"));
            m_board->setVoltage(number);
            return success(QStringLiteral("supply voltage %1 V").arg(number));
        }
        if (number < 0 || number > 100)
            return failure(QStringLiteral("light is a percentage (0 to 100)"));
        m_board->setAmbientLight(int(number));
        return success(QStringLiteral("ambient light %1%").arg(int(number)));
    }

    // Network and updater.
    if (name == QLatin1String("ethernet")) {
        if (!m_network)
            return missing(QStringLiteral("network"));
        const QString word = value.toString().trimmed().toLower();
        if (word != QLatin1String("up") && word != QLatin1String("down"))
            return failure(QStringLiteral("ethernet takes up or down"));
        m_network->setLinkUp(word == QLatin1String("up"));
        return success(QStringLiteral("network cable %1")
                           .arg(word == QLatin1String("up") ? QStringLiteral("plugged in")
                                                            : QStringLiteral("unplugged")));
    }
    if (name == QLatin1String("update")) {
        if (!m_update)
            return missing(QStringLiteral("update"));
        QString version;
        if (!JsonArgument::toText(value, &version) || version.trimmed().isEmpty())
            return failure(QStringLiteral("update takes a version or none"));
        version = version.trimmed();
        if (version.toLower() == QLatin1String("none"))
            version.clear();
        m_update->setAvailable(version);
        return success(version.isEmpty() ? QStringLiteral("no update offered")
                                         : QStringLiteral("version %1 offered").arg(version));
    }
    return failure(QStringLiteral("command '%1' is not handled").arg(name));
}

QJsonObject Simulator::statusReport() const
{
    QJsonObject services;
    QStringList lines;
    const auto add = [&services, &lines](const QString& name, bool online, QJsonObject state,
                                         const QString& summary) {
        state.insert(QStringLiteral("online"), online);
        services.insert(name, state);
        lines.append(QStringLiteral("%1: %2%3")
                         .arg(name, online ? QString() : QStringLiteral("OFFLINE; "), summary));
    };
    if (m_terminal) {
        const QString condition = TerminalService::conditionName(m_terminal->condition());
        add(QStringLiteral("terminal"), m_terminal->isOnline(),
            {{QStringLiteral("condition"), condition},
             {QStringLiteral("rfidEnabled"), m_terminal->rfidEnabled()},
             {QStringLiteral("barcodeEnabled"), m_terminal->barcodeEnabled()}},
            QStringLiteral("status %1, reader %2, scanner %3")
                .arg(condition, onOff(m_terminal->rfidEnabled()),
                     onOff(m_terminal->barcodeEnabled())));
    }
    if (m_board) {
        add(QStringLiteral("board"), m_board->isOnline(),
            {{QStringLiteral("ignition"), m_board->ignition()},
             {QStringLiteral("temperature"), m_board->temperature()},
             {QStringLiteral("voltage"), m_board->voltage()},
             {QStringLiteral("rtcFailed"), m_board->rtcFailed()}},
            QStringLiteral("ignition %1, %2 C, %3 V, RTC %4")
                .arg(onOff(m_board->ignition()))
                .arg(m_board->temperature())
                .arg(m_board->voltage())
                .arg(m_board->rtcFailed() ? QStringLiteral("failed") : QStringLiteral("ok")));
    }
    if (m_inspector) {
        add(QStringLiteral("inspector"), m_inspector->isOnline(),
            {{QStringLiteral("volume"), m_inspector->volume()}},
            QStringLiteral("volume %1%").arg(m_inspector->volume()));
    }
    if (m_network) {
        add(QStringLiteral("network"), m_network->isOnline(),
            {{QStringLiteral("method"), m_network->method()},
             {QStringLiteral("linkUp"), m_network->linkUp()}},
            QStringLiteral("eth0 %1, cable %2")
                .arg(m_network->method(),
                     m_network->linkUp() ? QStringLiteral("in") : QStringLiteral("out")));
    }
    if (m_clock) {
        add(QStringLiteral("clock"), m_clock->isOnline(),
            {{QStringLiteral("enabled"), m_clock->isEnabled()},
             {QStringLiteral("synced"), m_clock->isSynced()}},
            QStringLiteral("NTP %1, %2")
                .arg(onOff(m_clock->isEnabled()),
                     m_clock->isSynced() ? QStringLiteral("synchronised")
                                         : QStringLiteral("not synchronised")));
    }
    if (m_update) {
        add(QStringLiteral("update"), m_update->isOnline(),
            {{QStringLiteral("current"), m_update->current()},
             {QStringLiteral("pending"), m_update->pending()},
             {QStringLiteral("available"), m_update->available()}},
            QStringLiteral("installed %1, pending %2")
                .arg(m_update->current(),
                     m_update->pending().isEmpty() ? QStringLiteral("none") : m_update->pending()));
    }
    if (m_dispenser) {
        add(QStringLiteral("dispenser"), m_dispenser->isOnline(),
            {{QStringLiteral("cards"), m_dispenser->cardsInCartridge()},
             {QStringLiteral("jammed"), m_dispenser->isJammed()},
             {QStringLiteral("doorOpen"), m_dispenser->isDoorOpen()},
             {QStringLiteral("cardAtRfid"), m_dispenser->cardAtRfid()},
             {QStringLiteral("cardInMouth"), m_dispenser->cardInMouth()}},
            QStringLiteral("%1 card(s), %2, door %3, card at RFID %4, card in mouth %5")
                .arg(m_dispenser->cardsInCartridge())
                .arg(m_dispenser->isJammed() ? QStringLiteral("JAMMED")
                                             : QStringLiteral("not jammed"),
                     m_dispenser->isDoorOpen() ? QStringLiteral("open") : QStringLiteral("closed"),
                     m_dispenser->cardAtRfid() ? QStringLiteral("yes") : QStringLiteral("no"),
                     m_dispenser->cardInMouth() ? QStringLiteral("yes") : QStringLiteral("no")));
    }
    if (m_rfid) {
        add(QStringLiteral("rfid"), m_rfid->isOnline(),
            {{QStringLiteral("state"), m_rfid->state()},
             {QStringLiteral("card"), m_rfid->cardUid()}},
            QStringLiteral("state %1, card %2")
                .arg(QLatin1String(
                         QMetaEnum::fromType<RfidService::State>().valueToKey(m_rfid->state())),
                     m_rfid->hasCard() ? m_rfid->cardUid() : QStringLiteral("none")));
    }
    QJsonObject reply = success(lines.join(QLatin1Char('\n')));
    reply.insert(QStringLiteral("services"), services);
    return reply;
}
