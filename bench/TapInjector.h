#pragma once

#include <QString>

// Taps on the X display named by DISPLAY the way a touch screen's driver does, through
// the server's XTEST extension, so that the tap reaches the program through the X server
// and its event queue like a real one. libX11 and libXtst are loaded at run time: the
// benches need no X development files. Used from one thread.
class TapInjector
{
public:
    TapInjector();
    ~TapInjector();
    TapInjector(const TapInjector&) = delete;
    TapInjector& operator=(const TapInjector&) = delete;

    // False, with error(), when the display or the libraries are missing.
    bool isOpen() const { return m_display != nullptr; }
    QString error() const { return m_error; }

    // Moves the pointer to the screen position and presses; the server has both on return.
    bool press(int x, int y);
    // Releases; returns once the release has been sent to the server (the program reacts
    // to it from then on).
    bool release();

private:
    using Display = void;
    using OpenDisplay = Display* (*)(const char*);
    using CloseDisplay = int (*)(Display*);
    using Flush = int (*)(Display*);
    using Sync = int (*)(Display*, int);
    using FakeMotion = int (*)(Display*, int, int, int, unsigned long);
    using FakeButton = int (*)(Display*, unsigned int, int, unsigned long);

    void* m_x11 = nullptr;
    void* m_xtst = nullptr;
    Display* m_display = nullptr;
    CloseDisplay m_close = nullptr;
    Flush m_flush = nullptr;
    Sync m_sync = nullptr;
    FakeMotion m_motion = nullptr;
    FakeButton m_button = nullptr;
    QString m_error;
};
