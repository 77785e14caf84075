#include "TerminalService.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QTimer>

namespace {
const char* const Tag = "[Terminal] ";

struct ConditionName
{
    TerminalService::Condition condition;
    const char* name;
};
const ConditionName ConditionNames[] = {
    {TerminalService::AllGood, "ok"},
    {TerminalService::Initialising, "init"},
    {TerminalService::NoRfid, "no-rfid"},
    {TerminalService::RfidUpdating, "rfid-updating"},
    {TerminalService::NoObu, "no-obu"},
    {TerminalService::NoRoute, "no-route"},
    {TerminalService::NtpUnsynchronised, "ntp-unsync"},
};

// A configuration value as text: the service reports text but accepts numbers and
// booleans too. False for any other JSON type.
bool configText(const QJsonValue& value, QString* text)
{
    switch (value.type()) {
    case QJsonValue::String:
        *text = value.toString();
        return true;
    case QJsonValue::Bool:
        *text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        return true;
    case QJsonValue::Double:
        *text = QString::number(value.toDouble(), 'g', 15);
        return true;
    default:
        return false;
    }
}
} // namespace

const QString TerminalService::RfidTopic = QStringLiteral("ovant/rfid");
const QString TerminalService::BarcodeTopic = QStringLiteral("ovant/barcode");

TerminalService::TerminalService(const QString& baseTopic, QObject* parent)
    : StateService(baseTopic, QLatin1String(Tag), parent)
{
    addState(QStringLiteral("/info"), [this] { return info(); });
    addState(QStringLiteral("/status"), [this] { return status(); });
    addState(QStringLiteral("/config"), [this] { return configuration(); });

    addCommand(topic(QStringLiteral("/config/set")),
               [this](const QJsonObject& json) { setConfiguration(json); });
    addCommand(RfidTopic + QStringLiteral("/enable"),
               [this](const QJsonObject&) { setRfidEnabled(true); });
    addCommand(RfidTopic + QStringLiteral("/disable"),
               [this](const QJsonObject&) { setRfidEnabled(false); });
    addCommand(BarcodeTopic + QStringLiteral("/enable"),
               [this](const QJsonObject&) { setBarcodeEnabled(true); });
    addCommand(BarcodeTopic + QStringLiteral("/disable"),
               [this](const QJsonObject&) { setBarcodeEnabled(false); });
}

QStringList TerminalService::conditionNames()
{
    QStringList names;
    for (const ConditionName& entry : ConditionNames)
        names.append(QLatin1String(entry.name));
    return names;
}

bool TerminalService::conditionFromName(const QString& name, Condition* condition)
{
    const QString key = name.trimmed().toLower();
    for (const ConditionName& entry : ConditionNames) {
        if (key == QLatin1String(entry.name)) {
            *condition = entry.condition;
            return true;
        }
    }
    return false;
}

QString TerminalService::conditionName(Condition condition)
{
    for (const ConditionName& entry : ConditionNames) {
        if (entry.condition == condition)
            return QLatin1String(entry.name);
    }
    return QString();
}

void TerminalService::setCondition(Condition condition)
{
    if (m_condition == condition)
        return;
    m_condition = condition;
    qInfo().noquote().nospace() << Tag << "Terminal condition : " << conditionName(condition);
    changed();
}

int TerminalService::readerState() const
{
    if (m_condition == RfidUpdating)
        return Updating;
    if (m_condition == NoRfid)
        return Error;
    if (!m_rfidEnabled)
        return Idle;
    return m_cardInField ? CardFound : Searching;
}

QString TerminalService::readerProblem() const
{
    if (!isOnline())
        return QStringLiteral("the terminal service is offline");
    if (m_condition == Initialising)
        return QStringLiteral("the terminal service is initialising");
    return QString();
}

QString TerminalService::scanTicket(int type, bool valid, int denyReasonId, bool force)
{
    QString problem = readerProblem();
    const bool barcode = TicketFactory::isBarcode(type);
    if (problem.isEmpty() && !barcode) {
        if (m_condition == NoRfid || m_condition == RfidUpdating)
            problem = QStringLiteral("the RFID reader is not operational");
        else if (!m_rfidEnabled && !force)
            problem = QStringLiteral("the RFID reader is disabled");
    }
    if (problem.isEmpty() && barcode && !m_barcodeEnabled && !force)
        problem = QStringLiteral("the barcode scanner is disabled");
    if (!problem.isEmpty()) {
        qWarning().noquote().nospace() << Tag << "WARN: Ticket not scanned: " << problem;
        return problem;
    }

    m_lastTransaction = m_tickets.transaction(type, valid, denyReasonId);
    qInfo().noquote().nospace() << Tag << "Ticket scanned : " << TicketFactory::nameOfType(type)
                                << (valid ? " valid" : " refused (")
                                << (valid ? QString() : QString::number(denyReasonId) + ")");

    if (barcode) {
        publishEvent(topic(QStringLiteral("/barcode/scanned")),
                     {{QStringLiteral("transaction"), m_lastTransaction}});
    } else {
        // The card enters the field, is validated and leaves again.
        const QJsonObject tag {
            {QStringLiteral("uid"), m_lastTransaction.value(QStringLiteral("ticketId"))},
            {QStringLiteral("type"), type == 10 ? 512 : 256}};
        m_cardInField = true;
        if (m_readerEvents)
            publishEvent(RfidTopic + QStringLiteral("/card/found"), tag);
        publishState(QStringLiteral("/status"));
        publishEvent(topic(QStringLiteral("/rfid/scanned")),
                     {{QStringLiteral("transaction"), m_lastTransaction}});
        QTimer::singleShot(m_cardDwell, this, [this] {
            m_cardInField = false;
            if (m_readerEvents)
                publishEvent(RfidTopic + QStringLiteral("/card/removed"), QJsonObject());
            publishState(QStringLiteral("/status"));
        });
    }
    Q_EMIT ticketScanned(m_lastTransaction);
    return QString();
}

