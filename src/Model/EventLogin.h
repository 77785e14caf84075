#pragma once

#include "Event.h"

struct User;

// A maintenance session began.
class EventLogin : public Event
{
    Q_OBJECT

public:
    EventLogin(const User* user, QObject* parent = nullptr);

private:
    EventLogin(const User* user, const QDateTime& now, QObject* parent);
};
