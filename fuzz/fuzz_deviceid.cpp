// The device-id file: read at start and written again when the id is changed.

#include "Config.h"
#include "DeviceIdFile.h"
#include "FuzzSupport.h"
#include "GUIManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::init();
    const QString path = fuzz::writeFile(QStringLiteral("serialnumber"), fuzz::bytes(data, size));
    Config config(path + QStringLiteral(".conf"), GUIManager::Defaults);
    config.addOverrides({{QStringLiteral("gui/deviceId"), path}});
    DeviceIdFile file(config);
    file.load();
    const QString id = file.id();
    file.setId(id + QStringLiteral("1"));
    file.load();
    file.setId(id);
    fuzz::settle();
    return 0;
}
