#include "KVRTTerminal.h"

#include "MqttClient.h"
#include "Transaction.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QMap>
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

QJsonObject objectAt(const QJsonObject& json, const QString& key)
{
    return json.value(key).toObject();
}

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

// The service reports every value as text. Each component is taken as plain text:
// a user name or password may hold '%', '@' or ':' and must come back unchanged
// in saveConfig().
QUrl obuUrlFromReport(const QJsonObject& blm)
{
    QUrl url;
    url.setScheme(QStringLiteral("mqtt"));
    url.setHost(blm.value(QStringLiteral("obu_host")).toString(), QUrl::DecodedMode);
    const QString username = blm.value(QStringLiteral("obu_username")).toString();
    if (!username.isEmpty())
        url.setUserName(username, QUrl::DecodedMode);
    const QString password = blm.value(QStringLiteral("obu_password")).toString();
    if (!password.isEmpty())
        url.setPassword(password, QUrl::DecodedMode);
    // Anything that is not a usable port number leaves the URL without a port
    // rather than making the whole URL invalid.
    const int port = blm.value(QStringLiteral("obu_port")).toString().toInt(nullptr, 10);
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
        QJsonParseError error;
        const QByteArray text = payload.isEmpty() ? QByteArrayLiteral("{}") : payload;
        const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError) {
            parseFailed(text, topic, error);
            return;
        }
        onCardFound(doc.object());
        return;
    }

    DeviceClient::handleMessage(payload, topic);
}

void KVRTTerminal::onInfo(const QJsonObject& json)
{
    const QJsonObject device = objectAt(json, QStringLiteral("device"));
    m_barcode.fromJson(objectAt(device, QStringLiteral("barcode")));
    m_rfid.fromJson(objectAt(device, QStringLiteral("rfid")));

    const QString version
        = objectAt(json, QStringLiteral("service")).value(QStringLiteral("version")).toString();
    updateProperty(m_version, version, this, &KVRTTerminal::versionChanged);
}

void KVRTTerminal::onStatus(const QJsonObject& json)
{
    const QJsonObject device = objectAt(json, QStringLiteral("device"));
    m_rfid.fromJson(objectAt(device, QStringLiteral("rfid")));
    m_barcode.fromJson(objectAt(device, QStringLiteral("barcode")));

    // A report that does not say the service runs means it does not.
    if (!json.value(QStringLiteral("service")).toBool()) {
        raiseFault(QStringLiteral("BLM service down"), QStringLiteral("#0002"));
        return;
    }

    const QString vehicle
        = objectAt(json, QStringLiteral("obu")).value(QStringLiteral("vehicleUuid")).toString();
    updateProperty(m_vehicle, vehicle, this, &KVRTTerminal::vehicleChanged);

    const QString route
        = objectAt(json, QStringLiteral("route")).value(QStringLiteral("axisName")).toString();
    updateProperty(m_route, route, this, &KVRTTerminal::routeChanged);

    const QJsonObject state = objectAt(json, QStringLiteral("state"));
    if (state.value(QStringLiteral("init")).toBool()) {
        // Still starting: the previous reason stays until the service has settled.
        setStatus(StatusInit);
        return;
    }

    if (!state.value(QStringLiteral("hasRfid")).toBool()) {
        if (m_rfid.state() == QLatin1String("Updating"))
            raiseFault(QStringLiteral("RFID firmware is updating"), QStringLiteral("#0003"));
        else
            raiseFault(QStringLiteral("RFID is not operational"), QStringLiteral("#0004"));
        return;
    }

    if (!state.value(QStringLiteral("hasObu")).toBool()) {
        raiseFault(QStringLiteral("Disconnected from OBC"), QStringLiteral("#0005"));
        return;
    }

    // Services that do not track the clock do not send the flag at all.
    if (state.contains(QStringLiteral("hasNtp"))
        && !state.value(QStringLiteral("hasNtp")).toBool()) {
        raiseFault(QStringLiteral("NTP not synchronized"), QStringLiteral("#0007"));
        return;
    }

    if (state.value(QStringLiteral("hasRoute")).toBool()) {
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

    if (blmValue.isObject())
        m_config.setObuUrl(obuUrlFromReport(blmValue.toObject()));

    if (validatorValue.isObject()) {
        const QJsonObject validator = validatorValue.toObject();
        m_config.setPassbackSecs(
            validator.value(QStringLiteral("passbackTime")).toString().toInt(nullptr, 10));
        m_config.setPassbackQrEnabled(validator.value(QStringLiteral("qr_passback")).toString()
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
    Q_EMIT cardDetected(json.value(QStringLiteral("uid")).toString(),
                        cardTypeName(json.value(QStringLiteral("type")).toInt()));
}

void KVRTTerminal::onScanned(const QJsonObject& json)
{
    const Transaction transaction(objectAt(json, QStringLiteral("transaction")), nullptr);
    Q_EMIT ticketValidated(transaction);
}

void KVRTTerminal::onMqttDisconnected()
{
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

void KVRTTerminal::raiseFault(const QString& reason, const QString& code)
{
    setStatus(StatusOffline);
    setStatus(StatusOnline);
    setReason(reason, code);
}

bool KVRTTerminal::publishTo(const QString& topic, const QByteArray& payload)
{
    return mqtt().publish(payload, topic, 0, false);
}

void KVRTTerminal::enableBarcode()
{
    if (!m_barcode.enabled())
        publishTo(BarcodeEnableTopic, QByteArray());
}

void KVRTTerminal::disableBarcode()
{
    if (m_barcode.enabled())
        publishTo(BarcodeDisableTopic, QByteArray());
}

void KVRTTerminal::enableRfid()
{
    if (!m_rfid.enabled())
        publishTo(RfidEnableTopic,
                  QJsonDocument(QJsonObject {{QStringLiteral("autoread"), true}}).toJson());
}

void KVRTTerminal::disableRfid()
{
    if (m_rfid.enabled())
        publishTo(RfidDisableTopic, QByteArray());
}

void KVRTTerminal::saveConfig()
{
    const QUrl url = m_config.obuUrl();
    const QJsonObject blm {
        {QStringLiteral("obu_username"), url.userName(QUrl::FullyDecoded)},
        {QStringLiteral("obu_password"), url.password(QUrl::FullyDecoded)},
        {QStringLiteral("obu_host"), url.host(QUrl::FullyDecoded)},
        {QStringLiteral("obu_port"), url.port(-1)},
    };
    const QJsonObject validator {
        {QStringLiteral("passbackTime"), m_config.passbackSecs()},
        {QStringLiteral("qr_passback"), m_config.passbackQrEnabled()},
    };
    publishCommand(
        QStringLiteral("/config/set"),
        QJsonObject {{QStringLiteral("blm"), blm}, {QStringLiteral("validator"), validator}});
}

void KVRTTerminal::refreshConfig()
{
    publishTo(topic(QStringLiteral("/config/get")), QByteArrayLiteral("{ }"));
}

} // namespace manager
