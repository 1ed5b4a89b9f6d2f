#pragma once

#include <QString>

#include <optional>

namespace ktr6sim {

// Ways the simulated relay misbehaves, to drive the PC side through its error paths.
enum class FaultKind {
    None,
    Silence,        // never answer "*"
    Short,          // reply cut to arg characters (default 20)
    Late,           // answer arg ms after the "*" (default 300)
    MissingComma,   // drop the comma after field arg (1..25)
    BadVariant,     // a letter instead of the firmware variant digit
    Output256,      // output value 256, which no octet can hold
    StoreDifferent, // keep numerator of IN 1 plus one after a write
    Hangup,         // drop the pty on the next "*" (or after arg bytes); used up when it fires
    Garbage,        // answer "*" with arg random bytes (default 65536)
};

struct Fault {
    FaultKind kind = FaultKind::None;
    int arg = 0;

    friend bool operator==(const Fault&, const Fault&) = default;
};

// NAME[=ARG] as on the command line; "none" clears. Missing ARGs get the defaults above.
std::optional<Fault> parseFault(const QString& text, QString* error = nullptr);
QString faultToString(const Fault& fault);
// One line per fault name, for --help and the "help" command.
QString faultHelp();

} // namespace ktr6sim
