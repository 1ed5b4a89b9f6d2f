#include "ParameterJson.h"

#include "Coefficient.h"
#include "Record.h"
#include "core/NumText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSet>
#include <cmath>
#include <functional>

namespace {

bool isMinus(const std::array<int32_t, 3>& row) {
    return row[Others::kSignColumn] != 1;
}

// Checks one object's keys against the known ones.
bool onlyKnownKeys(const QJsonObject& object, const QSet<QString>& known, const QString& where,
                   QString* error) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key())) {
            *error = QStringLiteral("%1unknown entry \"%2\"").arg(where, it.key());
            return false;
        }
    }
    return true;
}

std::optional<int> wholeNumber(const QJsonObject& object, const QString& key, int maximum,
                               const QString& name, QString* error) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined()) {
        *error = QStringLiteral("%1 is missing").arg(name);
        return std::nullopt;
    }
    if (!value.isDouble()) {
        *error = QStringLiteral("%1 must be a number").arg(name);
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (std::floor(number) != number) {
        *error =
            QStringLiteral("%1 must be a whole number, not %2").arg(name, QString::number(number));
        return std::nullopt;
    }
    if (number < 0 || number > maximum) {
        *error = QStringLiteral("%1 is %2, outside 0..%3")
                     .arg(name, QString::number(number, 'f', 0), QString::number(maximum));
        return std::nullopt;
    }
    return int(number);
}

// An input's "amount": a text as coefficient reads it, or a JSON number
// taken as its shortest text (0.1 stays "0.1"); checked as coefficient checks
// an amount. null counts as not given.
bool readAmount(const QJsonObject& input, const QString& name, QString* text, QString* error,
                const char* key = "amount") {
    const QJsonValue value = input.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return true;
    if (value.isString())
        *text = value.toString();
    else if (value.isDouble())
        *text = QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    else {
        *error = QStringLiteral("%1 must be a text such as \"0.1\" or \"40/400\", or a number")
                     .arg(name);
        return false;
    }
    QString why;
    if (!parseAmount(*text, &why)) {
        *error = QStringLiteral("%1: %2").arg(name, why);
        return false;
    }
    return true;
}

// An input's "label" or "unit": one line of text, blanks around it dropped.
bool readText(const QJsonObject& input, const char* key, int maxLength, const QString& name,
              QString* text, QString* error) {
    const QJsonValue value = input.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString()) {
        *error = QStringLiteral("%1 must be a text").arg(name);
        return false;
    }
    *text = value.toString().trimmed();
    *error = labelProblem(name, *text);
    if (error->isEmpty() && text->toUcs4().size() > maxLength)
        *error = QStringLiteral("%1 is %2 characters long; at most %3 fit the record")
                     .arg(name, QString::number(text->toUcs4().size()), QString::number(maxLength));
    return error->isEmpty();
}

// An input's label, unit and facts; the facts must give an amount.
bool readMeaning(const QJsonObject& input, const QString& where, InputMeaning* meaning,
                 QString* error) {
    if (!readText(input, "label", kLabelMaxLength, where + QStringLiteral(" label"),
                  &meaning->label, error) ||
        !readText(input, "unit", kUnitMaxLength, where + QStringLiteral(" unit"), &meaning->unit,
                  error))
        return false;
    const std::pair<const char*, QString*> facts[] = {
        {"meter_constant", &meaning->meterConstant}, {"ct", &meaning->ct}, {"vt", &meaning->vt}};
    for (const auto& [key, text] : facts) {
        if (!readAmount(input, where + QLatin1Char(' ') + QLatin1String(key), text, error, key))
            return false;
    }
    if (meaning->meterConstant.isEmpty()) {
        if (meaning->ct.isEmpty() && meaning->vt.isEmpty())
            return true;
        *error = where + QStringLiteral(": \"ct\" and \"vt\" need a \"meter_constant\"");
        return false;
    }
    QString why;
    if (!amountFromFacts(MeterFacts{*parseAmount(meaning->meterConstant, nullptr),
                                    parseAmount(meaning->ct, nullptr),
                                    parseAmount(meaning->vt, nullptr), meaning->unit},
                         &why)) {
        *error = where + QStringLiteral(": ") + why;
        return false;
    }
    return true;
}

// The set as read --json prints it, without the newline; inputExtra(i) is
// added to input i's object after its "minus".
QByteArray setJson(const ParameterSet& set, const std::function<QByteArray(int)>& inputExtra) {
    QByteArray json = "{\"firmware\":" + jsonString(set.firmwareVersion) + ",\"inputs\":[";
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto& row = set.table[i];
        if (i > 0)
            json += ',';
        json += "{\"numerator\":" + QByteArray::number(row[Others::kNumeratorColumn]) +
                ",\"divisor\":" + QByteArray::number(row[Others::kDivisorColumn]) +
                ",\"minus\":" + (isMinus(row) ? "true" : "false") + inputExtra(i) + '}';
    }
    return json + "],\"output\":" + QByteArray::number(set.output) + '}';
}

} // namespace

