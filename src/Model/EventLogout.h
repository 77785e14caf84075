#pragma once

#include "Event.h"

// A maintenance session ended.
class EventLogout : public Event
{
    Q_OBJECT

public:
    explicit EventLogout(QObject* parent = nullptr);

private:
    EventLogout(const QDateTime& now, QObject* parent);
};
