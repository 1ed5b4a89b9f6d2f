#include "RecordFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace recordfiles {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A record whose name, or its twin's, is written first under a temporary
// name longer than the folder takes.
QString nameTooLong(const QString& pdf, const QString& json) {
    const QString longer =
        DurableFile::temporaryNameBytes(json) > DurableFile::temporaryNameBytes(pdf) ? json : pdf;
    const qsizetype limit = DurableFile::nameLimit(longer);
    const qsizetype pdfBytes = QFile::encodeName(QFileInfo(pdf).fileName()).size();
    const qsizetype over = DurableFile::temporaryNameBytes(longer) - limit;
    return QStringLiteral("the record's file name is %1 bytes long, and its %2 is written first "
                          "as \".NAME%3.XXXXXX.part\", %4 bytes: over the limit of %5 bytes for "
                          "a file name in %6. Give the record a name of at most %7 bytes (\"č\" "
                          "and other letters beyond ASCII take two or more)")
        .arg(QString::number(pdfBytes),
             longer == json ? QStringLiteral("twin") : QStringLiteral("PDF"),
             longer == json ? QStringLiteral(".json") : QStringLiteral(".pdf"),
             QString::number(DurableFile::temporaryNameBytes(longer)), QString::number(limit),
             QDir::toNativeSeparators(QFileInfo(pdf).absolutePath()),
             QString::number(pdfBytes - over));
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

bool canCreateRecord(const QString& pdf, const QString& json, QString* error) {
    if (DurableFile::temporaryNameBytes(pdf) > DurableFile::nameLimit(pdf) ||
        DurableFile::temporaryNameBytes(json) > DurableFile::nameLimit(json)) {
        *error = nameTooLong(pdf, json);
        return false;
    }
    return canCreate(pdf, error) && canCreate(json, error);
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
