#include "EventLogin.h"

#include "User.h"

namespace {

QString describe(const User* user, const QDateTime& now)
{
    const User none;
    const User& who = user ? *user : none;
    return QStringLiteral("User ID : %1\nFirst name : %2\nLast name : %3\nDate : %4")
        .arg(QString::number(who.id), who.name, who.surname, now.toString());
}

} // namespace

EventLogin::EventLogin(const User* user, QObject* parent)
    : EventLogin(user, QDateTime::currentDateTime(), parent)
{ }

EventLogin::EventLogin(const User* user, const QDateTime& now, QObject* parent)
    : Event(QStringLiteral("General"), QStringLiteral("Maintenance login"), describe(user, now),
            now, parent)
{ }
