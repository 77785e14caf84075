// The event log file: loaded at start, filtered as the log screen does, extended and
// saved again.

#include "Config.h"
#include "Event.h"
#include "EventManager.h"
#include "FuzzSupport.h"
#include "GUIManager.h"

#include <QDateTime>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QString path = fuzz::writeFile(QStringLiteral("events.ini"), fuzz::bytes(data, size));
    const QString dir = path.left(path.lastIndexOf(QLatin1Char('/')));
    Config config(dir + QStringLiteral("/gui.conf"), GUIManager::Defaults);
    EventManager events(config, dir);
    events.applyFilter(QStringLiteral("General"));
    events.applyFilter(2);
    events.applyFilterPeriod(QStringLiteral("Last week"));
    events.applyFilter(QDateTime::fromSecsSinceEpoch(0), QDateTime::currentDateTimeUtc());
    events.push(new Event(QStringLiteral("General"), QStringLiteral("Application started"),
                          QString(), QDateTime::currentDateTimeUtc()));
    events.clear(QDateTime::fromSecsSinceEpoch(1000000000));
    EventManager reread(config, dir);
    fuzz::settle();
    return 0;
}
