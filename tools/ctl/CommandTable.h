#pragma once
// ktr6ctl's commands and options, each written once: the command line is
// parsed and checked, and its help written, from these tables alone.

#include "CtlCommand.h"

#include <QString>
#include <optional>
#include <span>
#include <vector>

namespace ctltable {

// The options, in the order their "does not belong" checks run.
enum class Opt {
    Json,
    Save,
    Port,
    MaxNumerator,
    MaxDivisor,
    Tolerance,
    MeterConstant,
    Ct,
    Vt,
    Unit,
    Record,
    Journal,
    Site,
    Relay,
    By,
    Folder,
    Count,
    Database,
    RelayName, // counts' --relay; the command line names it as commission's
    From,
    To,
    Csv,
    Separator,
    DecimalComma,
    Socket,
    SetTotal,
    Help,
    Version,
};

// How an option's value is taken and checked.
enum class Kind {
    Flag,    // no value
    Port,    // a port number from min to max
    Count,   // a whole number from min on
    Bound,   // a whole number from min to max
    Ratio,   // a relative error such as 1e-4, at most 1
    PdfFile, // a file name ending in .pdf
    File,    // a file name, not empty
    Label,   // a text shown on the record: blanks around it dropped, at most 80 characters
    Fact,    // a meter's fact, read as coefficient reads an amount ("1500/5")
    Unit,    // the unit of an amount: one line of at most 16 characters
    Time,    // ISO 8601 with Z or an offset
    Char,    // one character
};

struct Option {
    Opt id;
    const char* name;    // "--port"
    const char* alias;   // "-h", or nullptr
    const char* metavar; // "N"; nullptr for a flag
    Kind kind;
    qint64 min = 0; // the bounds of a number, and its default (0: none)
    qint64 max = 0;
    qint64 byDefault = 0;
    const char* help = ""; // what it does; its bounds and default are added
    // Where its value goes; a flag that sets nothing (--help, --version) has none.
    bool CtlOptions::*flag = nullptr;
    void (*setNumber)(CtlOptions&, qint64) = nullptr;
    QString* (*text)(CtlOptions&) = nullptr;
};

// A second column of text under a heading, such as the monitor's columns.
struct Term {
    const char* term;
    const char* text;
};

struct Command {
    const char* name;
    CtlOptions::Command id;
    const char* argument;             // "FILE", or nullptr
    QString CtlOptions::*destination; // where the argument goes
    const char* missing;              // the error when the argument is missing
    const char* summary;              // one line
    const char* details;              // more, or ""; "\n" breaks a line
    std::vector<Opt> options;         // in the order the synopsis shows them
    // Options it refuses with a word of its own instead of "belongs to".
    std::vector<std::pair<Opt, const char*>> refusals;
    std::vector<Term> columns; // "Columns of NAME:", or none
    const char* exitNote;      // what its exit statuses mean for it, or ""
    // An option that, given, stands for the argument (then not given).
    std::optional<Opt> insteadOfArgument = std::nullopt;
    // A second argument, which may be left out: "NAME", or nullptr.
    const char* secondArgument = nullptr;
    QString* (*secondDestination)(CtlOptions&) = nullptr;
};

// An exit status and the commands that may end with it.
struct ExitStatus {
    const char* code;
    const char* text;
    std::vector<CtlOptions::Command> commands; // empty: every command
};

std::span<const Option> options();
std::span<const Command> commands();
std::span<const ExitStatus> exitStatuses();

const Option& option(Opt id);
// The command of that name, or nullptr.
const Command* findCommand(const QString& name);
bool takes(const Command& command, Opt id);
// The commands that take the option, in the table's order.
std::vector<const Command*> commandsTaking(Opt id);

} // namespace ctltable
