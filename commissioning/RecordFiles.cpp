#include "RecordFiles.h"

#include <QDir>
#include <QFileInfo>

#include <cstring>

namespace recordfiles {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

bool canCreate(const QString& path, QString* error) {
    const DurableFile::Result probe = DurableFile::canCreate(path);
    if (probe.outcome == DurableFile::Outcome::Exists) {
        *error = QStringLiteral("%1 already exists, and a record never replaces a file")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (!probe.done()) {
        *error = QStringLiteral("cannot create a file in %1: %2")
                     .arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath()),
                          systemError(probe.error));
        return false;
    }
    return true;
}

Placed writeNewFile(const QString& path, const QByteArray& bytes, QString* error) {
    const DurableFile::Result written = DurableFile::create(path, bytes);
    const QString shown = QDir::toNativeSeparators(path);
    if (written.done())
        return Placed::Written;
    if (written.outcome == DurableFile::Outcome::Exists) {
        *error =
            QStringLiteral("%1 appeared while the run went on; it was left as it is").arg(shown);
        return Placed::Exists;
    }
    const QString reason = systemError(written.error);
    if (written.step == DurableFile::Step::Temp)
        *error = QStringLiteral("cannot create a file beside %1: %2").arg(shown, reason);
    else if (written.step == DurableFile::Step::Name)
        *error = QStringLiteral("cannot name the file %1: %2").arg(shown, reason);
    else
        *error = QStringLiteral("cannot write %1: %2").arg(shown, reason);
    return Placed::Failed;
}

bool Journal::open(const QString& path, QString* error) {
    path_ = path;
    const DurableFile::Result opened = log_.open(path);
    if (opened.outcome == DurableFile::Outcome::NotAFile)
        *error = QStringLiteral("the journal %1 is not a regular file").arg(path_);
    else if (!opened.done())
        *error =
            QStringLiteral("cannot open the journal %1: %2").arg(path_, systemError(opened.error));
    return opened.done();
}

bool Journal::append(const QByteArray& line, QString* error) {
    const DurableFile::Result appended = log_.append(line);
    if (appended.step == DurableFile::Step::Lock)
        *error = QStringLiteral("cannot lock the journal %1: %2")
                     .arg(path_, systemError(appended.error));
    else if (!appended.done())
        *error = QStringLiteral("cannot write to the journal %1: %2")
                     .arg(path_, systemError(appended.error));
    return appended.done();
}

} // namespace recordfiles
