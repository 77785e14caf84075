#pragma once

#include "CardIssuer.h"
#include "Dispenser.h"
#include "DispenserService.h"
#include "MqttClient.h"
#include "RFID.h"
#include "RfidService.h"

class TestBroker;

// The program's MQTT client, showing who listens to a signal (given as SIGNAL(name(args))):
// repeated operations must leave no connection behind.
class ProbedMqttClient : public manager::MqttClient
{
public:
    int receiverCount(const char* signal) const { return receivers(signal); }
};

// The entry gate's card issuing as the program builds it, against the simulated services
// under "<prefix>/dispenser" and "<prefix>/rfid", linked so that the reader sees the cards the
// dispenser moves. requestLog: the requests the services received ("dispenser/issue", ...).
class CardIssuingRig
{
public:
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
