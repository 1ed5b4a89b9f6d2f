#pragma once
// What every ktr6ctl command shares: its exit statuses, its two output
// streams, and one run of device exchanges on one port with its own stop.

#include "core/Seams.h"
#include "protocol/ParameterBlock.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"

#include <QByteArray>
#include <QString>
#include <optional>

inline constexpr int kExitOk = 0;
inline constexpr int kExitDevice = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDiffers = 3; // diff, audit: another set; commission: not verified
inline constexpr int kExitRecord = 4;  // commission, audit: the record or the journal not written

// One line on stderr (its newline added when missing).
void printErr(const QString& text);
// A message box of the desktop tool as a terminal shows it: "TITLE: text".
void printNotice(const QString& text, const QString& title);
void printNotice(const std::optional<Notice>& notice);
// Writes the command's result to stdout; a failed write fails the command
// (a reader that has gone ends it quietly, as a stop signal would).
int writeOutput(const QByteArray& bytes, bool watching = false);

// "standard input" for "-", the file name otherwise.
QString inputName(const QString& file);

struct ParameterPlan;
// The parameter file of write, diff and commission, read whole (at most
// 1 MiB) and checked before the port is touched, its stated amounts held to
// the tolerance (empty: the default); its problems are printed. *sha256: the
// SHA-256 of the bytes as read, lowercase hex.
std::optional<ParameterPlan> loadPlan(const QString& file, const QString& tolerance,
                                      QByteArray* sha256 = nullptr);

// One run on one port: the settings file's line settings (or --port), the
// pause that a stop signal cuts short, and the stop request the signal sets.
class CtlRun {
public:
    explicit CtlRun(bool watching);
    CtlRun(const CtlRun&) = delete;
    CtlRun& operator=(const CtlRun&) = delete;

    // The settings file, then --port. Prints why not and returns false when
    // the file is missing or unusable.
    bool configurePort(std::optional<int16_t> portNumber);

    QtSerialComm& port() { return port_; }
    StopRequest* stop() { return &stop_; }
    Pause pause();
    bool watching() const { return watching_; }
    // "COM1 (/dev/ttyUSB0)".
    QString portDescription() const;

    // Ends the program at once when a stop signal has come: the port is
    // closed first, and a write whose block went out says that it was not
    // verified.
    void stopIfSignalled(bool sentUnverified = false);
    [[noreturn]] void stopNow(bool sentUnverified);

    // The read as the desktop tool makes it, with its box printed; a failure
    // gets a line saying why. Nothing when it failed.
    std::optional<ParameterSet> readParameters();

private:
    QtSerialComm port_;
    StopRequest stop_;
    bool watching_;
};
