#include "TapInjector.h"

#include <dlfcn.h>

namespace {

template<typename F>
F symbol(void* library, const char* name)
{
    return library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

} // namespace

TapInjector::TapInjector()
    : m_x11(dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL))
    , m_xtst(dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL))
{
    const auto open = symbol<OpenDisplay>(m_x11, "XOpenDisplay");
    m_close = symbol<CloseDisplay>(m_x11, "XCloseDisplay");
    m_flush = symbol<Flush>(m_x11, "XFlush");
    m_sync = symbol<Sync>(m_x11, "XSync");
    m_motion = symbol<FakeMotion>(m_xtst, "XTestFakeMotionEvent");
    m_button = symbol<FakeButton>(m_xtst, "XTestFakeButtonEvent");
    if (!open || !m_close || !m_flush || !m_sync || !m_motion || !m_button) {
        m_error = QStringLiteral("libX11.so.6 or libXtst.so.6 missing");
        return;
    }
    m_display = open(nullptr);
    if (!m_display)
        m_error = QStringLiteral("cannot open the display %1").arg(qEnvironmentVariable("DISPLAY"));
}

TapInjector::~TapInjector()
{
    if (m_display)
        m_close(m_display);
    // The libraries stay loaded: Xlib registers handlers that outlive the display.
}

bool TapInjector::press(int x, int y)
{
    if (!m_display)
        return false;
    m_motion(m_display, -1, x, y, 0);
    m_button(m_display, 1, 1, 0);
    m_sync(m_display, 0);
    return true;
}

bool TapInjector::release()
{
    if (!m_display)
        return false;
    m_button(m_display, 1, 0, 0);
    m_flush(m_display);
    return true;
}
