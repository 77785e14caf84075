#pragma once

#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// An X server of the test's own (Xvfb) for the real program's window, on the first free
// display number, stopped at destruction. Pointer and keyboard input go through xdotool,
// screen grabs through ImageMagick's import.
class VirtualDisplay
{
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // The programs of the list that are not on the PATH, comma-separated; empty when
    // all are there.
    static QString missingTools(const QStringList& programs);

    // Returns once the server accepts clients.
    bool start(const QSize& size = QSize(1024, 600), int depth = 24);

    // The environment of a program shown on this display: base plus DISPLAY, the X11
    // platform plug-in and the software renderer of Qt Quick.
    QProcessEnvironment environment(const QProcessEnvironment& base
                                    = QProcessEnvironment::systemEnvironment()) const;

    // A left click at the screen position; a press held that long with holdMs.
    bool click(int x, int y, int holdMs = 0);
    // Types the text as key strokes to the window under the pointer.
    bool type(const QString& text, int delayMs = 50);
    // Turns the mouse wheel at the position: clicks > 0 down, < 0 up.
    bool scroll(int x, int y, int clicks);
    // Presses keys by name, e.g. "ctrl+shift+d" or "Return".
    bool key(const QString& keys);
    // Writes the whole screen to a PNG file.
    bool grab(const QString& pngFile);

private:
    bool runTool(const QString& program, const QStringList& arguments);

    std::unique_ptr<QProcess> m_server;
    QString m_name; // ":<number>"
};
