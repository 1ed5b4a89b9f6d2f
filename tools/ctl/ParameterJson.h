#pragma once
// The parameter set as ktr6ctl prints and reads it: a table for a person and
// one line of JSON that "write" takes back.

#include "protocol/ParameterBlock.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
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

// The set a parameter file describes: validated by editorFieldsFromJson, as
// write takes it, and converted as the write converts it (firmware left
// empty). On failure *error says why, as editorFieldsFromJson does.
std::optional<ParameterSet> parameterSetFromJson(const QByteArray& json, QString* error);

// Where two sets differ, inputs and output (the firmware is not compared):
// one line per field, IN 1 to IN 6 (numerator, divisor, sign), then the
// output, such as "IN 3 divisor: device 30, file 31", "IN 2 sign: device
// minus, file plus", "output: device 5, file 6". Empty when they agree.
QStringList parameterSetDifferences(const ParameterSet& device, const ParameterSet& file);
