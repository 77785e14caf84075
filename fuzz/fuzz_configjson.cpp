// A configuration object as it arrives from the remote interface, taken into the
// store and written back out.

#include "Config.h"
#include "FuzzSupport.h"
#include "GUIManager.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QJsonDocument document = QJsonDocument::fromJson(fuzz::bytes(data, size));
    Config config(fuzz::scratchDir() + QStringLiteral("/gui.conf"), GUIManager::Defaults);
    config.fromJson(document.object());
    const QJsonObject written = config.toJson();
    for (const QString& key : config.keys())
        config.get(key);
    Config reread(config.filename(), GUIManager::Defaults);
    reread.fromJson(written);
    fuzz::settle();
    return 0;
}
