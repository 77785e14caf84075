// Reliability and speed of the MQTT client, against anchors measured in the same run on the
// same broker:
// - 10,000 request/response calls, a third of them timing out, must leave no subscription,
//   wait, timer or deferred behind and keep the resident memory flat;
// - the median round trip of executeRpc next to the same exchange done with plain
//   libmosquitto (goal: ratio <= 1.5);
// - messages per second delivered through received() to a dozen listeners, next to a plain
//   libmosquitto subscriber (goal: >= 20,000 messages per second).
//
// Usage: bench_mqtt [rpc-calls] [flood-messages] [latency-rounds]

#include "MqttClient.h"
#include "TestBroker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTimer>

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using manager::MqttClient;

namespace {

constexpr int Listeners = 12;

// The bench's own lines go to stdout; the client's log lines (a critical one per time-out)
// are counted and dropped so that they do not distort the figures.
std::atomic<int> g_logLines {0};
void quietHandler(QtMsgType, const QMessageLogContext&, const QString&)
{
    ++g_logLines;
}

long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

bool spinUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void settle()
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

double median(std::vector<qint64> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2] / 1000.0;
}

// A plain libmosquitto client running its own network thread.
class ThreadedClient
{
public:
    explicit ThreadedClient(quint16 port)
    {
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                static_cast<ThreadedClient*>(self)->onMessage(message);
            });
        m_ok = mosquitto_connect(m_mosq, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS
            && mosquitto_loop_start(m_mosq) == MOSQ_ERR_SUCCESS;
    }
    virtual ~ThreadedClient()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    bool ok() const { return m_ok; }
    mosquitto* handle() { return m_mosq; }

protected:
    virtual void onMessage(const mosquitto_message*) { }

private:
    mosquitto* m_mosq;
    bool m_ok = false;
};

// The scripted service: answers every request with its own payload, except (when asked) the
// requests whose id is a multiple of three.
class EchoService : public ThreadedClient
{
public:
    EchoService(quint16 port, bool skipThirds)
        : ThreadedClient(port)
        , m_skipThirds(skipThirds)
    {
        mosquitto_subscribe(handle(), nullptr, "bench/+/request/+", 1);
    }

private:
    void onMessage(const mosquitto_message* message) override
    {
        const QByteArray topic(message->topic);
        const int at = topic.lastIndexOf("/request/");
        if (at < 0)
            return;
        const QByteArray id = topic.mid(at + 9);
        if (m_skipThirds && id.toInt() % 3 == 0)
            return;
        const QByteArray response = topic.left(at) + "/response/" + id;
        mosquitto_publish(handle(), nullptr, response.constData(), message->payloadlen,
                          message->payload, 1, false);
    }

    const bool m_skipThirds;
};

// ---------------------------------------------------------------------------------------

bool connectClient(MqttClient& client, const TestBroker& broker)
{
    client.setHostname(broker.host());
    client.setPort(broker.port());
    client.setKeepAlive(60);
    client.connect();
    return spinUntil([&] { return client.isConnected(); }, 10000);
}

struct Census
{
    int subscriptions;
    int waits;
    int timers;
    long deferreds;
    long rssKiB;
};

Census census(MqttClient& client, const std::shared_ptr<int>& token)
{
    settle();
    return {client.subscriptionCount(), client.pendingWaits(),
            int(client.findChildren<QTimer*>().size()), token.use_count() - 1, residentKiB()};
}

