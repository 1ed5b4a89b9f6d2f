#pragma once
// The settings file's text: five entries (port number, handshaking, baud
// rate, WaitTime and TimeDelay) as the program reads and writes them.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

struct PortSettingsValues {
    int16_t portNumber = 0;
    int16_t handshakeMode = 0;
    int16_t baudRate = 0;
    int32_t waitTime = 0;
    int16_t timeDelay = 0;
    bool operator==(const PortSettingsValues&) const = default;
};

struct SettingsParseResult {
    std::optional<PortSettingsValues> values;
    // When values is empty: the 1-based line of the offending entry (0 when
    // the file ended too soon), the value text and what is wrong with it.
    int line = 0;
    QString valueText;
    QString problem;
};

// Reads the entries by position: a field runs to the end of its line or to a
// comma (the rest of the line is then the next field), blanks in front of a
// field are skipped. Field 1 takes the two characters after "=", fields 2..5
// everything after it; without "=" the field itself. Numbers round half to
// even. Values that do not fit their variable are refused.
SettingsParseResult parseSettingsText(const QByteArray& text);

// The exact bytes the port dialog writes: "Port=3", "Handshaking =  0 ", ...
// each line ended by CR LF.
QByteArray formatSettingsText(const PortSettingsValues& values);
