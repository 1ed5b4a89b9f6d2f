#pragma once
// Files that must never be replaced or left half written: a commissioning
// record and its twin (each made whole beside its final name, flushed to the
// disk, then given that name by a rename that refuses to replace), and the
// journal of a site (one appended line per run, under a lock).
// Linux and other POSIX systems; local file systems.

#include "core/DurableFile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What writing a record (or a site's summary) left: the paths placed, in order (the PDF, then
// its twin), a warning (a font stood in for another) and the errors, each
// a line for the user without the program's name.
struct RecordWriteResult {
    QStringList placed;
    QString warning;
    QStringList errors;
    bool ok() const { return errors.isEmpty(); }
};

namespace recordfiles {

enum class Placed { Written, Exists, Failed };

// Whether a new file can be made in path's folder, and no entry of any kind
// (a dangling link included) has path's name. *error says why not.
bool canCreate(const QString& path, QString* error);
// canCreate for a record and its twin, after a check that neither name nor
// the temporary name it is written under first passes the folder's limit
// (counted in bytes: "č" takes two), which names the limit and the longest
// name the record may have.
bool canCreateRecord(const QString& pdf, const QString& json, QString* error);

// Writes bytes to a new file at path: first to a hidden temporary file
// ".NAME.XXXXXX.part" in the same folder, flushed to the disk, then renamed
// to path in one step that fails when path exists (renameat2 with
// RENAME_NOREPLACE, or link and unlink where the file system refuses that).
// A kill at any moment leaves either no file at path or the whole one; it
// may leave the temporary file behind. Exists: something has taken path
// meanwhile, and is left as it is. *error says why for Exists and Failed.
Placed writeNewFile(const QString& path, const QByteArray& bytes, QString* error);

// The journal: opened for appending (created when missing) before anything
// is sent, so a journal that cannot be written stops the run early.
class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    bool open(const QString& path, QString* error);
    bool isOpen() const { return log_.isOpen(); }
    // Appends one line (line holds no newline; one is added) in a single
    // write under an exclusive lock, after a newline of its own when the
    // file does not end in one (a line cut short by a crash stays alone on
    // its line), then flushes the file to the disk.
    bool append(const QByteArray& line, QString* error);

private:
    DurableLog log_;
    QString path_;
};

} // namespace recordfiles
