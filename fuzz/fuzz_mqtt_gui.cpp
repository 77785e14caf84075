// Messages from the broker delivered to the whole manager as the program builds it:
// every device client it composes, all of its reactions (screens, gate results, the
// maintenance barcode, the card issue) and the interface's own remote topics, plus
// the barcode and GPS clients. Slower than fuzz_mqtt (the manager starts the clock
// tool and a QML engine), so it shares that harness's seeds, where the input format
// is described. Actions: "@issue" (a tap on the entry gate), "@login <pin>", "@logout",
// "@exit-gate" (the terminal becomes an exit gate).

#include "Barcode.h"
#include "Config.h"
#include "FuzzSupport.h"
#include "GPS.h"
#include "GUIManager.h"
#include "MqttClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QString dir = fuzz::scratchDir();
    Config config(dir + QStringLiteral("/gui.conf"), GUIManager::Defaults);
    // Nothing listens on port 1: the connection attempt fails at once and no real
    // broker's traffic mixes with the input.
    config.addOverrides(
        {{QStringLiteral("mqtt/host"), QStringLiteral("127.0.0.1")},
         {QStringLiteral("mqtt/port"), 1},
         {QStringLiteral("gui/deviceId"), dir + QStringLiteral("/serialnumber")},
         // The manager installs the program's logger: everything is
         // formatted, nothing written.
         {QStringLiteral("log/level"), 3},
         {QStringLiteral("log/stderr"), qEnvironmentVariableIntValue("KVRT_FUZZ_LOG") != 0},
         {QStringLiteral("log/syslog"), false}});
    {
        GUIManager gui(config, dir);
        manager::MqttClient& mqtt = gui.update()->mqtt();
        manager::BarcodeManager barcode(mqtt,
                                        config.get(QStringLiteral("topics/barcode")).toString());
        manager::GPSManager gps(mqtt, QStringLiteral("ovant/gps"));
        fuzz::settle();
        fuzz::deliver(mqtt, fuzz::bytes(data, size), [&](const QByteArray& action) {
            if (action == "issue")
                gui.issueCard();
            else if (action.startsWith("login "))
                gui.settingsLoginRequest(QString::fromUtf8(action.mid(6)));
            else if (action == "logout")
                gui.settingsLogoutRequest();
            else if (action == "exit-gate")
                config.set(QStringLiteral("gui/isEntryGate"), false);
        });
    }
    fuzz::settle();
    return 0;
}
