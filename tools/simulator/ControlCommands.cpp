#include "ControlCommands.h"

#include "TerminalService.h"
#include "TicketFactory.h"

#include <QStringBuilder>

const QString ControlCommands::ControlTopic = QStringLiteral("ovant/simulator/control");
const QString ControlCommands::ReplyTopic = QStringLiteral("ovant/simulator/reply");

const QList<ControlCommands::Definition>& ControlCommands::all()
{
    static const QList<Definition> definitions {
        {QStringLiteral("take-card"),
         {},
         QStringLiteral("the user takes the card from the dispenser's mouth")},
        {QStringLiteral("insert-card"),
         {QStringLiteral("[uid]")},
         QStringLiteral("the user pushes a card into the mouth (while acceptance is enabled)")},
        {QStringLiteral("jam"),
         {QStringLiteral("[on|off]")},
         QStringLiteral("jams the dispenser's transport; off clears the jam")},
        {QStringLiteral("door"),
         {QStringLiteral("open|close")},
         QStringLiteral("opens or closes the dispenser's cartridge door")},
        {QStringLiteral("cartridge"),
         {QStringLiteral("cards")},
         QStringLiteral("sets the number of blank cards in the cartridge (0: empty)")},
        {QStringLiteral("fail-write"),
         {QStringLiteral("[text]")},
         QStringLiteral("the next card write of the RFID reader fails")},
        {QStringLiteral("offline"),
         {QStringLiteral("service|all")},
         QStringLiteral("the service stops: it reports \"service\": false and answers nothing")},
        {QStringLiteral("online"),
         {QStringLiteral("service|all")},
         QStringLiteral("the service is back and publishes its state")},
        {QStringLiteral("terminal"),
         {TerminalService::conditionNames().join(QLatin1Char('|'))},
         QStringLiteral("sets the terminal status the terminal service reports")},
        {QStringLiteral("scan"),
         {QStringLiteral("type"), QStringLiteral("[valid|refused]"), QStringLiteral("[reason]"),
          QStringLiteral("[force]")},
         QStringLiteral("a ticket is validated; type: ")
             % TicketFactory::typeNames().join(QLatin1Char('|'))
             % QStringLiteral("; reason: refusal id; force: scan with the reader switched off")},
        {QStringLiteral("maintenance"),
         {TicketFactory::maintenanceKinds().join(QLatin1Char('|')), QStringLiteral("[force]")},
         QStringLiteral("a maintenance configuration barcode is scanned")},
        {QStringLiteral("retry"),
         {},
         QStringLiteral("the validator asks to present the card again")},
        {QStringLiteral("ignition"),
         {QStringLiteral("on|off")},
         QStringLiteral("switches the vehicle's ignition")},
        {QStringLiteral("temperature"),
         {QStringLiteral("celsius")},
         QStringLiteral("the board's temperature")},
        {QStringLiteral("voltage"),
         {QStringLiteral("volts")},
         QStringLiteral("the board's supply voltage")},
        {QStringLiteral("rtc"),
         {QStringLiteral("ok|failed")},
         QStringLiteral("the board's real-time clock")},
        {QStringLiteral("light"),
         {QStringLiteral("percent")},
         QStringLiteral("the ambient light sensor (the backlight follows in auto mode)")},
        {QStringLiteral("ethernet"),
         {QStringLiteral("up|down")},
         QStringLiteral("plugs or unplugs the network cable")},
        {QStringLiteral("update"),
         {QStringLiteral("version|none")},
         QStringLiteral("the version the update server offers to the next check")},
        {QStringLiteral("status"),
         {},
         QStringLiteral("reports the state of every simulated service")},
        {QStringLiteral("cards"),
         {},
         QStringLiteral(
             "reports the cards taken from the mouth, with what the reader holds on each")},
    };
    return definitions;
}

const ControlCommands::Definition* ControlCommands::find(const QString& name)
{
    for (const Definition& definition : all()) {
        if (definition.name == name)
            return &definition;
    }
    return nullptr;
}

QJsonObject ControlCommands::fromArguments(const QStringList& words, QString* error)
{
    if (words.isEmpty()) {
        *error = QStringLiteral("no command given");
        return {};
    }
    const Definition* definition = find(words.first());
    if (!definition) {
        *error = QStringLiteral("unknown command '%1'").arg(words.first());
        return {};
    }
    const QStringList values = words.mid(1);
    if (values.size() > definition->arguments.size()) {
        *error = QStringLiteral("too many arguments for '%1'").arg(definition->name);
        return {};
    }
    QJsonObject command {{QStringLiteral("command"), definition->name}};
    for (int i = 0; i < definition->arguments.size(); ++i) {
        const QString& argument = definition->arguments.at(i);
        const bool optional = argument.startsWith(QLatin1Char('['));
        if (i >= values.size()) {
            if (!optional) {
                *error = QStringLiteral("'%1' needs %2").arg(definition->name, argument);
                return {};
            }
            continue;
        }
        command.insert(argumentKey(definition->name, i), values.at(i));
    }
    return command;
}

QString ControlCommands::argumentKey(const QString& command, int index)
{
    // JSON names of the arguments; a one-argument command names it "value".
    if (command == QLatin1String("scan")) {
        static const char* const keys[] = {"ticket", "result", "reason", "force"};
        return QLatin1String(keys[qBound(0, index, 3)]);
    }
    if (command == QLatin1String("maintenance"))
        return QLatin1String(index == 0 ? "kind" : "force");
    if (command == QLatin1String("offline") || command == QLatin1String("online"))
        return QStringLiteral("service");
    return QStringLiteral("value");
}

QString ControlCommands::usage()
{
    QString text;
    for (const Definition& definition : all()) {
        QString line = QStringLiteral("  ") + definition.name;
        for (const QString& argument : definition.arguments)
            line += QLatin1Char(' ') + argument;
        // A long usage gets its help on a line of its own.
        if (line.size() > 40)
            line += QLatin1Char('\n') + QString(40, QLatin1Char(' '));
        text += line.leftJustified(40) + QLatin1Char(' ') + definition.help + QLatin1Char('\n');
    }
    return text;
}
