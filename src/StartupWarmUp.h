#pragma once

#include <QStringList>

#include <thread>

// Start-up work that the first frame waits for and that needs no application object, done
// on a thread of its own, at idle priority, while the main thread makes that object (which
// connects to the display and loads the platform plug-in):
// - fontconfig reads its configuration and font caches, as Qt's font database would at the
//   first text;
// - the plug-ins of the given QML modules are loaded, from where the QML engine will find
//   them.
// A step that cannot be done here (no fontconfig, a module elsewhere) is left to Qt, which
// does it as it would have.
class StartupWarmUp
{
public:
    // The modules by their directory under an import path, as "QtQuick/Controls.2".
    explicit StartupWarmUp(const QStringList& qmlModules);
    ~StartupWarmUp();
    StartupWarmUp(const StartupWarmUp&) = delete;
    StartupWarmUp& operator=(const StartupWarmUp&) = delete;

    // Returns once the work is done, the thread given back the normal priority meanwhile.
    // To be called before the QML engine loads anything: a plug-in must not be loaded from
    // two threads at once.
    void wait();

    // Import paths in the order the QML engine searches them: QML2_IMPORT_PATH's, then
    // Qt's own.
    static QStringList importPaths();
    // The plug-in of each module that names one in its qmldir, in the first import path
    // that holds the module.
    static QStringList pluginFiles(const QStringList& qmlModules, const QStringList& importPaths);

private:
    std::thread m_thread;
};
