#include "Board.h"

#include "JsonField.h"
#include "MqttClient.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>

#include <optional>

namespace manager {

namespace {

const QString infoTopic = QStringLiteral("/info");
const QString statusTopic = QStringLiteral("/status");
const QString configTopic = QStringLiteral("/config");
const QString displayTopic = QStringLiteral("/display");
const QString powerTopic = QStringLiteral("/power");
const QString audioTopic = QStringLiteral("/audio");
const QString eventTopic = QStringLiteral("/event");

// The peripherals the board can switch, with the descriptions the settings show.
struct PeripheralDescription
{
    const char* key;
    const char* description;
};
const PeripheralDescription peripheralDescriptions[] = {
    {"display", QT_TRANSLATE_NOOP("manager::Board", "Display")},
    {"ftdi", QT_TRANSLATE_NOOP("manager::Board", "FTDI")},
    {"mPCIe1", QT_TRANSLATE_NOOP("manager::Board", "mPCIe #1")},
    {"mPCIe2", QT_TRANSLATE_NOOP("manager::Board", "mPCIe #2")},
    {"qrReader", QT_TRANSLATE_NOOP("manager::Board", "QR Reader")},
    {"rfidReader", QT_TRANSLATE_NOOP("manager::Board", "RFID Reader")},
    {"touch", QT_TRANSLATE_NOOP("manager::Board", "Touch")},
    {"usbHost1", QT_TRANSLATE_NOOP("manager::Board", "USB Host")},
    {"usbHub", QT_TRANSLATE_NOOP("manager::Board", "USB Hub")},
};

const char* descriptionOf(const QString& key)
{
    for (const auto& peripheral : peripheralDescriptions) {
        if (key == QLatin1String(peripheral.key))
            return peripheral.description;
    }
    return nullptr;
}

// Reads a stored value the way the property getters do: JSON defaults when missing.
template<typename T>
T storedValue(const QJsonObject& store, const QString& key);
template<>
bool storedValue<bool>(const QJsonObject& store, const QString& key)
{
    return store.value(key).toBool();
}
template<>
int storedValue<int>(const QJsonObject& store, const QString& key)
{
    return store.value(key).toInt();
}
template<>
double storedValue<double>(const QJsonObject& store, const QString& key)
{
    return store.value(key).toDouble();
}
template<>
QString storedValue<QString>(const QJsonObject& store, const QString& key)
{
    return store.value(key).toString();
}

// Stores a received value that differs from the stored one. A malformed value (no
// value) keeps the stored one. Returns whether it changed.
template<typename T>
bool updateField(QJsonObject& store, const QString& key, const std::optional<T>& value)
{
    if (!value || storedValue<T>(store, key) == *value)
        return false;
    store.insert(key, QJsonValue(*value));
    return true;
}

QJsonObject ledStep(int r, int g, int b, int durationMsec)
{
    return QJsonObject {{QStringLiteral("color"),
                         QJsonObject {{QStringLiteral("r"), r},
                                      {QStringLiteral("g"), g},
                                      {QStringLiteral("b"), b}}},
                        {QStringLiteral("duration"), durationMsec}};
}

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

Board::Board(MqttClient& mqtt, const QString& base, QObject* parent)
    : DeviceClient(mqtt, base, QStringLiteral("[Board] "), parent)
{
    setEmptyPayload(EmptyPayload::AsEmptyObject);
    route(infoTopic,
          [this](const QJsonObject& json, const QString& topic) { onInfoReceived(json, topic); });
    route(statusTopic,
          [this](const QJsonObject& json, const QString& topic) { onStatusReceived(json, topic); });
    route(configTopic,
          [this](const QJsonObject& json, const QString& topic) { onConfigReceived(json, topic); });
    route(displayTopic, [this](const QJsonObject& json, const QString& topic) {
        onDisplayReceived(json, topic);
    });
    route(powerTopic,
          [this](const QJsonObject& json, const QString& topic) { onPowerReceived(json, topic); });
    route(eventTopic,
          [this](const QJsonObject& json, const QString& topic) { onEventReceived(json, topic); });
    route(audioTopic,
          [this](const QJsonObject& json, const QString& topic) { onAudioReceived(json, topic); });
    connect(&mqtt, &MqttClient::connected, this, &Board::refresh);
    subscribe();
}

void Board::subscribe()
{
    qInfo().noquote().nospace() << logTag() << "Subscribing to topics";
    for (const QString& suffix :
         {infoTopic, statusTopic, configTopic, displayTopic, powerTopic, audioTopic, eventTopic})
        subscribeTo(suffix, 0);
}

bool Board::ignition() const
{
    return storedValue<bool>(m_device, QStringLiteral("ignition"));
}

QString Board::poleId() const
{
    return storedValue<QString>(m_device, QStringLiteral("poleId"));
}

double Board::temperature() const
{
    return storedValue<double>(m_device, QStringLiteral("temperature"));
}

double Board::voltage() const
{
    return storedValue<double>(m_device, QStringLiteral("voltage"));
}

int Board::uptime() const
{
    return storedValue<int>(m_device, QStringLiteral("uptime"));
}

bool Board::rtcFailed() const
{
    return storedValue<bool>(m_device, QStringLiteral("rtcFailed"));
}

int Board::displayBrightness() const
{
    return storedValue<int>(m_display, QStringLiteral("brightness"));
}

QString Board::displayBrightnessMode() const
{
    return storedValue<QString>(m_display, QStringLiteral("mode"));
}

int Board::ambientLightSensor() const
{
    return storedValue<int>(m_display, QStringLiteral("sensor"));
}

bool Board::audioEnabled() const
{
    return !m_audio.value(QStringLiteral("mute")).toBool();
}

bool Board::peripheralPower(const QString& peripheral) const
{
    return m_power.value(peripheral).toBool();
}

QList<QVariantMap> Board::peripherals() const
{
    QList<QVariantMap> list;
    for (auto it = m_power.constBegin(); it != m_power.constEnd(); ++it) {
        // Translated on every call, so that a language change shows on the next read.
        const char* description = descriptionOf(it.key());
        list.append(
            QVariantMap {{QStringLiteral("item"), it.key()},
                         {QStringLiteral("descr"), description ? tr(description) : QString()},
                         {QStringLiteral("value"), it.value().toBool()}});
    }
    return list;
}

void Board::setPeripherals(const QList<QVariantMap>& peripherals)
{
    qWarning().noquote().nospace() << logTag() << "--- SET PERIPHERALS : " << peripherals;
}

void Board::setStatus(const QString& status)
{
    if (status == m_status)
        return;
    qInfo().noquote().nospace() << logTag() << "Status changed : " << status;
    m_status = status;
    Q_EMIT statusChanged();
}

void Board::onInfoReceived(const QJsonObject& json, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing info topic " << topic;
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    const auto service = JsonField::object(json, QStringLiteral("service"), logTag());
    const auto setInfo = [this](const QString& infoKey, const std::optional<QJsonObject>& from,
                                const QString& key) {
        if (!from)
            return;
        if (const auto value = JsonField::text(*from, key, logTag()))
            m_info.insert(infoKey, *value);
    };
    setInfo(QStringLiteral("firmware"), device, QStringLiteral("firmwareVersion"));
    setInfo(QStringLiteral("hardwareId"), device, QStringLiteral("hardwareId"));
    setInfo(QStringLiteral("hardware"), device, QStringLiteral("hardwareVersion"));
    setInfo(QStringLiteral("version"), service, QStringLiteral("version"));
    Q_EMIT infoChanged();
}

void Board::onStatusReceived(const QJsonObject& json, const QString& topic)
{
    qDebug().noquote().nospace() << logTag() << "Processing status topic " << topic;

    // Without a readable "service" and "active" the state of the board is unknown:
    // such a report changes nothing.
    const auto service = JsonField::boolean(json, QStringLiteral("service"), logTag());
    if (!service)
        return;
    if (!*service) {
        setStatus(QStringLiteral("offline"));
        return;
    }
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    if (!device)
        return;
    const auto active = JsonField::boolean(*device, QStringLiteral("active"), logTag());
    if (!active)
        return;
    if (!*active) {
        setStatus(QStringLiteral("error"));
        return;
    }
    setStatus(QStringLiteral("online"));

    const QString& tag = logTag();
    if (updateField(m_device, QStringLiteral("ignition"),
                    JsonField::boolean(*device, QStringLiteral("ignition"), tag))) {
        qDebug().noquote().nospace() << tag << "Ignition changed : " << boolText(ignition());
        Q_EMIT ignitionChanged();
    }
    if (updateField(m_device, QStringLiteral("poleId"),
                    JsonField::text(*device, QStringLiteral("poleId"), tag))) {
        qDebug().noquote().nospace() << tag << "Pole Id changed : " << poleId();
        Q_EMIT poleIdChanged();
    }
    if (updateField(m_device, QStringLiteral("temperature"),
                    JsonField::number(*device, QStringLiteral("temperature"), tag))) {
        qDebug().noquote().nospace() << tag << "Temperature changed : " << temperature();
        Q_EMIT temperatureChanged();
    }
    if (updateField(m_device, QStringLiteral("voltage"),
                    JsonField::number(*device, QStringLiteral("voltage"), tag))) {
        qDebug().noquote().nospace() << tag << "Voltage changed : " << voltage();
        Q_EMIT voltageChanged();
    }
    if (updateField(m_device, QStringLiteral("uptime"),
                    JsonField::integer(*device, QStringLiteral("uptime"), tag))) {
        qDebug().noquote().nospace() << tag << "Uptime changed : " << uptime();
        Q_EMIT uptimeChanged();
    }
    if (const auto hardware = JsonField::object(*device, QStringLiteral("hardwareStatus"), tag)) {
        if (updateField(m_device, QStringLiteral("rtcFailed"),
                        JsonField::boolean(*hardware, QStringLiteral("rtcFailed"), tag))) {
            qDebug().noquote().nospace()
                << tag << "RTC Status changed : " << (rtcFailed() ? "FAIL" : "OK");
            Q_EMIT rtcFailedChanged();
        }
    }
}

void Board::onConfigReceived(const QJsonObject& json, const QString& topic)
{
    qInfo().noquote().nospace() << logTag() << "Processing config topic " << topic;
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    if (!device)
        return;
    const auto delay = JsonField::integer(*device, QStringLiteral("delayShutdownFor"), logTag());
    if (!delay)
        return;
    m_configReported = true;
    if (*delay == m_delayShutdownFor)
        return;
    qInfo().noquote().nospace() << logTag() << "Board shutdown delay changed : " << *delay
                                << " sec(s)";
    m_delayShutdownFor = *delay;
    Q_EMIT delayShutdownForChanged();
}

void Board::onDisplayReceived(const QJsonObject& json, const QString&)
{
    const QString& tag = logTag();
    if (updateField(m_display, QStringLiteral("brightness"),
                    JsonField::integer(json, QStringLiteral("brightness"), tag))) {
        qDebug().noquote().nospace()
            << tag << "Display brightness changed : " << displayBrightness();
        Q_EMIT displayBrightnessChanged();
    }
    if (updateField(m_display, QStringLiteral("sensor"),
                    JsonField::integer(json, QStringLiteral("sensor"), tag))) {
        qDebug().noquote().nospace() << tag << "Display sensor changed : " << ambientLightSensor();
        Q_EMIT ambientLightSensorChanged();
    }
    if (updateField(m_display, QStringLiteral("mode"),
                    JsonField::text(json, QStringLiteral("mode"), tag))) {
        qDebug().noquote().nospace()
            << tag << "Display brightness mode changed : " << displayBrightnessMode();
        Q_EMIT displayBrightnessModeChanged();
    }
}

void Board::onPowerReceived(const QJsonObject& json, const QString&)
{
    bool changed = false;
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        const QJsonValue value = it.value();
        // Null: the service does not know this rail's state.
        if (value.isNull())
            continue;
        if (!value.isBool()) {
            JsonField::reportWrongType(logTag(), it.key(), value, QStringLiteral("bool"));
            continue;
        }
        if (m_power.value(it.key()) == value)
            continue;
        qInfo().noquote().nospace() << logTag() << "Peripheral power changed '" << it.key()
                                    << "' : " << boolText(value.toBool());
        m_power.insert(it.key(), value);
        changed = true;
        Q_EMIT peripheralPowerChanged(it.key(), value.toBool());
    }
    if (changed)
        Q_EMIT peripheralsChanged();
}

void Board::onAudioReceived(const QJsonObject& json, const QString&)
{
    const auto mute = JsonField::boolean(json, QStringLiteral("mute"), logTag());
    if (!mute || *mute == m_audio.value(QStringLiteral("mute")).toBool())
        return;
    m_audio.insert(QStringLiteral("mute"), *mute);
    Q_EMIT audioEnabledChanged();
}

void Board::onEventReceived(const QJsonObject& json, const QString&)
{
    const auto name = JsonField::text(json, QStringLiteral("name"), logTag());
    if (!name)
        return;
    const QJsonValue data = json.value(QStringLiteral("data"));
    qInfo().noquote().nospace() << logTag() << "Event received : " << *name << " ["
                                << data.toVariant() << "]";
    if (*name != QLatin1String("IgnitionChanged"))
        return;

    // The number 0, the text "0" and false mean off; other numbers and texts, and
    // true, mean on. An event without a usable state is not acted upon.
    bool on = false;
    switch (data.type()) {
    case QJsonValue::Bool:
        on = data.toBool();
        break;
    case QJsonValue::Double:
    case QJsonValue::String:
        on = data.toVariant().toString() != QLatin1String("0");
        break;
    default:
        qWarning().noquote().nospace()
            << logTag() << "Ignoring ignition event without a state: data of type "
            << JsonField::typeName(data);
        return;
    }
    // Emitted even when unchanged: the event itself is news to the listeners.
    m_device.insert(QStringLiteral("ignition"), on);
    Q_EMIT ignitionChanged();
}

void Board::refresh()
{
    qDebug().noquote().nospace() << logTag() << "Refreshing data";
    static const QByteArray request = QByteArrayLiteral("{}");
    for (const char* suffix : {"/status/get", "/display/get", "/power/get", "/audio/get"})
        mqtt().publish(request, topic(QLatin1String(suffix)), 0, false);
}

void Board::requestConfig()
{
    mqtt().publish(QByteArrayLiteral("{}"), topic(QStringLiteral("/config/get")), 0, false);
}

void Board::monitor(int msec)
{
    if (msec > 0)
        qInfo().noquote().nospace() << logTag() << "Monitor started : " << msec << " msec(s)";
    else
        qInfo().noquote().nospace() << logTag() << "Monitor stopped";
    startMonitor(msec);
}

void Board::setDelayShutdownFor(int seconds)
{
    if (seconds == m_delayShutdownFor)
        return;
    qInfo().noquote().nospace() << logTag() << "Setting board shutdown delay : " << seconds
                                << " sec(s)";
    publishCommand(QStringLiteral("/config/set"),
                   QJsonObject {{QStringLiteral("device"),
                                 QJsonObject {{QStringLiteral("delayShutdownFor"), seconds}}}});
}

void Board::setPeripheralPower(const QString& peripheral, bool value)
{
    qInfo().noquote().nospace() << logTag() << "Setting peripheral power: " << peripheral << " ("
                                << boolText(value) << ")";
    publishCommand(QStringLiteral("/power/set"), QJsonObject {{peripheral, value}});
}

void Board::setDisplayBrightness(int value)
{
    qInfo().noquote().nospace() << logTag() << "Setting display brightness : " << value;
    publishCommand(QStringLiteral("/display/set"),
                   QJsonObject {{QStringLiteral("brightness"), value}});
}

void Board::setDisplayBrightnessMode(const QString& value)
{
    qInfo().noquote().nospace() << logTag() << "Setting display brightness mode : " << value;
    publishCommand(QStringLiteral("/display/set"), QJsonObject {{QStringLiteral("mode"), value}});
}

void Board::setAudioEnabled(bool value)
{
    qInfo().noquote().nospace() << logTag() << "Setting audio enabled : " << boolText(value);
    publishCommand(QStringLiteral("/audio/set"), QJsonObject {{QStringLiteral("mute"), !value}});
}

void Board::playBuzzer(int onMsec, int offMsec, int repeat)
{
    qInfo().noquote().nospace() << logTag()
                                << QStringLiteral("Playing buzzer : on=%1 msec, off=%2 msec, "
                                                  "repeat=%3")
                                       .arg(onMsec)
                                       .arg(offMsec)
                                       .arg(repeat);
    publishCommand(QStringLiteral("/buzzer/play/request/1"),
                   QJsonObject {{QStringLiteral("onMsec"), onMsec},
                                {QStringLiteral("offMsec"), offMsec},
                                {QStringLiteral("repeat"), repeat}});
}

void Board::playLeds(const char* name, int repeat, const QJsonArray& steps)
{
    qInfo().noquote().nospace() << logTag() << "Setting LEDs to : " << name;
    publishCommand(
        QStringLiteral("/led/play/request/1"),
        QJsonObject {{QStringLiteral("repeat"), repeat}, {QStringLiteral("steps"), steps}});
}

void Board::setLedValid()
{
    playLeds("VALID", 3, QJsonArray {ledStep(0, 255, 0, 100), ledStep(0, 0, 0, 50)});
}

void Board::setLedInvalid()
{
    playLeds("INVALID", 3, QJsonArray {ledStep(255, 0, 0, 100), ledStep(0, 0, 0, 50)});
}

void Board::setLedTestPattern()
{
    playLeds("TEST", 30,
             QJsonArray {ledStep(255, 0, 0, 1000), ledStep(0, 0, 0, 200), ledStep(0, 255, 0, 1000),
                         ledStep(0, 0, 0, 200)});
}

void Board::setLedOff()
{
    publishEmpty(QStringLiteral("/led/off/request/1"));
}

} // namespace manager