// Runs `calls` executeRpc with at most `window` in flight; returns the number of time-outs.
int runRpcs(MqttClient& client, int firstId, int calls, int window, int timeoutMs,
            const std::shared_ptr<int>& token, int* answered)
{
    int started = 0;
    int finished = 0;
    int timeouts = 0;
    const QJsonObject request {{"command", "issue"}, {"position", "rfid"}};
    auto startOne = [&] {
        const int id = firstId + started++;
        client
            .executeRpc(QStringLiteral("bench/rel"), QString::number(id), request, timeoutMs)
            // Progress callbacks stay with the deferred's shared state until it is freed, so
            // the token's use count tells how many of them are still alive.
            .progress([token](const QJsonValue&) {})
            .done([&](const QJsonValue&) {
                ++*answered;
                ++finished;
            })
            .fail([&](const QJsonValue& error) {
                if (error.toString() == QLatin1String("Timeout"))
                    ++timeouts;
                ++finished;
            });
    };
    while (finished < calls) {
        while (started < calls && started - finished < window)
            startOne();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return timeouts;
}

bool reliability(const TestBroker& broker, int calls)
{
    EchoService service(broker.port(), true);
    MqttClient client;
    if (!service.ok() || !connectClient(client, broker))
        return false;
    settle(); // the service's subscription is in place
    auto token = std::make_shared<int>(0);
    int answered = 0;

    runRpcs(client, 1, 1000, 100, 100, token, &answered); // warm-up
    const Census before = census(client, token);
    QElapsedTimer clock;
    clock.start();
    answered = 0;
    const int timeouts = runRpcs(client, 100000, calls, 100, 100, token, &answered);
    const qint64 elapsed = clock.elapsed();
    const Census first = census(client, token);
    answered = 0;
    runRpcs(client, 200000, calls, 100, 100, token, &answered);
    const Census second = census(client, token);

    std::printf("reliability: %d executeRpc calls in %.2f s: %d answered, %d timed out\n", calls,
                elapsed / 1000.0, calls - timeouts, timeouts);
    std::printf("  %-28s %8s %8s %8s\n", "", "before", "run 1", "run 2");
    std::printf("  %-28s %8d %8d %8d\n", "live subscriptions", before.subscriptions,
                first.subscriptions, second.subscriptions);
    std::printf("  %-28s %8d %8d %8d\n", "pending waits", before.waits, first.waits, second.waits);
    std::printf("  %-28s %8d %8d %8d\n", "child timers of the client", before.timers, first.timers,
                second.timers);
    std::printf("  %-28s %8ld %8ld %8ld\n", "live result deferreds", before.deferreds,
                first.deferreds, second.deferreds);
    std::printf("  %-28s %8ld %8ld %8ld\n", "resident memory (KiB)", before.rssKiB, first.rssKiB,
                second.rssKiB);
    const bool clean = first.subscriptions == before.subscriptions
        && second.subscriptions == before.subscriptions && second.waits == 0
        && second.timers == before.timers && second.deferreds == 0;
    std::printf("  leftovers: %s; memory growth in run 2: %+ld KiB\n", clean ? "none" : "FOUND",
                second.rssKiB - first.rssKiB);
    return clean;
}

// ---------------------------------------------------------------------------------------

// The same exchange as executeRpc with plain libmosquitto: subscribe to the response topic,
// publish the request, wait for the response, unsubscribe.
class PlainRequester
{
public:
    explicit PlainRequester(quint16 port)
    {
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1); // as MqttConnection does
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto* requester = static_cast<PlainRequester*>(self);
                if (requester->m_expected == message->topic)
                    requester->m_answered = true;
            });
        m_ok = mosquitto_connect(m_mosq, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS;
    }
    ~PlainRequester()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
    }
    bool ok() const { return m_ok; }

    bool call(const QByteArray& topic, int id, const QByteArray& request)
    {
        const QByteArray number = QByteArray::number(id);
        m_expected = topic + "/response/" + number;
        const QByteArray requestTopic = topic + "/request/" + number;
        m_answered = false;
        mosquitto_subscribe(m_mosq, nullptr, m_expected.constData(), 1);
        mosquitto_publish(m_mosq, nullptr, requestTopic.constData(), request.size(),
                          request.constData(), 1, false);
        for (int i = 0; !m_answered && i < 1000; ++i)
            mosquitto_loop(m_mosq, 100, 1);
        mosquitto_unsubscribe(m_mosq, nullptr, m_expected.constData());
        mosquitto_loop(m_mosq, 0, 1);
        return m_answered;
    }

private:
    mosquitto* m_mosq;
    QByteArray m_expected;
    bool m_answered = false;
    bool m_ok = false;
};

bool latency(const TestBroker& broker, int rounds)
{
    EchoService service(broker.port(), false);
    MqttClient client;
    PlainRequester plain(broker.port());
    if (!service.ok() || !plain.ok() || !connectClient(client, broker))
        return false;
    settle();

    const QJsonObject request {{"command", "issue"}, {"position", "rfid"}};
    const QByteArray requestText = QJsonDocument(request).toJson(QJsonDocument::Compact);
    std::vector<qint64> viaClient;
    std::vector<qint64> viaPlain;
    QElapsedTimer clock;
    int id = 0;
    // Alternating blocks, so that both see the same machine load.
    for (int block = 0; block < 10; ++block) {
        for (int i = 0; i < rounds / 10; ++i) {
            bool done = false;
            clock.start();
            client.executeRpc(QStringLiteral("bench/echo"), QString::number(++id), request)
                .done([&](const QJsonValue&) { done = true; });
            if (!spinUntil([&] { return done; }, 5000))
                return false;
            viaClient.push_back(clock.nsecsElapsed());
        }
        for (int i = 0; i < rounds / 10; ++i) {
            clock.start();
            if (!plain.call("bench/echo", ++id, requestText))
                return false;
            viaPlain.push_back(clock.nsecsElapsed());
        }
    }
    const double client_us = median(viaClient);
    const double plain_us = median(viaPlain);
    std::printf("latency: median round trip of %d calls: executeRpc %.1f us, plain libmosquitto "
                "%.1f us, ratio %.2f (goal <= 1.5)\n",
                int(viaClient.size()), client_us, plain_us, client_us / plain_us);
    return true;
}

// ---------------------------------------------------------------------------------------

// Publishes `count` QoS 0 messages as fast as libmosquitto takes them. The receivers do not
// read meanwhile, so that they are measured draining a backlog, not the publisher's pace.
void flood(quint16 port, const QByteArray& topic, int count)
{
    ThreadedClient publisher(port);
    const QByteArray payload
        = R"({"service":true,"device":{"active":true,"isJammed":false,"cardInRfid":true}})";
    for (int i = 0; i < count; ++i)
        mosquitto_publish(publisher.handle(), nullptr, topic.constData(), payload.size(),
                          payload.constData(), 0, false);
    // Let the network thread write out what is queued before the publisher goes.
    QElapsedTimer clock;
    clock.start();
    while (mosquitto_want_write(publisher.handle()) && clock.elapsed() < 30000)
        usleep(1000);
    usleep(100000);
}

