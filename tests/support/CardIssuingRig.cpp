#include "CardIssuingRig.h"

#include "KVRTv1Card.h"
#include "TestBroker.h"

#include <QTest>

CardIssuingRig::CardIssuingRig(const TestBroker& broker, const QString& prefix)
    : dispenserService(prefix + QStringLiteral("/dispenser"))
    , rfidService(prefix + QStringLiteral("/rfid"))
    , dispenser(mqtt, prefix + QStringLiteral("/dispenser"))
    , rfid(mqtt, prefix + QStringLiteral("/rfid"))
    , issuer(rfid, dispenser)
    , m_broker(broker)
{
    rfidService.linkDispenser(&dispenserService);
    QObject::connect(&dispenserService, &SimulatedService::requestReceived, &dispenserService,
                     [this](const QString& method) { requestLog.append("dispenser" + method); });
    QObject::connect(&rfidService, &SimulatedService::requestReceived, &rfidService,
                     [this](const QString& method) { requestLog.append("rfid" + method); });
}

bool CardIssuingRig::start(int timeoutMsec)
{
    dispenserService.connectToBroker(m_broker.host(), m_broker.port());
    rfidService.connectToBroker(m_broker.host(), m_broker.port());
    mqtt.setHostname(m_broker.host());
    mqtt.setPort(m_broker.port());
    mqtt.connect();
    return QTest::qWaitFor(
        [this] {
            return dispenserService.isConnected() && rfidService.isConnected() && mqtt.isConnected()
                && issuer.state() == manager::CardIssuer::Ready;
        },
        timeoutMsec);
}

Card::Ptr CardIssuingRig::newCard()
{
    const KVRTv1Card::Ptr card(new KVRTv1Card);
    card->setCustomsId(1);
    card->setStatus(QStringLiteral("active"));
    card->incrUsageCounter(1);
    card->addUsageLog(QStringLiteral("entry"), QStringLiteral("TERM-01"), QStringLiteral("LOC-01"));
    return card;
}
