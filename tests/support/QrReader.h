#pragma once

#include <QString>

// Reads a QR code drawn as SVG the way a phone would: the SVG is rendered to a
// picture, saved as PNG in dir and decoded by zbarimg (Debian's zbar-tools) run as
// a child process.
struct QrReader
{
    static bool available();
    // The decoded text; ok is false (and error says why) when nothing was read.
    static QString decode(const QString& svg, const QString& dir, bool* ok, QString* error);
};
