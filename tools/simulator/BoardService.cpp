#include "BoardService.h"

#include "JsonArgument.h"

#include <QDebug>

namespace {
const char* const Tag = "[Board] ";
// The longest power-off delay the board's supervisor can hold.
constexpr int MaxShutdownDelay = 24 * 3600;
constexpr int MaxLedSteps = 64;

int percent(int value)
{
    return qBound(0, value, 100);
}
} // namespace

QStringList BoardService::peripheralKeys()
{
    return {QStringLiteral("display"), QStringLiteral("ftdi"),     QStringLiteral("mPCIe1"),
            QStringLiteral("mPCIe2"),  QStringLiteral("qrReader"), QStringLiteral("rfidReader"),
            QStringLiteral("touch"),   QStringLiteral("usbHost1"), QStringLiteral("usbHub")};
}

BoardService::BoardService(const QString& baseTopic, QObject* parent)
    : SimulatedService(baseTopic,
                       deviceInfo({{QStringLiteral("firmwareVersion"), QStringLiteral("1.8.2")},
                                   {QStringLiteral("hardwareId"), QStringLiteral("KVB-0001A7")},
                                   {QStringLiteral("hardwareVersion"), QStringLiteral("rev C")}},
                                  QStringLiteral("1.3.0")),
                       parent)
{
    for (const char* setting : {"/config", "/display", "/power", "/audio"}) {
        addCommandTopics({QLatin1String(setting) + QStringLiteral("/get"),
                          QLatin1String(setting) + QStringLiteral("/set")});
    }
    m_uptime.start();
    for (const QString& key : peripheralKeys())
        m_power.insert(key, key != QLatin1String("mPCIe2")); // the second slot is empty

    addMethod(QStringLiteral("/led/play"), [this](const QJsonObject& p) { return playLeds(p); });
    addMethod(QStringLiteral("/led/off"), [this](const QJsonObject&) {
        if (!m_ledPattern.isEmpty()) {
            qInfo().noquote().nospace() << Tag << "LEDs off";
            m_ledPattern = QJsonObject();
            Q_EMIT ledsChanged();
        }
        return completed();
    });
    addMethod(QStringLiteral("/buzzer/play"),
              [this](const QJsonObject& p) { return playBuzzer(p); });

    // The base republishes info and status on a new connection; the rest is ours.
    const auto republish = [this] {
        if (isConnected() && isOnline())
            publishSettings();
    };
    connect(this, &SimulatedService::connectedChanged, this, republish);
    connect(this, &SimulatedService::onlineChanged, this, republish);
}

void BoardService::setIgnition(bool on)
{
    if (!updateDevice(m_ignition, on))
        return;
    qInfo().noquote().nospace() << Tag << "Ignition " << (on ? "on" : "off");
    if (isOnline()) {
        publishEvent(QStringLiteral("/event"),
                     {{QStringLiteral("name"), QStringLiteral("IgnitionChanged")},
                      {QStringLiteral("data"), on ? 1 : 0}});
    }
}

void BoardService::setTemperature(double celsius)
{
    if (updateDevice(m_temperature, celsius))
        qInfo().noquote().nospace() << Tag << "Temperature " << celsius << " C";
}

void BoardService::setVoltage(double volts)
{
    if (updateDevice(m_voltage, volts))
        qInfo().noquote().nospace() << Tag << "Supply voltage " << volts << " V";
}

void BoardService::setRtcFailed(bool failed)
{
    if (updateDevice(m_rtcFailed, failed))
        qInfo().noquote().nospace() << Tag << "Real-time clock " << (failed ? "FAILED" : "OK");
}

void BoardService::setAmbientLight(int value)
{
    value = percent(value);
    if (m_sensor == value)
        return;
    m_sensor = value;
    if (m_mode == QLatin1String("auto"))
        m_brightness = percent(20 + value * 8 / 10);
    publishSetting(QStringLiteral("/display"), display());
    Q_EMIT settingsChanged();
}