QString TerminalService::scanMaintenance(const QJsonObject& barcode, bool force)
{
    QString problem = readerProblem();
    if (problem.isEmpty() && !m_barcodeEnabled && !force)
        problem = QStringLiteral("the barcode scanner is disabled");
    if (!problem.isEmpty()) {
        qWarning().noquote().nospace() << Tag << "WARN: Barcode not scanned: " << problem;
        return problem;
    }
    qInfo().noquote().nospace() << Tag << "Maintenance barcode scanned : "
                                << QJsonDocument(barcode).toJson(QJsonDocument::Compact);
    publishEvent(topic(QStringLiteral("/barcode/maintenance/scanned")), barcode);
    return QString();
}

QString TerminalService::requestRetry()
{
    const QString problem = readerProblem();
    if (!problem.isEmpty())
        return problem;
    qInfo().noquote().nospace() << Tag << "Asking to present the card again";
    publishEvent(topic(QStringLiteral("/rfid/retry")), QJsonObject());
    return QString();
}

QJsonObject TerminalService::info() const
{
    return {
        {QStringLiteral("service"),
         QJsonObject {{QStringLiteral("version"), QStringLiteral("2.7.3")}}},
        {QStringLiteral("device"),
         QJsonObject {{QStringLiteral("rfid"),
                       QJsonObject {{QStringLiteral("firmware"), QStringLiteral("4.12.0")},
                                    {QStringLiteral("model"), QStringLiteral("VR-300")},
                                    {QStringLiteral("manufacturer"), QStringLiteral("Ovant")},
                                    {QStringLiteral("uid"), QStringLiteral("VR300-00A7F3")}}},
                      {QStringLiteral("barcode"),
                       QJsonObject {{QStringLiteral("firmware"), QStringLiteral("1.0.7")},
                                    {QStringLiteral("manufacturer"), QStringLiteral("Ovant")},
                                    {QStringLiteral("model"), QStringLiteral("QS-20")}}}}},
    };
}

QJsonObject TerminalService::rfidStatus() const
{
    const int state = readerState();
    const bool broken = state == Error;
    QJsonArray sams;
    if (!broken) {
        sams.append(QJsonObject {{QStringLiteral("slot"), 1},
                                 {QStringLiteral("enabled"), true},
                                 {QStringLiteral("unlocked"), true},
                                 {QStringLiteral("atr"),
                                  QStringLiteral("3B DF 18 FF 81 F1 FE 43 00 3F 03 83 4D 49 46 41 "
                                                 "52 45 20 53 41 4D 20 41 56 33 30 11")},
                                 {QStringLiteral("batch"), QStringLiteral("0004A19B2C")},
                                 {QStringLiteral("mode"), QStringLiteral("AV3")},
                                 {QStringLiteral("name"), QStringLiteral("MIFARE SAM AV3")},
                                 {QStringLiteral("production"), QStringLiteral("2024-03-18")},
                                 {QStringLiteral("uid"), QStringLiteral("04C2A1B9E35A80")},
                                 {QStringLiteral("vendor"), QStringLiteral("NXP")},
                                 {QStringLiteral("version"), QStringLiteral("3.0")}});
    }
    return {{QStringLiteral("active"), !broken},
            {QStringLiteral("error"), broken ? QStringLiteral("Reader not responding") : QString()},
            {QStringLiteral("state"), state},
            {QStringLiteral("slots"), QJsonArray {!broken, false}},
            {QStringLiteral("sams"), sams}};
}

QJsonObject TerminalService::status() const
{
    const bool routed = m_condition != NoRoute;
    return {
        {QStringLiteral("state"),
         QJsonObject {
             {QStringLiteral("init"), m_condition == Initialising},
             {QStringLiteral("hasRfid"), m_condition != NoRfid && m_condition != RfidUpdating},
             {QStringLiteral("hasObu"), m_condition != NoObu},
             {QStringLiteral("hasRoute"), routed},
             {QStringLiteral("hasNtp"), m_condition != NtpUnsynchronised}}},
        {QStringLiteral("obu"),
         QJsonObject {
             {QStringLiteral("vehicleUuid"), m_condition == NoObu ? QString() : m_vehicle}}},
        {QStringLiteral("route"),
         QJsonObject {{QStringLiteral("axisName"), routed ? m_route : QString()}}},
        {QStringLiteral("device"),
         QJsonObject {{QStringLiteral("rfid"), rfidStatus()},
                      {QStringLiteral("barcode"),
                       QJsonObject {{QStringLiteral("active"), true},
                                    {QStringLiteral("enabled"), m_barcodeEnabled}}}}},
    };
}

