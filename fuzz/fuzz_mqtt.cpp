// Messages from the broker delivered to the device clients as the manager composes
// them: terminal service, board, inspector, network with its Ethernet, update, clock,
// RFID reader, dispenser and the card issuer over both, the barcode and GPS clients,
// with the reactions that live outside the manager (card issue flow, diagnostics,
// board power, maintenance session, event log) and the interface's own remote topics
// ("/config/set" and friends). Every input starts from fresh objects.
//
// Each line of the input is one message, "topic payload" as mosquitto_sub -v prints
// it; a line without a space is a topic with an empty payload. "@issue" starts a card
// issue as a tap on the entry gate does.

#include "Barcode.h"
#include "Board.h"
#include "BoardPower.h"
#include "CardIssueFlow.h"
#include "CardIssuer.h"
#include "Clock.h"
#include "Config.h"
#include "Diagnostics.h"
#include "Dispenser.h"
#include "EventManager.h"
#include "FuzzSupport.h"
#include "GPS.h"
#include "GUIManager.h"
#include "Inspector.h"
#include "KVRTTerminal.h"
#include "MqttClient.h"
#include "Network.h"
#include "RFID.h"
#include "SessionManager.h"
#include "UiRemoteInterface.h"
#include "Update.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QString dir = fuzz::scratchDir();
    Config config(dir + QStringLiteral("/gui.conf"), GUIManager::Defaults);
    const auto topic = [&config](const char* key) {
        return config.get(QStringLiteral("topics/") + QLatin1String(key)).toString();
    };
    const QString deviceId = QStringLiteral("K00000001");
    {
        manager::MqttClient mqtt;
        manager::KVRTTerminal terminal(mqtt, topic("blm"));
        manager::Board board(mqtt, topic("board"));
        manager::Inspector inspector(mqtt, topic("inspector"));
        manager::Network network(mqtt, topic("network"));
        manager::Update update(mqtt, topic("device"));
        // No program: the clock tool is not started for every input.
        manager::Clock clock(mqtt, topic("device"), nullptr, QString());
        manager::RFID rfid(mqtt, topic("rfid"));
        manager::Dispenser dispenser(mqtt, topic("dispenser"));
        manager::CardIssuer issuer(rfid, dispenser);
        manager::BarcodeManager barcode(mqtt, topic("barcode"));
        manager::GPSManager gps(mqtt, QStringLiteral("ovant/gps"));
        SessionManager session(config);
        EventManager events(config, dir);
        Diagnostics diagnostics(deviceId, board, network, terminal);
        diagnostics.setReportDirectory(dir);
        CardIssueFlow flow(issuer, dispenser);
        BoardPower power(board, config);
        UiRemoteInterface remote(mqtt, config, [&session] { return session.sessionActive(); });
        fuzz::settle();
        fuzz::deliver(mqtt, fuzz::bytes(data, size), [&](const QByteArray& action) {
            if (action == "issue")
                flow.issue(deviceId);
        });
    }
    fuzz::settle();
    return 0;
}
