#include "Board.h"

#include "JsonField.h"
#include "MqttClient.h"
#include "TaggedLog.h"
#include "UpdateProperty.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>

#include <optional>

namespace manager {

namespace {

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

QJsonObject ledStep(int r, int g, int b, int durationMsec)
{
    return QJsonObject {{QStringLiteral("color"),
                         QJsonObject {{QStringLiteral("r"), r},
                                      {QStringLiteral("g"), g},
                                      {QStringLiteral("b"), b}}},
                        {QStringLiteral("duration"), durationMsec}};
}

} // namespace

Board::Board(MqttClient& mqtt, const QString& base, QObject* parent)
    : MonitoredClient(mqtt, base, QStringLiteral("[Board] "), parent)
{
    setEmptyPayload(EmptyPayload::AsEmptyObject);
    const struct
    {
        const char* suffix;
        void (Board::*handler)(const QJsonObject& json, const QString& topic);
    } routes[] = {
        {"/info", &Board::onInfoReceived},     {"/status", &Board::onStatusReceived},
        {"/config", &Board::onConfigReceived}, {"/display", &Board::onDisplayReceived},
        {"/power", &Board::onPowerReceived},   {"/event", &Board::onEventReceived},
        {"/audio", &Board::onAudioReceived},
    };
    for (const auto& entry : routes)
        route(QLatin1String(entry.suffix),
              [this, handler = entry.handler](const QJsonObject& json, const QString& topic) {
                  (this->*handler)(json, topic);
              });
    subscribeAll({"/info", "/status", "/config", "/display", "/power", "/audio", "/event"});
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
    tagged(qWarning(), logTag()) << "--- SET PERIPHERALS : " << peripherals;
}

void Board::setStatus(const QString& status)
{
    updateProperty(m_status, status, this, &Board::statusChanged, QtInfoMsg, logTag(),
                   "Status changed : ");
}

namespace {
// How a stored value shows in the log.
template<typename T>
const T& shown(const T& value)
{
    return value;
}
const char* shown(bool value)
{
    return boolText(value);
}
} // namespace

template<typename T>
bool Board::updateStored(QJsonObject& store, const QJsonObject& json, const QString& key,
                         std::optional<T> (*read)(const QJsonObject&, const QString&,
                                                  const QString&),
                         void (Board::*notify)(), const char* label)
{
    const std::optional<T> value = read(json, key, logTag());
    if (!value || storedValue<T>(store, key) == *value)
        return false;
    store.insert(key, QJsonValue(*value));
    if (label)
        tagged(qDebug(), logTag()) << label << shown(*value);
    Q_EMIT(this->*notify)();
    return true;
}

void Board::onInfoReceived(const QJsonObject& json, const QString& topic)
{
    tagged(qInfo(), logTag()) << "Processing info topic " << topic;
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
    tagged(qDebug(), logTag()) << "Processing status topic " << topic;

    // Without a readable "service" and "active" the state of the board is unknown:
    // such a report changes nothing.
    QJsonObject device;
    const auto state = JsonField::deviceState(json, device, logTag());
    if (!state)
        return;
    // The values of a board that is offline or in error are kept as they were.
    setStatus(*state == JsonField::Active ? QStringLiteral("online") : *state);
    if (*state != JsonField::Active)
        return;

    updateStored(m_device, device, QStringLiteral("ignition"), &JsonField::boolean,
                 &Board::ignitionChanged, "Ignition changed : ");
    updateStored(m_device, device, QStringLiteral("poleId"), &JsonField::text,
                 &Board::poleIdChanged, "Pole Id changed : ");
    updateStored(m_device, device, QStringLiteral("temperature"), &JsonField::number,
                 &Board::temperatureChanged, "Temperature changed : ");
    updateStored(m_device, device, QStringLiteral("voltage"), &JsonField::number,
                 &Board::voltageChanged, "Voltage changed : ");
    updateStored(m_device, device, QStringLiteral("uptime"), &JsonField::integer,
                 &Board::uptimeChanged, "Uptime changed : ");
    const auto hardware = JsonField::object(device, QStringLiteral("hardwareStatus"), logTag());
    // Logged as the board's clock state rather than as a flag.
    if (hardware
        && updateStored(m_device, *hardware, QStringLiteral("rtcFailed"), &JsonField::boolean,
                        &Board::rtcFailedChanged, nullptr))
        tagged(qDebug(), logTag()) << "RTC Status changed : " << (rtcFailed() ? "FAIL" : "OK");
}

void Board::onConfigReceived(const QJsonObject& json, const QString& topic)
{
    tagged(qInfo(), logTag()) << "Processing config topic " << topic;
    const auto device = JsonField::object(json, QStringLiteral("device"), logTag());
    if (!device)
        return;
    const auto delay = JsonField::integer(*device, QStringLiteral("delayShutdownFor"), logTag());
    if (!delay)
        return;
    m_configReported = true;
    updateProperty(m_delayShutdownFor, *delay, this, &Board::delayShutdownForChanged, QtInfoMsg,
                   logTag(), "Board shutdown delay changed : ", " sec(s)");
}

void Board::onDisplayReceived(const QJsonObject& json, const QString&)
{
    updateStored(m_display, json, QStringLiteral("brightness"), &JsonField::integer,
                 &Board::displayBrightnessChanged, "Display brightness changed : ");
    updateStored(m_display, json, QStringLiteral("sensor"), &JsonField::integer,
                 &Board::ambientLightSensorChanged, "Display sensor changed : ");
    updateStored(m_display, json, QStringLiteral("mode"), &JsonField::text,
                 &Board::displayBrightnessModeChanged, "Display brightness mode changed : ");
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
        tagged(qInfo(), logTag()) << "Peripheral power changed '" << it.key()
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
    tagged(qInfo(), logTag()) << "Event received : " << *name << " [" << data.toVariant() << "]";
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
        tagged(qWarning(), logTag()) << "Ignoring ignition event without a state: data of type "
                                     << JsonField::typeName(data);
        return;
    }
    // Emitted even when unchanged: the event itself is news to the listeners.
    m_device.insert(QStringLiteral("ignition"), on);
    Q_EMIT ignitionChanged();
}