QString coefficientText(const std::array<int32_t, 3>& row) {
    if (row[Others::kDivisorColumn] == 0)
        return QStringLiteral("(divisor 0)");
    double value = double(row[Others::kNumeratorColumn]) / row[Others::kDivisorColumn];
    if (isMinus(row))
        value = -value;
    return fixedTrimmed(value, 6);
}

ParameterSet currentParameterSet() {
    return {Others::FirmwareVersion, Others::ParamTable, Others::OutputParam};
}

QByteArray parameterSetJson(const ParameterSet& set) {
    return setJson(set, [](int) { return QByteArray(); }) + '\n';
}

QByteArray jsonString(const QString& text) {
    // QJsonDocument escapes; the array brackets around it are cut off again.
    const QByteArray wrapped = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

QByteArray numberJson(double value) {
    return QString::number(value, 'g', QLocale::FloatingPointShortest).toUtf8();
}

QString parameterSetReport(const ParameterSet& set) {
    QString text = QStringLiteral("Firmware     SW %1\n").arg(set.firmwareVersion);
    text += QStringLiteral("Input   Numerator  Divisor  Sign  Per impulse\n");
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto& row = set.table[i];
        text +=
            QStringLiteral("IN %1  %2  %3  %4  %5\n")
                .arg(QString::number(i + 1),
                     QString::number(row[Others::kNumeratorColumn]).rightJustified(11),
                     QString::number(row[Others::kDivisorColumn]).rightJustified(7),
                     QString(isMinus(row) ? QLatin1Char('-') : QLatin1Char('+')).rightJustified(4),
                     coefficientText(row).rightJustified(11));
    }
    text += QStringLiteral("Output       %1\n").arg(set.output);
    return text;
}

namespace {

// The document's one object, its keys known and its "inputs" a list of six.
std::optional<QJsonObject> parameterObject(const QByteArray& json, QString* problem) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull()) {
        *problem = QStringLiteral("not valid JSON (%1 at character %2)")
                       .arg(parseError.errorString(), QString::number(parseError.offset + 1));
        return std::nullopt;
    }
    if (!document.isObject()) {
        *problem = QStringLiteral("the parameter set must be one JSON object");
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    if (!onlyKnownKeys(root, {"firmware", "inputs", "output"}, QString(), problem))
        return std::nullopt;
    const QJsonValue inputs = root.value(QLatin1String("inputs"));
    if (inputs.isUndefined()) {
        *problem = QStringLiteral("\"inputs\" is missing");
        return std::nullopt;
    }
    if (!inputs.isArray() || inputs.toArray().size() != Others::kInputs) {
        *problem = QStringLiteral("\"inputs\" must be a list of six inputs, IN 1 to IN 6");
        return std::nullopt;
    }
    return root;
}

// Input i of the "inputs" list into the fields, its amount (if given) into
// *amount.
bool readInput(const QJsonValue& value, int i, EditorFields* fields, QString* amount,
               InputMeaning* meaning, QString* problem) {
    const QString where =
        QStringLiteral("inputs[%1] (IN %2)").arg(QString::number(i), QString::number(i + 1));
    if (!value.isObject()) {
        *problem = where + QStringLiteral(" must be an object");
        return false;
    }
    const QJsonObject input = value.toObject();
    if (!onlyKnownKeys(input,
                       {"numerator", "divisor", "minus", "amount", "label", "unit",
                        "meter_constant", "ct", "vt"},
                       where + QStringLiteral(": "), problem))
        return false;
    const auto numerator = wholeNumber(input, QStringLiteral("numerator"), 65535,
                                       where + QStringLiteral(" numerator"), problem);
    if (!numerator)
        return false;
    const auto divisor = wholeNumber(input, QStringLiteral("divisor"), 65535,
                                     where + QStringLiteral(" divisor"), problem);
    if (!divisor)
        return false;
    const QJsonValue minus = input.value(QLatin1String("minus"));
    if (!minus.isBool()) {
        *problem = where + QStringLiteral(" minus must be true or false");
        return false;
    }
    if (!readAmount(input, where + QStringLiteral(" amount"), amount, problem) ||
        !readMeaning(input, where, meaning, problem))
        return false;
    fields->numerator[i] = QString::number(*numerator);
    fields->divisor[i] = QString::number(*divisor);
    fields->minus[i] = minus.toBool();
    return true;
}

} // namespace

