#pragma once
// The two device transactions on the parameter set: the read ("*" and the
// device's reply) and the write ("," and a 26-octet block, then a verifying
// read). Both run synchronously on the calling thread with fixed pauses.
// readParameterSet and writeParameterSet take the port object and the pause
// and return what happened, touching no shared variable, so that several
// relays can be served at once, each on a thread of its own.
// ReadParameterBlock and WriteParameterBlock are the windows' forms of them:
// MSComm1, Sleep, the shared state and the message boxes.

#include "core/Others.h"
#include "core/Seams.h"

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

// Converts the editor's texts (number-from-text, half-to-even). A text that
// is not wholly one number (blanks around it aside: "", "abc", "12abc",
// "1 2") and a value the block cannot carry (numerator or divisor outside
// 0..65535, output outside 0..255) are refused, never read as far as they go
// or cut down: *error then names every such field, one per line, and ends
// with "; nothing was sent.".
std::optional<WriteBlock> encodeWriteBlock(const EditorFields& fields, QString* error);

// What a read found.
struct ReadOutcome {
    enum class Result {
        Read,      // set holds what the device holds
        NoReply,   // three replies too short (or none): a silent or absent device
        BadReply,  // a reply long enough that is not a parameter set
        PortError, // the port could not be opened, set or used: portError says why
        Stopped,   // a stop was asked for
    };
    Result result = Result::NoReply;
    std::optional<ParameterSet> set;
    int shortReplies = 0; // replies too short to be a set, before the end
    QString portError;    // PortError and BadReply: the reason
    bool ok() const { return result == Result::Read; }
};

// The read: up to three attempts, each as requestParameterReply makes it,
// 500 ms apart after a short reply.
ReadOutcome readParameterSet(MSComm& port, const Pause& pause, StopRequest* stop = nullptr);

// What a write did.
struct WriteOutcome {
    enum class Result {
        Verified,       // the read-back holds the table that was written
        Differs,        // the read-back holds another table
        Refused,        // a field the block cannot carry: refusal names them; nothing sent
        PortError,      // the port failed before the block was out: portError says why
        ReadBackFailed, // the block went out, the read-back failed: readBack says how
        Stopped,        // a stop was asked for: before the "," (blockSent false,
                        // nothing sent) or once the block was out (not verified)
    };
    Result result = Result::Refused;
    QString refusal;   // Refused: one line per field, "; nothing was sent." at the end
    QString portError; // PortError: the reason
    bool blockSent = false;
    Others::ParameterTable written{}; // the table the block stands for
    ReadOutcome readBack;             // Verified, Differs, ReadBackFailed, Stopped
};

// What a stop asked for once the "," has gone does: StopAfterBlock ends the
// write when the block is out, unverified; FinishReadBack lets the
// verifying read run to its end, so that the run knows what the device holds.
enum class AfterComma { StopAfterBlock, FinishReadBack };

// The write: "," and the block, then the verifying read after 800 ms.
// Fields the block cannot carry are refused before the port is touched; a
// stop asked for before the "," ends it with nothing sent.
WriteOutcome writeParameterSet(const EditorFields& fields, MSComm& port, const Pause& pause,
                               StopRequest* stop = nullptr,
                               AfterComma afterComma = AfterComma::StopAfterBlock);

// The message box an outcome gets, if any: the "ERROR" box for a port error
// or a reply that is not a set, nothing for a silent device (ktr6ctl tells
// that in a line of its own; ReadParameterBlock and WriteParameterBlock show
// the "ERROR" box for it); after a write also "All Parameter writen " or the
// refusal.
struct Notice {
    QString text;
    QString title;
    MsgIcon icon = MsgIcon::None;
};
std::optional<Notice> noticeFor(const ReadOutcome& outcome);
std::optional<Notice> noticeFor(const WriteOutcome& outcome);

// Reads the parameter set into FirmwareVersion, ParamTable and OutputParam.
// ReadFailed tells the outcome; a failed read changes none of the three and
// shows the "ERROR" box once, whether the port failed, the reply was not a
// set or the device gave three short replies.
void ReadParameterBlock();

// Writes the editor's values to the device and reads them back to verify;
// the outcome is shown to the operator in a message box. Values the block
// cannot carry are refused with a warning before anything changes: no port
// operation, shared state untouched. A port that cannot be opened or written
// gets the "ERROR" box and ReadFailed True, and is left closed; a read-back
// that fails gets the "ERROR" box as ReadParameterBlock shows it.
void WriteParameterBlock(const EditorFields& fields);

// The text of the message a failed link gets.
inline const QString kPortErrorText =
    QStringLiteral("         COM - Port ERROR \r\nCheck the Cable or Connection with Device.");
inline const QString kPortErrorTitle = QStringLiteral("ERROR");
// What the operator sees when the read-back matches what was written.
inline const QString kWriteVerifiedText = QStringLiteral("All Parameter writen ");
inline const QString kWriteVerifiedTitle = QStringLiteral("Check Parameter");
