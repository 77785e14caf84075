#include "KVRTTerminal.h"

#include "JsonField.h"
#include "MqttClient.h"
#include "SecretMask.h"
#include "Transaction.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QMap>
#include <QTimer>
#include <QUrl>

namespace manager {

namespace {
// The reader and scanner belong to the service but are switched through their
// own topics, which do not depend on the configured base.
const QString CardRemovedTopic = QStringLiteral("ovant/rfid/card/removed");
const QString CardFoundTopic = QStringLiteral("ovant/rfid/card/found");
const QString RfidEnableTopic = QStringLiteral("ovant/rfid/enable");
const QString RfidDisableTopic = QStringLiteral("ovant/rfid/disable");
const QString BarcodeEnableTopic = QStringLiteral("ovant/barcode/enable");
const QString BarcodeDisableTopic = QStringLiteral("ovant/barcode/disable");

const QString StatusInit = QStringLiteral("init");
const QString StatusOnline = QStringLiteral("online");
const QString StatusOffline = QStringLiteral("offline");
const QString StatusOutOfService = QStringLiteral("out-of-service");

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

// The service reports every value of its configuration as text; a value of
// another type is logged and counts as empty text.
QString configText(const QJsonObject& json, const QString& key, const QString& logTag)
{
    return JsonField::text(json, key, logTag).value_or(QString());
}

// Each component is taken as plain text: a user name or password may hold '%',
// '@' or ':' and must come back unchanged in saveConfig().
QUrl obuUrlFromReport(const QJsonObject& blm, const QString& logTag)
{
    QUrl url;
    url.setScheme(QStringLiteral("mqtt"));
    url.setHost(configText(blm, QStringLiteral("obu_host"), logTag), QUrl::DecodedMode);
    const QString username = configText(blm, QStringLiteral("obu_username"), logTag);
    if (!username.isEmpty())
        url.setUserName(username, QUrl::DecodedMode);
    const QString password = configText(blm, QStringLiteral("obu_password"), logTag);
    if (!password.isEmpty())
        url.setPassword(password, QUrl::DecodedMode);
    // Anything that is not a usable port number leaves the URL without a port
    // rather than making the whole URL invalid.
    const int port = configText(blm, QStringLiteral("obu_port"), logTag).toInt(nullptr, 10);
    if (port > 0 && port <= 65535)
        url.setPort(port);
    return url;
}
} // namespace

KVRTTerminal::KVRTTerminal(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QStringLiteral("[KVRTTerminal] "), parent)
    , m_config(this)
    , m_barcode(this)
    , m_rfid(this)
{
    connect(&mqtt, &MqttClient::disconnected, this, &KVRTTerminal::onMqttDisconnected);
    // Once the service reports a new reader state, that state is what we know.
    connect(&m_rfid, &ValidatorRfid::enabledChanged, this, [this] { m_rfidSwitch.told.reset(); });
    connect(&m_barcode, &ValidatorBarcode::enabledChanged, this,
            [this] { m_barcodeSwitch.told.reset(); });

    setEmptyPayload(EmptyPayload::AsEmptyObject);
    // (The route() property hides the base's routing by name.)
    DeviceClient::route(QStringLiteral("/info"),
                        [this](const QJsonObject& json, const QString&) { onInfo(json); });
    DeviceClient::route(QStringLiteral("/status"),
                        [this](const QJsonObject& json, const QString&) { onStatus(json); });
    DeviceClient::route(QStringLiteral("/config"),
                        [this](const QJsonObject& json, const QString&) { onConfig(json); });
    DeviceClient::route(QStringLiteral("/rfid/retry"),
                        [this](const QJsonObject&, const QString&) { Q_EMIT cardRetry(); });
    DeviceClient::route(QStringLiteral("/rfid/scanned"),
                        [this](const QJsonObject& json, const QString&) { onScanned(json); });
    DeviceClient::route(QStringLiteral("/barcode/scanned"),
                        [this](const QJsonObject& json, const QString&) { onScanned(json); });
    DeviceClient::route(QStringLiteral("/barcode/maintenance/scanned"),
                        [this](const QJsonObject& json, const QString&) {
                            Q_EMIT maintenanceBarcodeScanned(json);
                        });

    for (const char* suffix : {"/info", "/status", "/config", "/rfid/retry", "/rfid/scanned",
                               "/barcode/scanned", "/barcode/maintenance/scanned"})
        subscribeTo(QString::fromLatin1(suffix), 0);
    mqtt.subscribe(CardRemovedTopic, 0);
    mqtt.subscribe(CardFoundTopic, 0);
}

QString KVRTTerminal::cardTypeName(int type)
{
    static const QMap<int, QString> names {
        {0, QStringLiteral("Unknown")},
        {1, QStringLiteral("ISO14443-4A")},
        {2, QStringLiteral("ISO14443-4B")},
        {4, QStringLiteral("MIFARE Classic 1K")},
        {8, QStringLiteral("MIFARE Classic 4K")},
        {16, QStringLiteral("MIFARE Plus 2K")},
        {32, QStringLiteral("MIFARE Plus 4K")},
        {64, QStringLiteral("MIFARE Ultralight")},
        {128, QStringLiteral("MIFARE Mini")},
        {256, QStringLiteral("MIFARE DESFire")},
        {512, QStringLiteral("EMV")},
        {32768, QStringLiteral("Other")},
    };
    return names.value(type, QStringLiteral("Unknown"));
}

void KVRTTerminal::handleMessage(const QByteArray& payload, const QString& topic)
{
    // A removal matters whatever the reader sends with it.
    if (topic == CardRemovedTopic) {
        Q_EMIT cardRemoved();
        return;
    }

    // The card-found topic lies outside the base, which the shared dispatch
    // filters on, so it is parsed here under the same rules.
    if (topic == CardFoundTopic) {
        QJsonObject json;
        if (parseObject(payload.isEmpty() ? QByteArrayLiteral("{}") : payload, topic, json))
            onCardFound(json);
        return;
    }

    DeviceClient::handleMessage(payload, topic);
}

// Fields of the wrong type are logged by JsonField and leave the state as it was;
// missing ones read as empty, false or 0 and take the documented path.

void KVRTTerminal::updateBarcode(const QJsonObject& device)
{
    if (const auto barcode = JsonField::object(device, QStringLiteral("barcode"), logTag()))
        m_barcode.fromJson(*barcode);
}

void KVRTTerminal::updateRfid(const QJsonObject& device)
{
    if (const auto rfid = JsonField::object(device, QStringLiteral("rfid"), logTag()))
        m_rfid.fromJson(*rfid);
}

void KVRTTerminal::updateText(const QJsonObject& json, const QString& object, const QString& key,
                              QString& field, void (KVRTTerminal::*notify)())
{
    const auto parent = JsonField::object(json, object, logTag());
    if (!parent)
        return;
    if (const auto value = JsonField::text(*parent, key, logTag()))
        updateProperty(field, *value, this, notify);
}

void KVRTTerminal::onInfo(const QJsonObject& json)
{
    if (const auto device = JsonField::object(json, QStringLiteral("device"), logTag())) {
        updateBarcode(*device);
        updateRfid(*device);
    }
    updateText(json, QStringLiteral("service"), QStringLiteral("version"), m_version,
               &KVRTTerminal::versionChanged);
}

void KVRTTerminal::onStatus(const QJsonObject& json)
{
    if (const auto device = JsonField::object(json, QStringLiteral("device"), logTag())) {
        updateRfid(*device);
        updateBarcode(*device);
    }

    // A report that does not say the service runs means it does not; one that says
    // it in a form we cannot read decides nothing.
    const auto service = JsonField::boolean(json, QStringLiteral("service"), logTag());
    if (!service)
        return;
    if (!*service) {
        raiseFault(QStringLiteral("BLM service down"), QStringLiteral("#0002"));
        return;
    }

    updateText(json, QStringLiteral("obu"), QStringLiteral("vehicleUuid"), m_vehicle,
               &KVRTTerminal::vehicleChanged);
    updateText(json, QStringLiteral("route"), QStringLiteral("axisName"), m_route,
               &KVRTTerminal::routeChanged);

    const auto state = JsonField::object(json, QStringLiteral("state"), logTag());
    if (!state)
        return;
    // Each flag is read when its rule is reached; an unreadable one ends the
    // evaluation with the status as it was.
    auto flag = [&](const char* key) {
        return JsonField::boolean(*state, QString::fromLatin1(key), logTag());
    };

    const auto init = flag("init");
    if (!init)
        return;
    if (*init) {
        // Still starting: the previous reason stays until the service has settled.
        setStatus(StatusInit);
        return;
    }

    const auto hasRfid = flag("hasRfid");
    if (!hasRfid)
        return;
    if (!*hasRfid) {
        if (m_rfid.state() == QLatin1String("Updating"))
            raiseFault(QStringLiteral("RFID firmware is updating"), QStringLiteral("#0003"),
                       *state);
        else
            raiseFault(QStringLiteral("RFID is not operational"), QStringLiteral("#0004"), *state);
        return;
    }

    const auto hasObu = flag("hasObu");
    if (!hasObu)
        return;
    if (!*hasObu) {
        raiseFault(QStringLiteral("Disconnected from OBC"), QStringLiteral("#0005"), *state);
        return;
    }

    // Services that do not track the clock do not send the flag at all.
    if (state->contains(QStringLiteral("hasNtp"))) {
        const auto hasNtp = flag("hasNtp");
        if (!hasNtp)
            return;
        if (!*hasNtp) {
            raiseFault(QStringLiteral("NTP not synchronized"), QStringLiteral("#0007"), *state);
            return;
        }
    }

    const auto hasRoute = flag("hasRoute");
    if (!hasRoute)
        return;
    if (*hasRoute) {
        setStatus(StatusOnline);
        setReason(QString(), QString());
    } else {
        setStatus(StatusOutOfService);
        setReason(QStringLiteral("No route"), QStringLiteral("#0006"));
    }
}

void KVRTTerminal::onConfig(const QJsonObject& json)
{
    // The mirror is what saveConfig() sends back to the service (also after a
    // maintenance barcode changed only the OBU address), so a report that lacks a
    // part must not wipe that part's settings.
    const QJsonValue blmValue = json.value(QStringLiteral("blm"));
    const QJsonValue validatorValue = json.value(QStringLiteral("validator"));
    if (!blmValue.isObject() && !validatorValue.isObject()) {
        qWarning().noquote().nospace()
            << logTag() << "Config report without 'blm' or 'validator' object ignored";
        return;
    }

    if (blmValue.isObject()) {
        const QJsonObject blm = blmValue.toObject();
        m_reportedObuHost = configText(blm, QStringLiteral("obu_host"), logTag());
        m_reportedObuUrl = obuUrlFromReport(blm, logTag());
        m_obuReported = true;
        if (!m_reportedObuHost.isEmpty()
            && (!m_reportedObuUrl.isValid() || m_reportedObuUrl.host().isEmpty()))
            qWarning().noquote().nospace() << logTag() << "OBU host '" << m_reportedObuHost
                                           << "' is not a valid host name; it is kept as reported";
        m_config.setObuUrl(m_reportedObuUrl);
    }

    if (validatorValue.isObject()) {
        const QJsonObject validator = validatorValue.toObject();
        m_config.setPassbackSecs(
            configText(validator, QStringLiteral("passbackTime"), logTag()).toInt(nullptr, 10));
        m_config.setPassbackQrEnabled(configText(validator, QStringLiteral("qr_passback"), logTag())
                                      == QLatin1String("true"));
    }

    // The log goes to syslog: the password stays out of it.
    qWarning().noquote().nospace() << logTag() << "Config received : ";
    qWarning().noquote().nospace()
        << logTag() << "OBU URL         : " << m_config.obuUrl().toString(QUrl::RemovePassword);
    qWarning().noquote().nospace()
        << logTag() << "Passback Time   : " << m_config.passbackSecs() << " sec(s)";
    qWarning().noquote().nospace()
        << logTag() << "Passback QR En  : " << boolText(m_config.passbackQrEnabled());

    Q_EMIT configChanged();
}

void KVRTTerminal::onCardFound(const QJsonObject& json)
{
    // A card is there whatever else is wrong with the message.
    const QString uid = JsonField::text(json, QStringLiteral("uid"), logTag()).value_or(QString());
    const int type = JsonField::integer(json, QStringLiteral("type"), logTag()).value_or(0);
    Q_EMIT cardDetected(uid, cardTypeName(type));
}

void KVRTTerminal::onScanned(const QJsonObject& json)
{
    // The passenger did present something: a result that cannot be read is shown
    // as a refusal (an empty transaction is not valid) rather than not at all.
    const Transaction transaction(
        JsonField::object(json, QStringLiteral("transaction"), logTag()).value_or(QJsonObject()));
    Q_EMIT ticketValidated(transaction);
}

void KVRTTerminal::onMqttDisconnected()
{
    // Commands of the lost connection may not have arrived.
    m_rfidSwitch.told.reset();
    m_barcodeSwitch.told.reset();
    setStatus(StatusOffline);
    setReason(QStringLiteral("MQTT Disconnected"), QStringLiteral("#0001"));
}

void KVRTTerminal::setStatus(const QString& status)
{
    if (status == m_status)
        return;
    qWarning().noquote().nospace() << logTag() << "KVRTTerminal status is : " << status;
    m_status = status;
    Q_EMIT statusChanged();
}

void KVRTTerminal::setReason(const QString& reason, const QString& code)
{
    if (reason == m_reason && code == m_reasonCode)
        return;
    m_reason = reason;
    m_reasonCode = code;
    Q_EMIT reasonChanged();
}

void KVRTTerminal::raiseFault(const QString& reason, const QString& code, const QJsonObject& state)
{
    setStatus(StatusOffline);
    // A terminal without a route cannot validate whatever else is wrong: it must not
    // show the gate page with its readers on. (An unreadable flag decides nothing.)
    const auto hasRoute = state.isEmpty()
        ? std::nullopt
        : JsonField::boolean(state, QStringLiteral("hasRoute"), logTag());
    if (hasRoute && !*hasRoute) {
        qWarning().noquote().nospace()
            << logTag() << "Fault " << code << " " << reason << " while there is no route";
        setStatus(StatusOutOfService);
        setReason(QStringLiteral("No route"), QStringLiteral("#0006"));
        return;
    }
    setStatus(StatusOnline);
    setReason(reason, code);
}

bool KVRTTerminal::publishTo(const QString& topic, const QByteArray& payload)
{
    return mqtt().publish(payload, topic, 0, false);
}

// A fault report passes through "offline" before "online", and each decision
// switches the readers; only the last wish of a report counts, so that a report
// ends with the readers as its last decision wants, with one command at most.
void KVRTTerminal::want(Switch& reader, bool on)
{
    reader.wanted = on;
    if (m_flushPending)
        return;
    m_flushPending = true;
    QTimer::singleShot(0, this, &KVRTTerminal::flushSwitches);
}

void KVRTTerminal::flushSwitches()
{
    m_flushPending = false;
    flush(m_rfidSwitch, m_rfid.enabled(), RfidEnableTopic,
          QJsonDocument(QJsonObject {{QStringLiteral("autoread"), true}}).toJson(),
          RfidDisableTopic);
    flush(m_barcodeSwitch, m_barcode.enabled(), BarcodeEnableTopic, QByteArray(),
          BarcodeDisableTopic);
}

void KVRTTerminal::flush(Switch& reader, bool reported, const QString& onTopic,
                         const QByteArray& onPayload, const QString& offTopic)
{
    if (!reader.wanted)
        return;
    const bool on = *std::exchange(reader.wanted, std::nullopt);
    if (on == reader.told.value_or(reported))
        return;
    if (publishTo(on ? onTopic : offTopic, on ? onPayload : QByteArray()))
        reader.told = on;
}

void KVRTTerminal::enableBarcode()
{
    want(m_barcodeSwitch, true);
}

void KVRTTerminal::disableBarcode()
{
    want(m_barcodeSwitch, false);
}

void KVRTTerminal::enableRfid()
{
    want(m_rfidSwitch, true);
}

void KVRTTerminal::disableRfid()
{
    want(m_rfidSwitch, false);
}

bool KVRTTerminal::saveConfig()
{
    return saveConfig(m_config.obuUrl(), m_config.passbackSecs(), m_config.passbackQrEnabled());
}

bool KVRTTerminal::saveConfigFrom(const QString& obuText, const QString& obuPassword,
                                  int passbackSecs, bool passbackQrEnabled)
{
    const bool unchanged
        = obuText == m_config.obuAddress() && obuPassword == m_config.obuPassword();
    const QUrl url
        = unchanged ? m_config.obuUrl() : KVRTTerminalConfig::obuUrlFromText(obuText, obuPassword);
    if (!unchanged && url.isEmpty()) {
        // Masked as the text reads, so that a password typed into it stays out of the log.
        const QString typed = obuText.trimmed();
        qWarning().noquote().nospace()
            << logTag() << "Configuration not saved: '"
            << SecretMask::text(
                   typed.contains(QLatin1String("://")) ? typed : QStringLiteral("mqtt://") + typed)
                   .left(200)
            << "' is not an OBU address (mqtt://[user@]host[:port])";
        return false;
    }
    return saveConfig(url, passbackSecs, passbackQrEnabled);
}

bool KVRTTerminal::saveConfig(const QUrl& obuUrl, int passbackSecs, bool passbackQrEnabled)
{
    // An address left as reported goes back as reported, even one QUrl cannot hold.
    QString host = obuUrl.host(QUrl::FullyDecoded);
    if (obuUrl == m_reportedObuUrl)
        host = m_reportedObuHost;
    // No address goes out only as the service's own (a validator without an OBU keeps
    // its passback settings savable); one never heard of is not made up.
    const bool reportedNone = m_obuReported && obuUrl == m_reportedObuUrl && host.isEmpty();
    if (host.isEmpty() && !reportedNone) {
        qWarning().noquote().nospace()
            << logTag() << "Configuration not saved: the OBU address '"
            << obuUrl.toString(QUrl::RemovePassword) << "' has no valid host";
        return false;
    }
    const QJsonObject blm {
        {QStringLiteral("obu_username"), obuUrl.userName(QUrl::FullyDecoded)},
        {QStringLiteral("obu_password"), obuUrl.password(QUrl::FullyDecoded)},
        {QStringLiteral("obu_host"), host},
        {QStringLiteral("obu_port"), obuUrl.port(-1)},
    };
    const QJsonObject validator {
        {QStringLiteral("passbackTime"), passbackSecs},
        {QStringLiteral("qr_passback"), passbackQrEnabled},
    };
    if (!publishCommand(
            QStringLiteral("/config/set"),
            QJsonObject {{QStringLiteral("blm"), blm}, {QStringLiteral("validator"), validator}})) {
        qWarning().noquote().nospace()
            << logTag() << "Configuration not sent: no connection to the broker";
        return false;
    }
    m_config.setObuUrl(obuUrl);
    m_config.setPassbackSecs(passbackSecs);
    m_config.setPassbackQrEnabled(passbackQrEnabled);
    return true;
}

void KVRTTerminal::refreshConfig()
{
    publishTo(topic(QStringLiteral("/config/get")), QByteArrayLiteral("{ }"));
}

} // namespace manager