std::optional<EditorFields> editorFieldsFromJson(const QByteArray& json, QString* error,
                                                 PlanAmounts* amounts, PlanMeanings* meanings) {
    QString problem;
    auto fail = [&]() {
        if (error)
            *error = problem;
        return std::nullopt;
    };
    const std::optional<QJsonObject> root = parameterObject(json, &problem);
    if (!root)
        return fail();
    EditorFields fields;
    PlanAmounts given;
    PlanMeanings said;
    const QJsonArray list = root->value(QLatin1String("inputs")).toArray();
    for (int i = 0; i < Others::kInputs; ++i) {
        if (!readInput(list[i], i, &fields, &given[i], &said[i], &problem))
            return fail();
    }
    const auto output =
        wholeNumber(*root, QStringLiteral("output"), 255, QStringLiteral("\"output\""), &problem);
    if (!output)
        return fail();
    fields.output = QString::number(*output);
    if (amounts)
        *amounts = given;
    if (meanings)
        *meanings = said;
    return fields;
}

std::optional<ParameterPlan> parameterPlanFromJson(const QByteArray& json, QString* error) {
    ParameterPlan plan;
    const auto fields = editorFieldsFromJson(json, error, &plan.amounts, &plan.meanings);
    if (!fields)
        return std::nullopt;
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto fromFacts = factsAmount(plan.meanings[i]);
        if (plan.amounts[i].isEmpty() && fromFacts)
            plan.amounts[i] = QString::fromLatin1(numberJson(fromFacts->toDouble()));
    }
    const auto block = encodeWriteBlock(*fields, error);
    if (!block)
        return std::nullopt;
    plan.fields = *fields;
    plan.set.table = block->table;
    plan.set.output = uint8_t(block->octets[kWriteBlockSize - 1]);
    // Checked above: the document is an object.
    const QJsonValue firmware =
        QJsonDocument::fromJson(json).object().value(QLatin1String("firmware"));
    plan.set.firmwareVersion = firmware.toString();
    return plan;
}

std::optional<ParameterSet> parameterSetFromJson(const QByteArray& json, QString* error) {
    auto plan = parameterPlanFromJson(json, error);
    if (!plan)
        return std::nullopt;
    plan->set.firmwareVersion.clear();
    return plan->set;
}

std::optional<ExactAmount> factsAmount(const InputMeaning& meaning) {
    const auto meterConstant = parseAmount(meaning.meterConstant, nullptr);
    if (!meterConstant)
        return std::nullopt;
    return amountFromFacts(MeterFacts{*meterConstant, parseAmount(meaning.ct, nullptr),
                                      parseAmount(meaning.vt, nullptr), meaning.unit},
                           nullptr);
}

std::optional<IntendedAmount> intendedAmount(const ParameterPlan& plan, int input) {
    const QString& text = plan.amounts[input];
    const auto amount = parseAmount(text, nullptr);
    if (text.isEmpty() || !amount)
        return std::nullopt;
    const auto& row = plan.set.table[input];
    IntendedAmount intended{text, std::nullopt, false};
    if (row[Others::kDivisorColumn] != 0) {
        const FractionFit fit = fitFraction(*amount, uint32_t(row[Others::kNumeratorColumn]),
                                            uint32_t(row[Others::kDivisorColumn]), plan.tolerance);
        intended.relativeError = fit.relativeError;
        intended.outOfReach = fit.outOfReach;
    }
    return intended;
}

QByteArray parameterPlanJson(const ParameterPlan& plan) {
    return setJson(plan.set, [&plan](int input) {
        const auto intended = intendedAmount(plan, input);
        if (!intended)
            return QByteArray();
        QByteArray json = ",\"amount\":" + jsonString(intended->text) + ",\"relative_error\":" +
                          (intended->relativeError ? numberJson(*intended->relativeError) : "null");
        const InputMeaning& meaning = plan.meanings[input];
        for (const auto& [key, text] :
             {std::pair{"label", &meaning.label}, std::pair{"unit", &meaning.unit},
              std::pair{"meter_constant", &meaning.meterConstant}, std::pair{"ct", &meaning.ct},
              std::pair{"vt", &meaning.vt}})
            if (!text->isEmpty())
                json += ",\"" + QByteArray(key) + "\":" + jsonString(*text);
        return json;
    });
}