QJsonObject TerminalService::configuration() const
{
    return {
        {QStringLiteral("blm"),
         QJsonObject {{QStringLiteral("obu_host"), m_obuHost},
                      {QStringLiteral("obu_port"), m_obuPort},
                      {QStringLiteral("obu_username"), m_obuUsername},
                      {QStringLiteral("obu_password"), m_obuPassword}}},
        {QStringLiteral("validator"),
         QJsonObject {{QStringLiteral("passbackTime"), m_passbackTime},
                      {QStringLiteral("qr_passback"), m_qrPassback}}},
    };
}

void TerminalService::setConfiguration(const QJsonObject& json)
{
    QString host = m_obuHost, port = m_obuPort, username = m_obuUsername, password = m_obuPassword,
            passback = m_passbackTime, qr = m_qrPassback;
    QStringList problems;

    const QJsonValue blmValue = json.value(QStringLiteral("blm"));
    const QJsonValue validatorValue = json.value(QStringLiteral("validator"));
    if (!blmValue.isUndefined() && !blmValue.isObject())
        problems.append(QStringLiteral("\"blm\" is not an object"));
    if (!validatorValue.isUndefined() && !validatorValue.isObject())
        problems.append(QStringLiteral("\"validator\" is not an object"));
    const QJsonObject blm = blmValue.toObject();
    const QJsonObject validator = validatorValue.toObject();

    const auto text = [&problems](const QJsonObject& object, const char* key, QString* target) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return;
        if (!value.isString())
            problems.append(QStringLiteral("\"%1\" is not a text").arg(QLatin1String(key)));
        else
            *target = value.toString();
    };
    text(blm, "obu_host", &host);
    text(blm, "obu_username", &username);
    text(blm, "obu_password", &password);

    if (blm.contains(QStringLiteral("obu_port"))) {
        QString value;
        bool isNumber = false;
        const int number = configText(blm.value(QStringLiteral("obu_port")), &value)
            ? value.toInt(&isNumber)
            : 0;
        if (!isNumber || number < -1 || number > 65535)
            problems.append(QStringLiteral("\"obu_port\" is not a port number"));
        else
            port = number > 0 ? QString::number(number) : QString(); // -1: no port
    }
    if (validator.contains(QStringLiteral("passbackTime"))) {
        QString value;
        bool isNumber = false;
        const int number = configText(validator.value(QStringLiteral("passbackTime")), &value)
            ? value.toInt(&isNumber)
            : -1;
        if (!isNumber || number < 0)
            problems.append(QStringLiteral("\"passbackTime\" is not a number of seconds"));
        else
            passback = QString::number(number);
    }
    if (validator.contains(QStringLiteral("qr_passback"))) {
        QString value;
        if (!configText(validator.value(QStringLiteral("qr_passback")), &value)
            || (value != QLatin1String("true") && value != QLatin1String("false")))
            problems.append(QStringLiteral("\"qr_passback\" is not true or false"));
        else
            qr = value;
    }

    if (!problems.isEmpty()) {
        // Nothing of a bad request is applied; the client gets the configuration back.
        qWarning().noquote().nospace()
            << Tag << "WARN: Configuration refused : " << problems.join(QStringLiteral(", "));
        publishState(QStringLiteral("/config"));
        return;
    }
    m_obuHost = host;
    m_obuPort = port;
    m_obuUsername = username;
    m_obuPassword = password;
    m_passbackTime = passback;
    m_qrPassback = qr;
    qInfo().noquote().nospace() << Tag << "Configuration set : OBU " << m_obuHost << ":"
                                << m_obuPort << ", passback " << m_passbackTime
                                << " sec(s), QR passback " << m_qrPassback;
    publishState(QStringLiteral("/config"));
    Q_EMIT configurationChanged();
}

void TerminalService::setRfidEnabled(bool enabled)
{
    setReaderEnabled(m_rfidEnabled, enabled, "Validator RFID reader ");
}

void TerminalService::setBarcodeEnabled(bool enabled)
{
    setReaderEnabled(m_barcodeEnabled, enabled, "Validator barcode scanner ");
}

void TerminalService::setReaderEnabled(bool& field, bool enabled, const char* what)
{
    if (field == enabled) {
        // The client asks again when it missed our report: tell it once more.
        publishState(QStringLiteral("/status"));
        return;
    }
    field = enabled;
    qInfo().noquote().nospace() << Tag << what << (enabled ? "enabled" : "disabled");
    changed();
}

void TerminalService::changed()
{
    publishState(QStringLiteral("/status"));
    Q_EMIT stateChanged();
}
