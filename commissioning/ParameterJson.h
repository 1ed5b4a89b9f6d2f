#pragma once
// The parameter set as ktr6ctl prints and reads it: a table for a person and
// one line of JSON that "write" takes back.

#include "Coefficient.h"
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

// Each input's intended amount per impulse as a parameter file gives it
// (its optional "amount": a text such as "0.1" or "40/400", or a JSON number
// as its shortest text); empty where none is given. Information only.
using PlanAmounts = std::array<QString, Others::kInputs>;

// What an input counts, as a plan may say it: its "label" ("Incomer T1,
// import"), the "unit" of its amount ("kWh", "m³") and the facts the amount
// comes from: "meter_constant", "ct" and "vt" (texts as written, a JSON
// number as its shortest text). Empty where not given.
struct InputMeaning {
    QString label;
    QString unit;
    QString meterConstant;
    QString ct;
    QString vt;
};
using PlanMeanings = std::array<InputMeaning, Others::kInputs>;
inline constexpr int kUnitMaxLength = 16; // characters

// The amount per impulse an input's facts give, exactly; nothing without a
// meter constant. The facts are checked when the plan is read.
std::optional<ExactAmount> factsAmount(const InputMeaning& meaning);

// The editor's fields from the JSON above. Every input and the output are
// required, numbers must be whole and fit the block (0..65535, 0..255); an
// input's "amount", when given, must be an amount coefficient takes (a text
// or a positive number in 1e-9..1e9). On failure *error names the offending
// entry. amounts, when given, receives the inputs' amounts, meanings their
// labels, units and facts. A label is one line of at most kLabelMaxLength
// characters, a unit one of at most kUnitMaxLength; "ct" and "vt" need a
// "meter_constant" and a unit of energy (Wh, kWh, MWh) or none.
std::optional<EditorFields> editorFieldsFromJson(const QByteArray& json, QString* error,
                                                 PlanAmounts* amounts = nullptr,
                                                 PlanMeanings* meanings = nullptr);

// A parameter file as write, diff and commission take it: the editor's
// fields, the set they encode to (firmware as the file names it, else
// empty), the intended amounts and the tolerance they are held to, and
// what each input counts. An input with facts and no "amount" intends the
// amount its facts give (as its shortest decimal text).
struct ParameterPlan {
    EditorFields fields;
    ParameterSet set;
    PlanAmounts amounts;
    PlanMeanings meanings;
    Tolerance tolerance = defaultTolerance();
};
std::optional<ParameterPlan> parameterPlanFromJson(const QByteArray& json, QString* error);

// The set a parameter file describes: validated by editorFieldsFromJson, as
// write takes it, and converted as the write converts it (firmware left
// empty). On failure *error says why, as editorFieldsFromJson does.
std::optional<ParameterSet> parameterSetFromJson(const QByteArray& json, QString* error);

// An input's intended amount, when the plan gives one, held against the
// input's fraction: the relative error |n/d - amount| / amount as
// coefficient defines it, on the exact fraction; none with divisor 0.
struct IntendedAmount {
    QString text;
    std::optional<double> relativeError;
    bool outOfReach = false; // relativeError over the plan's tolerance
};
std::optional<IntendedAmount> intendedAmount(const ParameterPlan& plan, int input);

// A plan's stated amounts are a promise: the first input whose facts give
// another amount than its "amount" (beyond the tolerance), else the first
// input whose fraction
// misses its amount by more than the plan's tolerance (or has divisor 0),
// named with its amount, fraction and relative error and the closest
// fraction within coefficient's default bounds. Empty when every stated
// amount is kept.
QString planAmountProblem(const ParameterPlan& plan);

// The plan in the JSON of read --json, each input with an intended amount
// carrying it as "amount" (a text) and its "relative_error" (a number, null
// with divisor 0) after "minus", then those of "label", "unit",
// "meter_constant", "ct" and "vt" it gives (texts); one line, no newline.
QByteArray parameterPlanJson(const ParameterPlan& plan);

// A JSON string with its quotes; a number as the shortest text that reads
// back as the same double.
QByteArray jsonString(const QString& text);
QByteArray numberJson(double value);

// An input's coefficient as a signed decimal ("-0.25", "0.004578"), or
// "(divisor 0)".
QString coefficientText(const std::array<int32_t, 3>& row);

// Where two sets differ: the firmware variant when the file names one
// ("firmware: device 2x3, file 6"), then one line per field, IN 1 to IN 6
// (numerator, divisor, sign), then the output, such as "IN 3 divisor: device 30, file 31", "IN 2
// sign: device minus, file plus", "output: device 5, file 6". Empty when they agree.
QStringList parameterSetDifferences(const ParameterSet& device, const ParameterSet& file);

// A plan that names a firmware variant the device does not have: why it is
// not written, naming both ("the plan is for firmware SW 6, the device has
// SW 2x3"). Empty when the plan names none or the device's.
QString firmwareMismatch(const ParameterSet& device, const ParameterSet& plan);
