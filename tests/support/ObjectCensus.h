#pragma once

#include <QtGlobal>

// Counts the QObjects created and not yet destroyed while it exists, through the hooks
// QtCore offers to introspection tools: repeating an operation must leave nothing behind
// (timers, subscriptions, helper objects). One census at a time.
class ObjectCensus
{
public:
    ObjectCensus();
    ~ObjectCensus();
    Q_DISABLE_COPY(ObjectCensus)

    qint64 alive() const;
};
