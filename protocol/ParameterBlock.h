#pragma once
// The two device transactions on the parameter set: the read ("*" and the
// device's reply) and the write ("," and a 26-octet block, then a verifying
// read). Both run synchronously on the calling thread with fixed pauses, use
// only MSComm1, Sleep and MsgBox, and report through the shared state.

#include "app/Others.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <functional>
#include <optional>

class MSComm;

// A whole parameter set as one reply carries it.
struct ParameterSet {
    QString firmwareVersion;
    Others::ParameterTable table{};
    uint8_t output = 0;
    bool operator==(const ParameterSet&) const = default;
};

// The reply parser. Returns the parsed set, or nothing when the reply is not
// acceptable (variant not a digit, a comma missing after fields 1..25, sign
// mask outside 16 bits, output outside 0..255, a pair beyond 32 bits).
// The reply must already be at least kReplyMinLength characters.
std::optional<ParameterSet> parseParameterReply(const QByteArray& reply);

inline constexpr int kReplyMinLength = 56;
inline constexpr int kReadAttempts = 3;

// One attempt of the read, the only place its steps are written: open the
// port, raise RTS, pause 200 ms, discard waiting input, send "*", pause
// 200 ms, take what has come, drop RTS, close. Returns what came back,
// possibly nothing. Talks only to port and pause, so that the read runs it
// on MSComm1 and Sleep and a scan runs it on many ports at once, each with a
// port object and pauses of its own. A failing step (or a pause that throws
// to stop) leaves the port as it was found: RTS dropped and the port closed
// when this attempt opened it; then the error goes on to the caller.
QByteArray requestParameterReply(MSComm& port, const std::function<void(int ms)>& pause);

// The editor's field texts exactly as they stand, handed to the write.
struct EditorFields {
    std::array<QString, Others::kInputs> numerator;
    std::array<QString, Others::kInputs> divisor;
    std::array<bool, Others::kInputs> minus{};
    QString output;
};

// The 26-octet block of a write: numerators and divisors as 16-bit low/high
// pairs, the sign mask, the output value; with the table rows it stands for.
inline constexpr int kWriteBlockSize = 26;
struct WriteBlock {
    QByteArray octets; // 26 octets
    Others::ParameterTable table{};
};

// Converts the editor's texts (number-from-text, half-to-even). Values the
// block cannot carry (numerator or divisor outside 0..65535, output outside
// 0..255) are refused, never cut down: *error then names every such field,
// one per line, and ends with "; nothing was sent.".
std::optional<WriteBlock> encodeWriteBlock(const EditorFields& fields, QString* error);

// Reads the parameter set into FirmwareVersion, ParamTable and OutputParam.
// ReadFailed tells the outcome; a failed read changes none of the three.
void ReadParameterBlock();

// Writes the editor's values to the device and reads them back to verify;
// the outcome is shown to the operator in a message box. Values the block
// cannot carry are refused with a warning before anything changes: no port
// operation, shared state untouched. A port that cannot be opened or written
// gets the "ERROR" box and ReadFailed True, and is left closed.
void WriteParameterBlock(const EditorFields& fields);

// The text of the message a failed link gets.
inline const QString kPortErrorText =
    QStringLiteral("         COM - Port ERROR \r\nCheck the Cable or Connection with Device.");
inline const QString kPortErrorTitle = QStringLiteral("ERROR");
// What the operator sees when the read-back matches what was written.
inline const QString kWriteVerifiedText = QStringLiteral("All Parameter writen ");
inline const QString kWriteVerifiedTitle = QStringLiteral("Check Parameter");
