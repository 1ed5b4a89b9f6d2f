#include "ParameterBlock.h"

#include "core/NumText.h"
#include "core/Seams.h"
#include "serial/MSComm.h"

#include <QStringList>
#include <algorithm>
#include <exception>
#include <stdexcept>

namespace {

constexpr int kSettleMs = 200;     // RTS up before the request, and the reply window
constexpr int kRetryPauseMs = 500; // after a short reply
constexpr int kOctetPauseMs = 20;  // the device takes the block one octet at a time
constexpr int kStorePauseMs = 800; // the device stores the block before it can answer again
constexpr int kPairFields = 2 * Others::kInputs;
constexpr char kReadRequest = '*';
constexpr char kWriteCommand = ',';

// Consumes the reply from the front, one comma-terminated field at a time.
class ReplyCursor {
public:
    explicit ReplyCursor(QByteArray rest) : rest_(std::move(rest)) {}

    // The text of the next field; nothing when its "," is missing.
    std::optional<QByteArray> field() {
        const qsizetype comma = rest_.indexOf(',');
        if (comma < 0)
            return std::nullopt;
        QByteArray text = rest_.left(comma);
        rest_.remove(0, comma + 1);
        return text;
    }
    QByteArray take(qsizetype count) const { return rest_.left(count); }

private:
    QByteArray rest_;
};

// One low/high pair as the device sends a 16-bit value: the low field
// rounded, plus 256 times the high field as it stands, the sum rounded
// (a high field of 0.5 adds 128).
std::optional<int32_t> readPair(ReplyCursor& cursor) {
    const auto low = cursor.field();
    if (!low)
        return std::nullopt;
    const auto high = cursor.field();
    if (!high)
        return std::nullopt;
    return toInt32(roundHalfEven(numberFromText(*low)) + 256.0 * numberFromText(*high));
}

// The sign mask decides whether every input adds or subtracts: a garbled
// field ("xx", "5x", empty) must fail the read, not read as 0 and turn every
// input negative.
std::optional<uint16_t> readSignMask(const QByteArray& field) {
    const std::optional<double> value = numberFromWholeText(field);
    if (!value)
        return std::nullopt;
    return static_cast<uint16_t>(toInt16(*value));
}

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Thrown from a pause once a stop has been asked for; no std::exception, so
// that no port error handler takes it for one.
struct ExchangeStopped {};

// Leaves the port as it was before a transaction that failed part way: a
// port this transaction opened must not stay open, or every later
// transaction would fail with "already open".
void releasePort(MSComm& port, bool openedHere, bool rtsRaised) noexcept {
    if (!openedHere)
        return;
    // Each step on its own: a line whose device hung up refuses the RTS drop
    // (EIO), and must be closed all the same.
    if (rtsRaised) {
        try {
            port.RTSEnable(false);
        } catch (...) {
        }
    }
    // The port is already broken; the caller reports the failure.
    closePortQuietly(port);
}

} // namespace

std::optional<ParameterSet> parseParameterReply(const QByteArray& reply) {
    if (reply.size() < 3 || !isDecimalDigit(reply[1]))
        return std::nullopt;
    ParameterSet set;
    set.firmwareVersion = reply[1] == '3' ? QStringLiteral("2x3") : QString(QLatin1Char(reply[1]));

    try {
        ReplyCursor cursor(reply.mid(3));
        for (int column : {Others::kNumeratorColumn, Others::kDivisorColumn}) {
            for (int i = 0; i < Others::kInputs; ++i) {
                const auto value = readPair(cursor);
                if (!value)
                    return std::nullopt;
                set.table[i][column] = *value;
            }
        }
        const auto signField = cursor.field();
        if (!signField)
            return std::nullopt;
        const auto mask = readSignMask(*signField);
        if (!mask)
            return std::nullopt;
        // The device writes the output value in the sign field's width.
        set.output = toByte(numberFromText(cursor.take(signField->size())));
        for (int i = 0; i < Others::kInputs; ++i)
            set.table[i][Others::kSignColumn] = (*mask >> i) & 1;
    } catch (const OverflowError&) {
        return std::nullopt;
    }
    return set;
}