void Board::refresh()
{
    tagged(qDebug(), logTag()) << "Refreshing data";
    requestAll({"/status/get", "/display/get", "/power/get", "/audio/get"});
}

void Board::requestConfig()
{
    requestAll({"/config/get"});
}

void Board::setDelayShutdownFor(int seconds)
{
    if (seconds == m_delayShutdownFor)
        return;
    tagged(qInfo(), logTag()) << "Setting board shutdown delay : " << seconds << " sec(s)";
    publishCommand(QStringLiteral("/config/set"),
                   QJsonObject {{QStringLiteral("device"),
                                 QJsonObject {{QStringLiteral("delayShutdownFor"), seconds}}}});
}

void Board::setPeripheralPower(const QString& peripheral, bool value)
{
    tagged(qInfo(), logTag()) << "Setting peripheral power: " << peripheral << " ("
                              << boolText(value) << ")";
    publishCommand(QStringLiteral("/power/set"), QJsonObject {{peripheral, value}});
}

void Board::setDisplayBrightness(int value)
{
    tagged(qInfo(), logTag()) << "Setting display brightness : " << value;
    publishCommand(QStringLiteral("/display/set"),
                   QJsonObject {{QStringLiteral("brightness"), value}});
}

void Board::setDisplayBrightnessMode(const QString& value)
{
    tagged(qInfo(), logTag()) << "Setting display brightness mode : " << value;
    publishCommand(QStringLiteral("/display/set"), QJsonObject {{QStringLiteral("mode"), value}});
}

void Board::setAudioEnabled(bool value)
{
    tagged(qInfo(), logTag()) << "Setting audio enabled : " << boolText(value);
    publishCommand(QStringLiteral("/audio/set"), QJsonObject {{QStringLiteral("mute"), !value}});
}

void Board::playBuzzer(int onMsec, int offMsec, int repeat)
{
    tagged(qInfo(), logTag()) << QStringLiteral("Playing buzzer : on=%1 msec, off=%2 msec, "
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
    tagged(qInfo(), logTag()) << "Setting LEDs to : " << name;
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
