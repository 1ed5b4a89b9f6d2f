#pragma once
// The command line of ktr6ctl: which command, its options, and the help text.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

struct CtlOptions {
    enum class Command { Help, Read, Write, Monitor, Coefficient, Diff, Commission };
    Command command = Command::Help;
    bool json = false;      // read, coefficient: one line of JSON instead of the table
    QString file;           // write, diff, commission: the parameter file, "-" for stdin
    QString amount;         // coefficient: the amount per impulse as written
    int maxNumerator = 255; // coefficient: the bounds of the fraction
    int maxDivisor = 65535;
    std::optional<int16_t> port; // overrides the settings file's port number
    std::optional<qint64> count; // monitor: stop after this many records
    struct Record {              // commission: where its record goes, and its labels
        QString pdf;             // empty: a name of its own in the current folder
        QString journal;         // empty: no journal
        QString site;            // empty: not given
        QString relay;
        QString technician;
    } record;
};

struct CtlParseResult {
    std::optional<CtlOptions> options;
    QString error; // when options is empty: what is wrong, for the user
};

// Parses the arguments after the program name. Options may stand before or
// after the command; "--opt VALUE" and "--opt=VALUE" are both accepted.
CtlParseResult parseCommandLine(const QStringList& arguments);

QString usageText();
