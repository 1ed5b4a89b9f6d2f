#pragma once
// The parameter set as ktr6ctl prints and reads it: a table for a person and
// one line of JSON that "write" takes back.

#include "protocol/ParameterBlock.h"

#include <QByteArray>
#include <QString>
#include <optional>

// The set the last successful read left in the shared state.
ParameterSet currentParameterSet();

// {"firmware":"6","inputs":[{"numerator":16,"divisor":1,"minus":false},...],
// "output":5} on one line, with its newline. The keys keep this order.
QByteArray parameterSetJson(const ParameterSet& set);

// The firmware variant, one row per input (numerator, divisor, sign and the
// signed amount each impulse counts) and the output value.
QString parameterSetReport(const ParameterSet& set);

// The editor's fields from the JSON above. Every input and the output are
// required, numbers must be whole and fit the block (0..65535, 0..255).
// On failure *error names the offending entry.
std::optional<EditorFields> editorFieldsFromJson(const QByteArray& json, QString* error);

// text as a JSON string, quotes and escapes included.
QByteArray jsonString(const QString& text);
