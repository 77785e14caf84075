#pragma once

// Include once per test program that loads the QML scene. Under AddressSanitizer, Qt
// Quick's pixmap cache keeps the pages' images until the process ends: full stacks let
// the leak check see where they come from, and that one place is not reported.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:QQuickPixmap::load\n"
           // Qt Test's logger and the offscreen platform's screen outlive the test too.
           "leak:QTestLog::addLogger\nleak:libqoffscreen\nleak:QPlatformScreen::QPlatformScreen\n"
           "leak:QWindowSystemInterface::handleScreenAdded\n";
}
#endif
