// What the card issuer costs on top of the MQTT round trips it is made of.
//
// With services that answer at once, it times complete issueCard() sequences
// from an empty reader (eight requests each, plus the waits for the card found
// and the card taken) and, in the same run and on the same broker and
// connections, the same number of bare executeRpc() round trips, one after the
// other. The two are measured in alternating blocks so that drift of the machine
// hits both alike. Prints the ratio of the totals and the median of the ratios
// of neighbouring blocks (robust against a busy machine); the goal is at most 1.20.
// It also counts the messages the terminal's MQTT client handles on each path:
// an issue carries status and card events besides its eight answers, and the
// time per message handled shows what the issuer's own logic adds.
//
//     bench_cardissuer [cards]        (default 200)

#include "CardIssuingRig.h"
#include "Settlement.h"
#include "TestBroker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int RequestsPerIssue = 8;
constexpr int Block = 10; // cards per measured block
constexpr int Wait = 20000;

// One issueCard() from an empty reader; false when it did not succeed.
bool issueOne(CardIssuingRig& rig)
{
    auto outcome = Settlement<manager::CardIssuer::Result>::of(
        rig.issuer.issueCard(CardIssuingRig::newCard(), 60));
    return outcome->wait(Wait) && outcome->resolved();
}

// One bare request/response call; false when it did not succeed.
bool roundTrip(CardIssuingRig& rig, const QString& topic, int id)
{
    auto outcome = Settlement<QJsonValue>::of(
        rig.mqtt.executeRpc(topic, QString::number(id), QJsonObject(), 3000));
    return outcome->wait(Wait) && outcome->resolved();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // As in production, nobody reads the per-message debug lines.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));

    int cards = argc > 1 ? QByteArray(argv[1]).toInt() : 200;
    cards = qMax(Block, cards / Block * Block);

    TestBroker broker;
    // Small messages one after the other: without this the broker's side of each
    // hop can wait for a delayed TCP acknowledgement, which would swamp the figures.
    broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
    if (!broker.start()) {
        std::fprintf(stderr, "cannot start the broker\n");
        return 1;
    }
    CardIssuingRig rig(broker, QStringLiteral("bench/gate"));
    rig.dispenserService.setCardsInCartridge(cards + 100);
    rig.dispenserService.setTakeDelay(0);
    const QString dispenserPing = rig.dispenserService.baseTopic() + QStringLiteral("/ping");
    const QString rfidPing = rig.rfidService.baseTopic() + QStringLiteral("/ping");
    rig.dispenserService.setReply(QStringLiteral("/ping"), QJsonObject {{"completed", true}});
    rig.rfidService.setReply(QStringLiteral("/ping"), QJsonObject {{"completed", true}});
    if (!rig.start()) {
        std::fprintf(stderr, "the card issuer did not get ready\n");
        return 1;
    }

    // Warm up both paths.
    int rpcId = 0;
    for (int i = 0; i < 5; ++i) {
        if (!issueOne(rig) || !roundTrip(rig, dispenserPing, ++rpcId)) {
            std::fprintf(stderr, "warm-up failed\n");
            return 1;
        }
    }

    qint64 received = 0;
    QObject::connect(&rig.mqtt, &manager::MqttClient::received, [&received] { ++received; });
    qint64 issueMessages = 0;
    qint64 rpcMessages = 0;
    qint64 issueNs = 0;
    qint64 rpcNs = 0;
    std::vector<double> blockRatios;
    QElapsedTimer timer;
    for (int done = 0; done < cards; done += Block) {
        received = 0;
        timer.start();
        for (int i = 0; i < Block; ++i) {
            if (!issueOne(rig)) {
                std::fprintf(stderr, "issue failed\n");
                return 1;
            }
        }
        const qint64 blockIssueNs = timer.nsecsElapsed();
        issueNs += blockIssueNs;
        issueMessages += received;
        received = 0;

        // The same number of round trips, to the same two services in the
        // proportion of the sequence (two dispenser and six reader requests).
        timer.start();
        for (int i = 0; i < Block * RequestsPerIssue; ++i) {
            const QString& topic = i % RequestsPerIssue < 2 ? dispenserPing : rfidPing;
            if (!roundTrip(rig, topic, ++rpcId)) {
                std::fprintf(stderr, "round trip failed\n");
                return 1;
            }
        }
        const qint64 blockRpcNs = timer.nsecsElapsed();
        rpcNs += blockRpcNs;
        rpcMessages += received;
        blockRatios.push_back(double(blockIssueNs) / double(blockRpcNs));
    }
    std::sort(blockRatios.begin(), blockRatios.end());
    const double median = blockRatios[blockRatios.size() / 2];

    const double issueMs = issueNs / 1e6;
    const double rpcMs = rpcNs / 1e6;
    std::printf("cards issued            : %d\n", cards);
    std::printf("issueCard sequences     : %.1f ms (%.3f ms per card)\n", issueMs, issueMs / cards);
    std::printf("bare round trips (%5d) : %.1f ms (%.3f ms per %d)\n", cards * RequestsPerIssue,
                rpcMs, rpcMs / cards, RequestsPerIssue);
    std::printf("ratio issue/round trips : %.3f (goal <= 1.20)\n", issueMs / rpcMs);
    std::printf("median of %3zu blocks    : %.3f\n", blockRatios.size(), median);
    std::printf("messages per card       : %.1f issuing, %.1f in 8 bare round trips\n",
                double(issueMessages) / cards, double(rpcMessages) / cards);
    std::printf("ratio per message       : %.3f\n",
                (issueMs / double(issueMessages)) / (rpcMs / double(rpcMessages)));
    return 0;
}