QStringList parameterSetDifferences(const ParameterSet& device, const ParameterSet& file) {
    QStringList lines;
    auto differ = [&](const QString& field, const QString& onDevice, const QString& inFile) {
        if (onDevice != inFile)
            lines << QStringLiteral("%1: device %2, file %3").arg(field, onDevice, inFile);
    };
    auto sign = [](const std::array<int32_t, 3>& row) {
        return isMinus(row) ? QStringLiteral("minus") : QStringLiteral("plus");
    };
    if (!file.firmwareVersion.isEmpty())
        differ(QStringLiteral("firmware"), device.firmwareVersion, file.firmwareVersion);
    for (int i = 0; i < Others::kInputs; ++i) {
        const QString input = QStringLiteral("IN %1 ").arg(i + 1);
        const auto& ours = device.table[i];
        const auto& theirs = file.table[i];
        for (const auto& [column, name] : {std::pair{Others::kNumeratorColumn, "numerator"},
                                           std::pair{Others::kDivisorColumn, "divisor"}})
            differ(input + QLatin1String(name), QString::number(ours[column]),
                   QString::number(theirs[column]));
        differ(input + QStringLiteral("sign"), sign(ours), sign(theirs));
    }
    differ(QStringLiteral("output"), QString::number(device.output), QString::number(file.output));
    return lines;
}

QString firmwareMismatch(const ParameterSet& device, const ParameterSet& plan) {
    if (plan.firmwareVersion.isEmpty() || plan.firmwareVersion == device.firmwareVersion)
        return {};
    return QStringLiteral("the plan is for firmware SW %1, the device has SW %2")
        .arg(plan.firmwareVersion, device.firmwareVersion);
}

namespace {

// "86/1 (a relative error of 0.0007272727272727272)".
QString fitText(const FractionFit& fit) {
    return QStringLiteral("%1/%2 (a relative error of %3)")
        .arg(QString::number(fit.numerator), QString::number(fit.divisor),
             QString::fromLatin1(numberJson(fit.relativeError)));
}

// The closest fraction within coefficient's default bounds, and the one
// with a larger numerator when only that meets the tolerance.
QString closestText(const ExactAmount& amount, const Tolerance& tolerance) {
    QString text =
        QStringLiteral("the closest fraction with numerators 1..%1 and divisors 1..%2 "
                       "is %3")
            .arg(
                QString::number(kDefaultMaxNumerator), QString::number(kDefaultMaxDivisor),
                fitText(bestFraction(amount, kDefaultMaxNumerator, kDefaultMaxDivisor, tolerance)));
    if (const auto wide =
            fractionBeyondNumerator(amount, kDefaultMaxNumerator, kDefaultMaxDivisor, tolerance))
        text += QStringLiteral(", with numerators up to %1 it is %2")
                    .arg(QString::number(kCoefficientLimit), fitText(*wide));
    return text;
}

// The first input whose facts and stated amount disagree.
QString factsProblem(const ParameterPlan& plan) {
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto fromFacts = factsAmount(plan.meanings[i]);
        const auto stated = parseAmount(plan.amounts[i], nullptr);
        if (!fromFacts || !stated || !differBeyond(*stated, *fromFacts, plan.tolerance))
            continue;
        const double error =
            std::abs(stated->toDouble() - fromFacts->toDouble()) / fromFacts->toDouble();
        return QStringLiteral("inputs[%1] (IN %2): the stated amount \"%3\" is off the amount "
                              "its meter facts give, %4, by a relative error of %5, over the "
                              "tolerance %6")
            .arg(QString::number(i), QString::number(i + 1), plan.amounts[i].trimmed(),
                 QString::fromLatin1(numberJson(fromFacts->toDouble())),
                 QString::fromLatin1(numberJson(error)), plan.tolerance.text);
    }
    return {};
}

} // namespace

QString planAmountProblem(const ParameterPlan& plan) {
    if (const QString problem = factsProblem(plan); !problem.isEmpty())
        return problem;
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto intended = intendedAmount(plan, i);
        if (!intended || (intended->relativeError && !intended->outOfReach))
            continue;
        const auto& row = plan.set.table[i];
        const QString off =
            intended->relativeError
                ? QStringLiteral("is off by a relative error of %1")
                      .arg(QString::fromLatin1(numberJson(*intended->relativeError)))
                : QStringLiteral("counts nothing (divisor 0)");
        return QStringLiteral("inputs[%1] (IN %2): the fraction %3/%4 for the stated amount \"%5\" "
                              "%6, over the tolerance %7; %8")
            .arg(QString::number(i), QString::number(i + 1),
                 QString::number(row[Others::kNumeratorColumn]),
                 QString::number(row[Others::kDivisorColumn]), intended->text.trimmed(), off,
                 plan.tolerance.text,
                 closestText(*parseAmount(intended->text, nullptr), plan.tolerance));
    }
    return {};
}
