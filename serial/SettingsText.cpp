#include "SettingsText.h"

#include "core/NumText.h"
#include "serial/MSComm.h"

#include <QList>
#include <limits>

namespace {

constexpr int kFieldCount = 5;

struct Field {
    QByteArray text;
    int line = 0;
};

// Splits the file into fields the way the reader takes them.
QList<Field> splitFields(const QByteArray& text, int wanted) {
    QList<Field> fields;
    int line = 1;
    qsizetype pos = 0;
    const qsizetype size = text.size();
    while (fields.size() < wanted && pos < size) {
        while (pos < size && text[pos] == ' ')
            ++pos;
        Field field;
        field.line = line;
        while (pos < size && text[pos] != ',' && text[pos] != '\r' && text[pos] != '\n')
            field.text += text[pos++];
        if (pos < size && text[pos] == ',') {
            ++pos; // the rest of the line is the next field
        } else if (pos < size) {
            if (text[pos] == '\r')
                ++pos;
            if (pos < size && text[pos] == '\n')
                ++pos;
            ++line;
        }
        fields.append(field);
    }
    return fields;
}

QByteArray valueText(const QByteArray& field, bool portField) {
    const qsizetype equals = field.indexOf('=');
    if (portField)
        return equals >= 0 ? field.mid(equals + 1, 2) : field.left(2);
    return equals >= 0 ? field.mid(equals + 1) : field;
}

} // namespace

SettingsParseResult parseSettingsText(const QByteArray& text) {
    SettingsParseResult result;
    const QList<Field> fields = splitFields(text, kFieldCount);
    if (fields.size() < kFieldCount) {
        result.line = 0;
        result.problem = QStringLiteral("the file has %1 of its 5 entries").arg(fields.size());
        return result;
    }

    struct Range {
        double min;
        double max;
        const char* what;
    };
    const Range ranges[kFieldCount] = {
        {-32768, 32767, "the port number"},
        {comm::kHandshakeFirst, comm::kHandshakeLast, "the handshaking mode (0..3)"},
        {1, 32767, "the baud rate (1..32767)"},
        {double(std::numeric_limits<int32_t>::min()), double(std::numeric_limits<int32_t>::max()),
         "WaitTime (a 32-bit number)"},
        {-32768, 32767, "TimeDelay (-32768..32767)"},
    };

    double numbers[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) {
        const QByteArray value = valueText(fields[i].text, i == 0);
        const double rounded = roundHalfEven(numberFromText(value));
        if (!(rounded >= ranges[i].min && rounded <= ranges[i].max)) {
            result.line = fields[i].line;
            // The operator reads this in a message: a damaged file may hold
            // anything, so control characters become "?" and a long value
            // is cut short.
            constexpr qsizetype kShownMax = 40;
            QString shown = QString::fromLatin1(value).trimmed();
            for (QChar& c : shown) {
                if (!c.isPrint())
                    c = QLatin1Char('?');
            }
            if (shown.size() > kShownMax)
                shown = shown.left(kShownMax) + QStringLiteral("...");
            result.valueText = shown;
            result.problem =
                QStringLiteral("the value does not fit %1").arg(QLatin1String(ranges[i].what));
            return result;
        }
        numbers[i] = rounded;
    }
    result.values =
        PortSettingsValues{int16_t(numbers[0]), int16_t(numbers[1]), int16_t(numbers[2]),
                           int32_t(numbers[3]), int16_t(numbers[4])};
    return result;
}

QByteArray formatSettingsText(const PortSettingsValues& v) {
    auto printForm = [](int64_t value) { return numberText(value) + QLatin1Char(' '); };
    QString text;
    text += QStringLiteral("Port=") + decimalText(v.portNumber) + QStringLiteral("\r\n");
    text += QStringLiteral("Handshaking = ") + printForm(v.handshakeMode) + QStringLiteral("\r\n");
    text += QStringLiteral("BaudRate = ") + printForm(v.baudRate) + QStringLiteral("\r\n");
    text += QStringLiteral("WaitTime = ") + printForm(v.waitTime) + QStringLiteral("\r\n");
    text += QStringLiteral("TimeDelay = ") + printForm(v.timeDelay) + QStringLiteral("\r\n");
    return text.toLatin1();
}
