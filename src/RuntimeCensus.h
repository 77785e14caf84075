#pragma once

#include <QObject>

// Counts what a long-running terminal must not pile up: MQTT subscriptions and
// one-shot waits, active timers, deferred results and live objects. The counts
// are logged by report() (the program calls it on SIGUSR1) and when the application
// quits, as one line:
//     [Census] subscriptions=N waits=N timers=N deferred=N objects=N
// Objects are followed through the hooks QtCore offers to introspection tools,
// from the census's construction on. One census per process.
class RuntimeCensus : public QObject
{
    Q_OBJECT

public:
    explicit RuntimeCensus(QObject* parent = nullptr);
    ~RuntimeCensus() override;

    // Objects created since the census began and not yet destroyed.
    int objects() const;
    void report() const;
};
