// The configuration file as found on the terminal: read at start, printed, changed
// and saved again (a malformed file is moved aside on that save).

#include "Config.h"
#include "FuzzSupport.h"
#include "GUIManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QString path = fuzz::writeFile(QStringLiteral("gui.conf"), fuzz::bytes(data, size));
    Config config(path, GUIManager::Defaults);
    for (const QString& key : config.keys())
        config.get(key);
    config.print();
    config.toJson();
    config.set(QStringLiteral("gui/locale"),
               config.get(QStringLiteral("gui/locale")).toString() + QStringLiteral("_x"));
    Config reread(path, GUIManager::Defaults);
    reread.toJson();
    fuzz::settle();
    return 0;
}