QByteArray requestParameterReply(MSComm& port, const std::function<void(int ms)>& pause) {
    bool openedHere = false;
    bool rtsRaised = false;
    try {
        port.PortOpen(true);
        openedHere = true;
        port.RTSEnable(true);
        rtsRaised = true;
        pause(kSettleMs);
        port.InBufferCount(0);
        port.Output(QByteArray(1, kReadRequest));
        pause(kSettleMs);
        QByteArray reply = port.Input();
        port.RTSEnable(false);
        rtsRaised = false;
        port.PortOpen(false);
        return reply;
    } catch (...) {
        releasePort(port, openedHere, rtsRaised);
        throw;
    }
}

ReadOutcome readParameterSet(MSComm& port, const Pause& pause, StopRequest* stop) {
    ReadOutcome outcome;
    const auto stopped = [stop] { return stop && stop->requested(); };
    // The pause a stop cuts short ends the attempt as a failed step would:
    // RTS dropped and the port closed by requestParameterReply.
    const Pause stoppablePause = [&pause, &stopped](int ms) {
        pause(ms);
        if (stopped())
            throw ExchangeStopped();
    };
    try {
        for (;;) {
            if (outcome.shortReplies >= kReadAttempts) {
                outcome.result = ReadOutcome::Result::NoReply;
                return outcome;
            }
            const QByteArray reply = requestParameterReply(port, stoppablePause);
            if (reply.size() >= kReplyMinLength) {
                outcome.set = parseParameterReply(reply);
                outcome.result =
                    outcome.set ? ReadOutcome::Result::Read : ReadOutcome::Result::BadReply;
                if (!outcome.set)
                    outcome.portError = QStringLiteral("the reply is not a parameter set");
                return outcome;
            }
            ++outcome.shortReplies;
            stoppablePause(kRetryPauseMs);
        }
    } catch (const ExchangeStopped&) {
        outcome.result = ReadOutcome::Result::Stopped;
    } catch (const std::exception& error) {
        outcome.result = ReadOutcome::Result::PortError;
        outcome.portError = QString::fromUtf8(error.what());
    }
    return outcome;
}

namespace {

// The shared state after a read, as the windows see it.
void takeReadOutcome(const ReadOutcome& outcome) {
    Others::RetryCount = int16_t(outcome.shortReplies);
    if (outcome.ok()) {
        // Only a whole reply replaces the shared set, so a garbled one
        // leaves the operator's last good values on screen.
        Others::FirmwareVersion = outcome.set->firmwareVersion;
        Others::ParamTable = outcome.set->table;
        Others::OutputParam = outcome.set->output;
        return;
    }
    Others::ReadFailed = Others::True;
    Others::LastPortError = outcome.portError;
}

// The box a window shows for a read. Besides what noticeFor shows, a device
// that gave three short replies (none at all, or one that never finishes
// its reply in time) gets the "ERROR" box too: a read made for the operator
// never fails unseen. One box per read, whatever made it fail.
std::optional<Notice> windowNotice(const ReadOutcome& outcome) {
    if (outcome.result == ReadOutcome::Result::NoReply)
        return Notice{kPortErrorText, kPortErrorTitle, MsgIcon::Critical};
    return noticeFor(outcome);
}

// The same for a write: a block sent whose read-back failed is not known to
// be stored, and says so as a failed read does.
std::optional<Notice> windowNotice(const WriteOutcome& outcome) {
    if (outcome.result == WriteOutcome::Result::ReadBackFailed)
        return windowNotice(outcome.readBack);
    return noticeFor(outcome);
}

} // namespace

void ReadParameterBlock() {
    Others::ReadFailed = Others::False;
    Others::LastPortError.clear();
    Others::RetryCount = 0;
    ReadOutcome outcome;
    try {
        outcome = readParameterSet(MSComm1(), Sleep);
    } catch (const std::logic_error& error) { // no port object bound
        outcome.result = ReadOutcome::Result::PortError;
        outcome.portError = QString::fromUtf8(error.what());
    }
    takeReadOutcome(outcome);
    if (const auto notice = windowNotice(outcome))
        MsgBox(notice->text, notice->icon, notice->title);
}

namespace {

bool isFieldBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n');
}

