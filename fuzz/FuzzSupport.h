#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace manager {
class MqttClient;
}

// What every harness shares. A harness calls init() at the start of each input; the
// objects it builds for the input live on its stack, so nothing carries over.
namespace fuzz {

// Creates the application object once, without a display, and drops the log
// (KVRT_FUZZ_LOG=1 keeps it): the time goes into the inputs, not into stderr.
void init();

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

// An empty directory for the files of one input (the same path every time).
QString scratchDir();

// Writes the bytes to a file of that name in the scratch directory; returns its path.
QString writeFile(const QString& name, const QByteArray& content);

// Delivers what the input left queued (posted events, deferred deletions), so that
// no object outlives its input.
void settle();

// Hands each line of the input to the program as one message from the broker:
// "topic payload" as mosquitto_sub -v prints it (a line without a space is a topic with
// an empty payload), emitted by the MQTT client exactly as it relays what it receives.
// A line "@word" is a user action instead, handed to act. The queue is settled after
// every line.
void deliver(manager::MqttClient& mqtt, const QByteArray& input,
             const std::function<void(const QByteArray& action)>& act);

} // namespace fuzz
