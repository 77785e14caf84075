#include "EventLogout.h"

EventLogout::EventLogout(QObject* parent)
    : EventLogout(QDateTime::currentDateTime(), parent)
{ }

EventLogout::EventLogout(const QDateTime& now, QObject* parent)
    : Event(QStringLiteral("General"), QStringLiteral("Maintenance logout"),
            QStringLiteral("Date : %4").arg(now.toString()), now, parent)
{ }