// A field's text as one number: blanks around it, nothing else. Read as far
// as it goes, "abc" or an empty box would send 0 and "12abc" or "1 2" 12; a
// slip of the finger must not zero a coefficient or stop an input counting.
std::optional<double> wholeFieldNumber(const QString& text) {
    QStringView rest(text);
    while (!rest.isEmpty() && isFieldBlank(rest.front()))
        rest = rest.sliced(1);
    while (!rest.isEmpty() && isFieldBlank(rest.back()))
        rest.chop(1);
    if (std::any_of(rest.begin(), rest.end(), isFieldBlank))
        return std::nullopt;
    return numberFromWholeText(rest.toUtf8());
}

} // namespace

std::optional<WriteBlock> encodeWriteBlock(const EditorFields& fields, QString* error) {
    WriteBlock block;
    block.octets = QByteArray(kWriteBlockSize, '\0');
    QStringList problems;
    uint8_t mask = 0;

    // Out-of-range values are refused rather than cut to 16 or 8 bits: a
    // wrapped coefficient would count silently wrong for months.
    auto checked = [&problems](const QString& name, const QString& text, int maximum) {
        const std::optional<double> number = wholeFieldNumber(text);
        if (!number) {
            problems << QStringLiteral("%1: \"%2\" is not a number").arg(name, text);
            return 0;
        }
        const double value = roundHalfEven(*number);
        if (!(value >= 0 && value <= maximum)) {
            problems << QStringLiteral("%1: \"%2\" is outside 0..%3")
                            .arg(name, text, QString::number(maximum));
            return 0;
        }
        return static_cast<int>(value);
    };

    for (int i = 0; i < Others::kInputs; ++i) {
        const QString input = QStringLiteral("IN %1").arg(i + 1);
        const int numerator =
            checked(QStringLiteral("Numerator of ") + input, fields.numerator[i], 65535);
        const int divisor =
            checked(QStringLiteral("Divisor of ") + input, fields.divisor[i], 65535);
        block.table[i][Others::kNumeratorColumn] = numerator;
        block.table[i][Others::kDivisorColumn] = divisor;
        block.table[i][Others::kSignColumn] = fields.minus[i] ? 0 : 1;
        block.octets[2 * i] = char(numerator & 0xFF);
        block.octets[2 * i + 1] = char(numerator >> 8);
        block.octets[kPairFields + 2 * i] = char(divisor & 0xFF);
        block.octets[kPairFields + 2 * i + 1] = char(divisor >> 8);
        if (!fields.minus[i])
            mask |= uint8_t(1u << i);
    }
    const int output = checked(QStringLiteral("Output"), fields.output, 255);
    block.octets[2 * kPairFields] = char(mask);
    block.octets[2 * kPairFields + 1] = char(output);

    if (!problems.isEmpty()) {
        if (error)
            *error = problems.join(QLatin1Char('\n')) + QStringLiteral("; nothing was sent.");
        return std::nullopt;
    }
    return block;
}

namespace {

// "," and the block, one octet at a time; the port closed after it. Right
// before the ",", mayStart says whether the block may still go out: when it
// says no, the port is left as it was found and nothing is sent. Returns
// Failed with the port's reason in *failure when a step failed, leaving the
// port closed.
enum class Sent { Block, Failed, NotStarted };
Sent sendBlock(MSComm& port, const QByteArray& octets, const Pause& pause,
               const std::function<bool()>& mayStart, QString* failure) {
    bool openedHere = false;
    bool rtsRaised = false;
    try {
        port.PortOpen(true);
        openedHere = true;
        port.RTSEnable(true);
        rtsRaised = true;
        pause(kSettleMs);
        if (!mayStart()) {
            releasePort(port, openedHere, rtsRaised);
            return Sent::NotStarted;
        }
        port.Output(QByteArray(1, kWriteCommand));
        pause(kSettleMs);
        port.RTSEnable(false);
        rtsRaised = false;
        // One octet per write with a pause after each: the device stores the
        // block as it arrives and has no receive buffer to speak of.
        for (const char octet : octets) {
            port.Output(QByteArray(1, octet));
            pause(kOctetPauseMs);
        }
        port.PortOpen(false);
        return Sent::Block;
    } catch (const std::exception& error) {
        releasePort(port, openedHere, rtsRaised);
        *failure = QString::fromUtf8(error.what());
        return Sent::Failed;
    }
}

WriteOutcome::Result verdictOf(const ReadOutcome& readBack, const Others::ParameterTable& written) {
    switch (readBack.result) {
    case ReadOutcome::Result::Read:
        // Only the table is compared; a device that reports another output
        // value still counts as written, as it always has for this tool.
        return readBack.set->table == written ? WriteOutcome::Result::Verified
                                              : WriteOutcome::Result::Differs;
    case ReadOutcome::Result::Stopped:
        return WriteOutcome::Result::Stopped;
    default:
        return WriteOutcome::Result::ReadBackFailed;
    }
}

} // namespace