QJsonObject BoardService::deviceStatus() const
{
    return {{QStringLiteral("active"), true},
            {QStringLiteral("ignition"), m_ignition},
            {QStringLiteral("poleId"), QStringLiteral("P-0042")},
            {QStringLiteral("temperature"), m_temperature},
            {QStringLiteral("voltage"), m_voltage},
            {QStringLiteral("uptime"), int(m_uptime.elapsed() / 1000)},
            {QStringLiteral("hardwareStatus"),
             QJsonObject {{QStringLiteral("rtcFailed"), m_rtcFailed}}}};
}

QJsonObject BoardService::config() const
{
    return {{QStringLiteral("device"),
             QJsonObject {{QStringLiteral("delayShutdownFor"), m_delayShutdownFor}}}};
}

QJsonObject BoardService::display() const
{
    return {{QStringLiteral("brightness"), m_brightness},
            {QStringLiteral("sensor"), m_sensor},
            {QStringLiteral("mode"), m_mode}};
}

QJsonObject BoardService::audio() const
{
    return {{QStringLiteral("mute"), m_mute}};
}

void BoardService::publishSettings()
{
    publishSetting(QStringLiteral("/config"), config());
    publishSetting(QStringLiteral("/display"), display());
    publishSetting(QStringLiteral("/power"), m_power);
    publishSetting(QStringLiteral("/audio"), audio());
}

void BoardService::handlePublication(const QString& suffix, const QJsonObject& json,
                                     bool payloadValid)
{
    static const QStringList settings {QStringLiteral("/config"), QStringLiteral("/display"),
                                       QStringLiteral("/power"), QStringLiteral("/audio")};
    const bool isGet = suffix.endsWith(QLatin1String("/get"));
    const bool isSet = suffix.endsWith(QLatin1String("/set"));
    if (!isGet && !isSet)
        return;
    const QString setting = suffix.left(suffix.size() - 4);
    if (!settings.contains(setting))
        return;

    if (isSet && !payloadValid) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Ignoring malformed request on " << baseTopic() << suffix;
    } else if (isSet) {
        if (setting == QLatin1String("/config"))
            setConfig(json);
        else if (setting == QLatin1String("/display"))
            setDisplay(json);
        else if (setting == QLatin1String("/power"))
            setPower(json);
        else
            setAudio(json);
    }
    // A "get", and every "set" (taken or not), is answered with the current state.
    if (setting == QLatin1String("/config"))
        publishSetting(setting, config());
    else if (setting == QLatin1String("/display"))
        publishSetting(setting, display());
    else if (setting == QLatin1String("/power"))
        publishSetting(setting, m_power);
    else
        publishSetting(setting, audio());
}

void BoardService::setConfig(const QJsonObject& json)
{
    int delay = 0;
    if (!JsonArgument::toInt(json.value(QStringLiteral("device"))
                                 .toObject()
                                 .value(QStringLiteral("delayShutdownFor")),
                             &delay)
        || delay < 0 || delay > MaxShutdownDelay) {
        qWarning().noquote().nospace()
            << Tag << "WARN: Ignoring configuration without a valid "
            << "\"device\"/\"delayShutdownFor\" (0 to " << MaxShutdownDelay << ")";
        return;
    }
    if (delay == m_delayShutdownFor)
        return;
    m_delayShutdownFor = delay;
    qInfo().noquote().nospace() << Tag << "Shutdown delay " << delay << " sec(s)";
    Q_EMIT settingsChanged();
}

void BoardService::setDisplay(const QJsonObject& json)
{
    bool changed = false;
    if (json.contains(QStringLiteral("mode"))) {
        const QString mode = json.value(QStringLiteral("mode")).toString();
        if (mode != QLatin1String("auto") && mode != QLatin1String("manual")) {
            qWarning().noquote().nospace() << Tag << "WARN: Ignoring unknown display mode";
            return;
        }
        if (mode != m_mode) {
            m_mode = mode;
            if (mode == QLatin1String("auto"))
                m_brightness = percent(20 + m_sensor * 8 / 10);
            changed = true;
        }
    }
    if (json.contains(QStringLiteral("brightness"))) {
        int brightness = 0;
        if (!JsonArgument::toInt(json.value(QStringLiteral("brightness")), &brightness)) {
            qWarning().noquote().nospace()
                << Tag << "WARN: Ignoring brightness that is not a number";
            return;
        }
        brightness = percent(brightness);
        if (brightness != m_brightness) {
            m_brightness = brightness;
            changed = true;
        }
    }
    if (changed) {
        qInfo().noquote().nospace()
            << Tag << "Display brightness " << m_brightness << "% (" << m_mode << ")";
        Q_EMIT settingsChanged();
    }
}

