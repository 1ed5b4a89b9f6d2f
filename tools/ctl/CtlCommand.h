#pragma once
// The command line of ktr6ctl: which command, its options, and the help text.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

struct CtlOptions {
    enum class Command { Help, Version, Read, Write, Monitor, Scan };
    Command command = Command::Help;
    bool json = false;           // read, scan: JSON instead of the table
    bool save = false;           // scan: write the one relay's port into the settings file
    QString file;                // write: the parameter file, "-" for stdin
    std::optional<int16_t> port; // overrides the settings file's port number
    std::optional<qint64> count; // monitor: stop after this many records
};

struct CtlParseResult {
    std::optional<CtlOptions> options;
    QString error; // when options is empty: what is wrong, for the user
};

// Parses the arguments after the program name. Options may stand before or
// after the command; "--opt VALUE" and "--opt=VALUE" are both accepted.
CtlParseResult parseCommandLine(const QStringList& arguments);

QString usageText();

// "ktr6ctl 1.0.2": the program's name and the release the desktop program's
// about box shows (there as "1.02").
QString versionText();
