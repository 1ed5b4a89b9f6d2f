#include "ParameterBlock.h"

#include "app/NumText.h"
#include "app/Seams.h"
#include "serial/MSComm.h"

#include <QStringList>
#include <exception>

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

void reportLinkFailure(const QString& why) {
    Others::ReadFailed = Others::True;
    Others::LastPortError = why;
    MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
}

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

void ReadParameterBlock() {
    Others::ReadFailed = Others::False;
    Others::LastPortError.clear();
    try {
        Others::RetryCount = 0;
        MSComm& port = MSComm1();
        for (;;) {
            if (Others::RetryCount >= kReadAttempts) {
                // No device, or one that never finishes its reply in time:
                // the caller decides what to tell the operator.
                Others::ReadFailed = Others::True;
                return;
            }
            const QByteArray reply = requestParameterReply(port, Sleep);
            if (reply.size() >= kReplyMinLength) {
                const auto set = parseParameterReply(reply);
                if (!set) {
                    reportLinkFailure(QStringLiteral("the reply is not a parameter set"));
                    return;
                }
                // Only a whole reply replaces the shared set, so a garbled one
                // leaves the operator's last good values on screen.
                Others::FirmwareVersion = set->firmwareVersion;
                Others::ParamTable = set->table;
                Others::OutputParam = set->output;
                return;
            }
            ++Others::RetryCount;
            Sleep(kRetryPauseMs);
        }
    } catch (const std::exception& error) {
        reportLinkFailure(QString::fromUtf8(error.what()));
    }
}

std::optional<WriteBlock> encodeWriteBlock(const EditorFields& fields, QString* error) {
    WriteBlock block;
    block.octets = QByteArray(kWriteBlockSize, '\0');
    QStringList problems;
    uint8_t mask = 0;

    // Out-of-range values are refused rather than cut to 16 or 8 bits: a
    // wrapped coefficient would count silently wrong for months.
    auto checked = [&problems](const QString& name, const QString& text, int maximum) {
        const double value = roundHalfEven(numberFromText(text));
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

void WriteParameterBlock(const EditorFields& fields) {
    QString refusal;
    const auto block = encodeWriteBlock(fields, &refusal);
    if (!block) {
        MsgBox(refusal, MsgIcon::Warning);
        return;
    }

    Others::ReadFailed = Others::False;
    Others::LastPortError.clear();
    Others::ParamTable = block->table;

    bool openedHere = false;
    bool rtsRaised = false;
    try {
        MSComm& port = MSComm1();
        port.PortOpen(true);
        openedHere = true;
        port.RTSEnable(true);
        rtsRaised = true;
        Sleep(kSettleMs);
        port.Output(QByteArray(1, kWriteCommand));
        Sleep(kSettleMs);
        port.RTSEnable(false);
        rtsRaised = false;
        // One octet per write with a pause after each: the device stores the
        // block as it arrives and has no receive buffer to speak of.
        for (const char octet : block->octets) {
            port.Output(QByteArray(1, octet));
            Sleep(kOctetPauseMs);
        }
        port.PortOpen(false);
        openedHere = false;
    } catch (const std::exception& error) {
        if (openedHere) // then MSComm1 is bound
            releasePort(MSComm1(), openedHere, rtsRaised);
        reportLinkFailure(QString::fromUtf8(error.what()));
        return;
    }

    const Others::ParameterTable checkCopy = Others::ParamTable;
    Sleep(kStorePauseMs);
    ReadParameterBlock();
    if (Others::ReadFailed)
        return; // the read has told the operator already

    // Only the table is compared; a device that reports another output
    // value still counts as written, as it always has for this tool.
    if (checkCopy == Others::ParamTable)
        MsgBox(kWriteVerifiedText, MsgIcon::Information, kWriteVerifiedTitle);
    else
        MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
}