struct Rate
{
    int received;
    double perSecond;
};

Rate throughputClient(const TestBroker& broker, int count)
{
    MqttClient client;
    client.subscribe(QStringLiteral("bench/flood/client"));
    if (!connectClient(client, broker))
        return {0, 0};
    settle(); // the subscription is in place
    std::vector<int> counters(Listeners, 0);
    for (int& counter : counters)
        QObject::connect(&client, &MqttClient::received,
                         [&counter](const QByteArray&, const QByteArray&) { ++counter; });
    QElapsedTimer clock;
    qint64 last = 0;
    QObject::connect(&client, &MqttClient::received,
                     [&](const QByteArray&, const QByteArray&) { last = clock.nsecsElapsed(); });

    // The flood waits at the broker and in the socket while this thread does not read.
    std::thread(flood, broker.port(), QByteArray("bench/flood/client"), count).join();
    clock.start();
    QElapsedTimer idle;
    idle.start();
    int seen = 0;
    while (counters[0] < count && idle.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        if (counters[0] != seen) {
            seen = counters[0];
            idle.start();
        }
    }
    const int received = *std::min_element(counters.begin(), counters.end());
    return {received, last > 0 ? received * 1e9 / last : 0};
}

Rate throughputPlain(const TestBroker& broker, int count)
{
    struct Receiver
    {
        std::vector<std::function<void(const QByteArray&, const QByteArray&)>> listeners;
        QElapsedTimer clock;
        qint64 last = 0;
        int received = 0;
    } receiver;
    std::vector<int> counters(Listeners, 0);
    for (int& counter : counters)
        receiver.listeners.emplace_back(
            [&counter](const QByteArray&, const QByteArray&) { ++counter; });

    mosquitto* mosq = mosquitto_new(nullptr, true, &receiver);
    mosquitto_message_callback_set(
        mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
            auto* r = static_cast<Receiver*>(self);
            // What a plain program does with a message: copy it out and hand it around.
            const QByteArray payload(static_cast<const char*>(message->payload),
                                     message->payloadlen);
            const QByteArray topic(message->topic);
            for (const auto& listener : r->listeners)
                listener(payload, topic);
            r->last = r->clock.nsecsElapsed();
            ++r->received;
        });
    if (mosquitto_connect(mosq, "127.0.0.1", broker.port(), 60) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(mosq);
        return {0, 0};
    }
    mosquitto_subscribe(mosq, nullptr, "bench/flood/plain", 0);
    for (int i = 0; i < 10; ++i)
        mosquitto_loop(mosq, 20, 1);
    std::thread(flood, broker.port(), QByteArray("bench/flood/plain"), count).join();
    receiver.clock.start();
    QElapsedTimer idle;
    idle.start();
    int seen = 0;
    while (receiver.received < count && idle.elapsed() < 2000) {
        mosquitto_loop(mosq, 100, 1);
        if (receiver.received != seen) {
            seen = receiver.received;
            idle.start();
        }
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    return {receiver.received, receiver.last > 0 ? receiver.received * 1e9 / receiver.last : 0};
}

void throughput(const TestBroker& broker, int count)
{
    const Rate plain = throughputPlain(broker, count);
    const Rate client = throughputClient(broker, count);
    std::printf("throughput: %d QoS 0 messages, %d listeners each\n", count, Listeners);
    std::printf("  received(): %d delivered, %.0f msg/s (goal >= 20000)\n", client.received,
                client.perSecond);
    std::printf("  plain libmosquitto: %d delivered, %.0f msg/s; ratio %.2f\n", plain.received,
                plain.perSecond, plain.perSecond > 0 ? client.perSecond / plain.perSecond : 0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    const int messages = argc > 2 ? QByteArray(argv[2]).toInt() : 100000;

    TestBroker broker;
    // Slow readers must not lose messages of the flood.
    broker.addConfig(QStringLiteral("max_queued_messages 0"));
    broker.addConfig(QStringLiteral("max_queued_bytes 0"));
    // Without it the broker's small packets (SUBACK, PUBACK, PUBLISH back to back) wait for
    // delayed TCP acknowledgements, and every round trip costs 40 to 90 ms whoever asks.
    if (!qEnvironmentVariableIsSet("BENCH_BROKER_NAGLE"))
        broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
    if (!broker.start()) {
        std::fprintf(stderr, "bench_mqtt: no broker\n");
        return 1;
    }
    // Production log level: information and above, here counted and dropped.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    qInstallMessageHandler(quietHandler);

    const bool clean = reliability(broker, calls);
    if (!latency(broker, argc > 3 ? QByteArray(argv[3]).toInt() : 2000))
        std::printf("latency: FAILED\n");
    throughput(broker, messages);
    std::printf("(log lines dropped: %d)\n", g_logLines.load());
    return clean ? 0 : 1;
}
