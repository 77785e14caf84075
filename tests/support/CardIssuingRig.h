#pragma once

#include "CardIssuer.h"
#include "Dispenser.h"
#include "DispenserService.h"
#include "MqttClient.h"
#include "RFID.h"
#include "RfidService.h"

#include <QStringList>

class TestBroker;

// The program's MQTT client, with a look at who listens to its signals: a test of
// repeated operations shows that none of them leaves a connection behind.
class ProbedMqttClient : public manager::MqttClient
{
public:
    using manager::MqttClient::MqttClient;
    // Connections to a signal given as SIGNAL(name(args)).
    int receiverCount(const char* signal) const { return receivers(signal); }
};

// The entry gate's card issuing as the program builds it (one MQTT client, the dispenser
// and RFID clients, the card issuer) against the simulated services, linked so that the
// reader sees the cards the dispenser moves. requestLog: the requests the services
// received, in arrival order ("dispenser/issue", "rfid/card/write", ...).
class CardIssuingRig
{
public:
    // Topics under "<prefix>/dispenser" and "<prefix>/rfid".
    CardIssuingRig(const TestBroker& broker, const QString& prefix);
    Q_DISABLE_COPY(CardIssuingRig)

    // Connects everything and waits until the issuer is Ready.
    bool start(int timeoutMsec = 10000);

    // A card as the entry gate composes it.
    static Card::Ptr newCard();

    DispenserService dispenserService;
    RfidService rfidService;
    ProbedMqttClient mqtt;
    manager::Dispenser dispenser;
    manager::RFID rfid;
    manager::CardIssuer issuer;
    QStringList requestLog;

private:
    const TestBroker& m_broker;
};
