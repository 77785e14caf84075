#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The simulator's control commands as they travel on the broker: one JSON object
// {"command": name, <argument>: value, ...} published on ControlTopic (answered on
// ReplyTopic) or sent as a request on ControlTopic + "/request/<id>" (answered on
// ControlTopic + "/response/<id>"). Every answer is {"command", "ok": true,
// "message"} or {"command", "ok": false, "error"}. The command line's "send" form
// builds the same object from positional words.
class ControlCommands
{
public:
    struct Definition
    {
        QString name;
        // Argument names in command-line order; "[name]" is optional.
        QStringList arguments;
        QString help;
    };

    static const QString ControlTopic;
    static const QString ReplyTopic;

    static const QList<Definition>& all();
    static const Definition* find(const QString& name);
    // Words after "send" (command name first) as a command object; on error the
    // object is empty and error says why.
    static QJsonObject fromArguments(const QStringList& words, QString* error);
    // The JSON name of a command's argument at a command-line position: "service"
    // for online/offline; "ticket", "result", "reason", "force" for scan; "kind",
    // "force" for maintenance; "value" for every other command.
    static QString argumentKey(const QString& command, int index);
    // One line per command: usage and help.
    static QString usage();
};
