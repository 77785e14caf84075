#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QSettings;

// Replaces a file as a whole or not at all: the new contents go to "<file>.tmp" in the
// same directory, are flushed to the disk, and that file is renamed over the old one
// (an atomic step on POSIX file systems). One writer per file is assumed. A power cut or a kill at
// any moment leaves either the old or the new file, never a mix or an empty one. There is no
// fallback to writing in place: where no file can be created beside the target, the write fails and
// the old file stays as it is.
class AtomicFile
{
public:
    // Writes the contents; on failure returns false and, if given, the reason.
    static bool write(const QString& path, const QByteArray& contents, QString* error = nullptr);

    // The file in QSettings' INI form, as fill() sets it up on an empty QSettings. The
    // text is produced in a scratch directory ".<file>.new" beside it, so that readers
    // of the file (and QSettings' own lock and cache of it) never see a partial state.
    // If asked, the text written is handed back in `contents`.
    static bool writeSettings(const QString& path, const std::function<void(QSettings&)>& fill,
                              QString* error = nullptr, QByteArray* contents = nullptr);
};