void BoardService::setPower(const QJsonObject& json)
{
    bool changed = false;
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        bool on = false;
        if (!m_power.contains(it.key())) {
            qWarning().noquote().nospace() << Tag << "WARN: No such peripheral : " << it.key();
            continue;
        }
        if (!JsonArgument::toBool(it.value(), &on)) {
            qWarning().noquote().nospace() << Tag << "WARN: Ignoring power value of " << it.key();
            continue;
        }
        if (m_power.value(it.key()).toBool() == on)
            continue;
        m_power.insert(it.key(), on);
        qInfo().noquote().nospace() << Tag << "Power of " << it.key() << (on ? " on" : " off");
        changed = true;
    }
    if (changed)
        Q_EMIT settingsChanged();
}

void BoardService::setAudio(const QJsonObject& json)
{
    bool mute = false;
    if (!JsonArgument::toBool(json.value(QStringLiteral("mute")), &mute)) {
        qWarning().noquote().nospace() << Tag << "WARN: Ignoring audio request without \"mute\"";
        return;
    }
    if (mute == m_mute)
        return;
    m_mute = mute;
    qInfo().noquote().nospace() << Tag << "Audio " << (mute ? "muted" : "unmuted");
    Q_EMIT settingsChanged();
}

QJsonObject BoardService::playLeds(const QJsonObject& params)
{
    int repeat = 0;
    const QJsonValue steps = params.value(QStringLiteral("steps"));
    bool valid = JsonArgument::toInt(params.value(QStringLiteral("repeat")), &repeat) && repeat >= 0
        && steps.isArray() && !steps.toArray().isEmpty() && steps.toArray().size() <= MaxLedSteps;
    for (const QJsonValue& step : steps.toArray()) {
        const QJsonObject color = step.toObject().value(QStringLiteral("color")).toObject();
        int duration = 0, r = 0, g = 0, b = 0;
        valid = valid
            && JsonArgument::toInt(step.toObject().value(QStringLiteral("duration")), &duration)
            && duration >= 0 && JsonArgument::toInt(color.value(QStringLiteral("r")), &r)
            && JsonArgument::toInt(color.value(QStringLiteral("g")), &g)
            && JsonArgument::toInt(color.value(QStringLiteral("b")), &b) && r >= 0 && r <= 255
            && g >= 0 && g <= 255 && b >= 0 && b <= 255;
    }
    if (!valid) {
        qWarning().noquote().nospace() << Tag << "WARN: Refusing malformed LED pattern";
        return errorReply(BadPattern, QStringLiteral("Malformed LED pattern"));
    }
    // A new pattern replaces the one playing.
    m_ledPattern = params;
    qInfo().noquote().nospace() << Tag << "LEDs play " << steps.toArray().size()
                                << " step(s), repeat " << repeat;
    Q_EMIT ledsChanged();
    return completed();
}

QJsonObject BoardService::playBuzzer(const QJsonObject& params)
{
    int on = 0, off = 0, repeat = 0;
    if (!JsonArgument::toInt(params.value(QStringLiteral("onMsec")), &on)
        || !JsonArgument::toInt(params.value(QStringLiteral("offMsec")), &off)
        || (params.contains(QStringLiteral("repeat"))
            && !JsonArgument::toInt(params.value(QStringLiteral("repeat")), &repeat))
        || on < 0 || off < 0 || repeat < 0) {
        qWarning().noquote().nospace() << Tag << "WARN: Refusing malformed buzzer request";
        return errorReply(BadBuzzer, QStringLiteral("Malformed buzzer request"));
    }
    m_buzzer = params;
    qInfo().noquote().nospace() << Tag << "Buzzer on=" << on << " msec, off=" << off
                                << " msec, repeat=" << repeat;
    Q_EMIT buzzerPlayed(on, off, repeat);
    return completed();
}
