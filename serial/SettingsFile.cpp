#include "SettingsFile.h"

#include "app/NumText.h"
#include "app/Others.h"
#include "app/Seams.h"
#include "serial/MSComm.h"
#include "serial/PortMap.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <cerrno>
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

QString fileNameForMessages(const QString& dir, const QString& name) {
    return QDir::toNativeSeparators(QDir(dir).absoluteFilePath(name));
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

bool LoadPortSettings() {
    const QString dir = programDirectory();
    const QString readerPath = fileNameForMessages(dir, kSettingsReaderName);
    const QString found = findFileNoCase(dir, kSettingsReaderName);
    QFile file(found);
    if (found.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        if (found.isEmpty() || !file.exists()) {
            MsgBox(QStringLiteral("File ") + readerPath + QStringLiteral(" not found !\n"),
                   MsgIcon::Warning, QStringLiteral("Error"));
        } else {
            MsgBox(QStringLiteral("File ") + fileNameForMessages(dir, QFileInfo(found).fileName()) +
                       QStringLiteral(" cannot be read: ") + file.errorString() + QLatin1Char('\n'),
                   MsgIcon::Warning, QStringLiteral("Error"));
        }
        return false;
    }
    // A settings file is five short lines; anything beyond 64 KiB is not one.
    const QByteArray text = file.read(64 * 1024);
    file.close();

    const SettingsParseResult parsed = parseSettingsText(text);
    if (!parsed.values) {
        const QString where =
            parsed.line > 0 ? QStringLiteral(", line %1").arg(parsed.line) : QString();
        QString message = QStringLiteral("File ") +
                          fileNameForMessages(dir, QFileInfo(found).fileName()) + where +
                          QStringLiteral(": ");
        if (parsed.line > 0)
            message += QStringLiteral("\"%1\": ").arg(parsed.valueText);
        message +=
            parsed.problem + QStringLiteral(".\nCorrect or delete the file and start again.\n");
        MsgBox(message, MsgIcon::Warning, QStringLiteral("Error"));
        return false;
    }

    const PortSettingsValues& v = *parsed.values;
    MSComm& port = MSComm1();
    Others::PortNumber = v.portNumber;
    port.CommPort(Others::PortNumber);
    Others::HandshakeMode = v.handshakeMode;
    port.Handshaking(Others::HandshakeMode);
    Others::BaudRate = v.baudRate;
    port.Settings(decimalText(Others::BaudRate) + QStringLiteral(",N,8,1"));
    Others::WaitTime = v.waitTime;
    Others::TimeDelay = v.timeDelay;
    port.InputMode(0);
    port.DTREnable(false);
    return true;
}

bool writePortSettings(const PortSettingsValues& values, QString* error) {
    const QString dir = programDirectory();
    QString path = findFileNoCase(dir, kSettingsWriterName);
    if (path.isEmpty())
        path = QDir(dir).filePath(kSettingsWriterName);
    QSaveFile file(path);
    const QByteArray bytes = formatSettingsText(values);
    // QSaveFile's commit does not notice a failed final flush (a full disk):
    // flush first so a short write is caught and the old file stays.
    errno = 0;
    const bool written =
        file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
    const int writeErrno = errno;
    if (!written || !file.commit()) {
        if (error) {
            QString reason = file.errorString();
            if (!written && writeErrno != 0)
                reason = qt_error_string(writeErrno);
            *error = QStringLiteral("The settings file %1 could not be written: %2.\n"
                                    "The old settings are unchanged.")
                         .arg(QDir::toNativeSeparators(path), reason);
        }
        file.cancelWriting();
        return false;
    }
    return true;
}