WriteOutcome writeParameterSet(const EditorFields& fields, MSComm& port, const Pause& pause,
                               StopRequest* stop, AfterComma afterComma) {
    WriteOutcome outcome;
    const auto block = encodeWriteBlock(fields, &outcome.refusal);
    if (!block)
        return outcome;
    outcome.written = block->table;
    // A stop asked for before the "," ends the write with nothing sent; from
    // the "," on it waits for the block's last octet (the device would keep
    // half a block), or with FinishReadBack for the read-back too.
    std::optional<StopRequest::Hold> hold;
    const auto mayStart = [stop, &hold] {
        if (stop && stop->requested())
            return false;
        hold.emplace(stop);
        return true;
    };
    const Sent sent = sendBlock(port, block->octets, pause, mayStart, &outcome.portError);
    const bool finish = afterComma == AfterComma::FinishReadBack;
    if (!finish || sent != Sent::Block)
        hold.reset();
    if (sent == Sent::Failed) {
        outcome.result = WriteOutcome::Result::PortError;
        return outcome;
    }
    if (sent == Sent::NotStarted) {
        outcome.result = WriteOutcome::Result::Stopped;
        outcome.readBack.result = ReadOutcome::Result::Stopped;
        return outcome;
    }
    outcome.blockSent = true;
    StopRequest* const readStop = finish ? nullptr : stop;
    if (readStop && readStop->requested()) {
        outcome.result = WriteOutcome::Result::Stopped;
        outcome.readBack.result = ReadOutcome::Result::Stopped;
        return outcome;
    }
    pause(kStorePauseMs);
    outcome.readBack = readStop && readStop->requested()
                           ? ReadOutcome{ReadOutcome::Result::Stopped, {}, 0, {}}
                           : readParameterSet(port, pause, readStop);
    outcome.result = verdictOf(outcome.readBack, outcome.written);
    return outcome;
}

std::optional<Notice> noticeFor(const ReadOutcome& outcome) {
    if (outcome.result == ReadOutcome::Result::BadReply ||
        outcome.result == ReadOutcome::Result::PortError)
        return Notice{kPortErrorText, kPortErrorTitle, MsgIcon::Critical};
    return std::nullopt;
}

std::optional<Notice> noticeFor(const WriteOutcome& outcome) {
    switch (outcome.result) {
    case WriteOutcome::Result::Verified:
        return Notice{kWriteVerifiedText, kWriteVerifiedTitle, MsgIcon::Information};
    case WriteOutcome::Result::Refused:
        return Notice{outcome.refusal, kAppTitle, MsgIcon::Warning};
    case WriteOutcome::Result::Differs:
    case WriteOutcome::Result::PortError:
        return Notice{kPortErrorText, kPortErrorTitle, MsgIcon::Critical};
    case WriteOutcome::Result::ReadBackFailed:
    case WriteOutcome::Result::Stopped:
        break;
    }
    return noticeFor(outcome.readBack);
}

void WriteParameterBlock(const EditorFields& fields) {
    WriteOutcome outcome;
    try {
        outcome = writeParameterSet(fields, MSComm1(), Sleep);
    } catch (const std::logic_error& error) { // no port object bound
        encodeWriteBlock(fields, &outcome.refusal);
        if (outcome.refusal.isEmpty()) {
            outcome.result = WriteOutcome::Result::PortError;
            outcome.portError = QString::fromUtf8(error.what());
        }
    }
    if (outcome.result != WriteOutcome::Result::Refused) {
        Others::ReadFailed = Others::False;
        Others::LastPortError = outcome.portError;
        // The editor's values stand in the shared set from the start of the
        // write; a read-back that succeeds replaces them.
        Others::ParamTable = outcome.written;
        if (outcome.result == WriteOutcome::Result::PortError)
            Others::ReadFailed = Others::True;
        else
            takeReadOutcome(outcome.readBack);
    }
    if (const auto notice = windowNotice(outcome))
        MsgBox(notice->text, notice->icon, notice->title);
}
