// ktr6ctl coefficient: the fraction for an amount per impulse.

#include "Commands.h"
#include "CtlRun.h"
#include "commissioning/Coefficient.h"
#include "commissioning/ParameterJson.h"

#include <QLocale>

namespace {

// The shortest text that reads back as the same double, "." in every locale.
QString numberText(double value) {
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// The meter's facts as a plan's input takes them: "unit", "meter_constant",
// "ct", "vt", each when given.
QString factsJson(const CtlOptions::Facts& facts) {
    QString json;
    for (const auto& [key, text] :
         {std::pair{"unit", &facts.unit}, std::pair{"meter_constant", &facts.meterConstant},
          std::pair{"ct", &facts.ct}, std::pair{"vt", &facts.vt}})
        if (!text->isEmpty())
            json += QStringLiteral(",\"%1\":").arg(QLatin1String(key)) +
                    QString::fromUtf8(jsonString(text->trimmed()));
    return json;
}

// What the meter constant counts impulses per: kWh for an amount of energy
// (a transformer ratio without a unit included), else the amount's unit.
QString registerUnit(const CtlOptions::Facts& facts) {
    const QString unit = meterConstantUnit(facts.unit, !facts.ct.isEmpty() || !facts.vt.isEmpty());
    return unit.isEmpty() ? QStringLiteral("unit") : unit;
}

// The facts and the amount they give, then the fraction: as for an amount,
// and --json prints a plan's input.
QString factsFitText(const CtlOptions& options, const QString& amount, const FractionFit& fit) {
    const CtlOptions::Facts& facts = options.facts;
    if (options.json)
        return QStringLiteral(
                   "{\"numerator\":%1,\"divisor\":%2,\"minus\":false,\"amount\":\"%3\"%4}\n")
            .arg(QString::number(fit.numerator), QString::number(fit.divisor), amount,
                 factsJson(facts));
    const QString unit = facts.unit.isEmpty() ? QString() : QLatin1Char(' ') + facts.unit;
    QString text = QStringLiteral("Meter constant  %1 per %2\n")
                       .arg(facts.meterConstant.trimmed(), registerUnit(facts));
    if (!facts.ct.isEmpty())
        text += QStringLiteral("CT              %1\n").arg(facts.ct.trimmed());
    if (!facts.vt.isEmpty())
        text += QStringLiteral("VT              %1\n").arg(facts.vt.trimmed());
    return text + QStringLiteral("Amount          %1%2\nNumerator       %3\nDivisor         %4\n"
                                 "Value           %5\nRelative error  %6\n")
                      .arg(amount, unit, QString::number(fit.numerator),
                           QString::number(fit.divisor), numberText(fit.value),
                           numberText(fit.relativeError));
}

QString fitText(const CtlOptions& options, const FractionFit& fit) {
    const QString numerator = QString::number(fit.numerator);
    const QString divisor = QString::number(fit.divisor);
    if (options.json)
        return QStringLiteral(
                   "{\"numerator\":%1,\"divisor\":%2,\"value\":%3,\"relative_error\":%4}\n")
            .arg(numerator, divisor, numberText(fit.value), numberText(fit.relativeError));
    return QStringLiteral("Amount          %1\nNumerator       %2\nDivisor         %3\n"
                          "Value           %4\nRelative error  %5\n")
        .arg(options.amount.trimmed(), numerator, divisor, numberText(fit.value),
             numberText(fit.relativeError));
}

// The amount the command line gives: AMOUNT, or the meter's facts (all
// checked when the command line was read); *text is the amount as shown.
std::optional<ExactAmount> givenAmount(const CtlOptions& options, QString* text, QString* error) {
    const CtlOptions::Facts& facts = options.facts;
    if (facts.meterConstant.isEmpty()) {
        if (!facts.ct.isEmpty() || !facts.vt.isEmpty() || !facts.unit.isEmpty()) {
            *error = QStringLiteral("--ct, --vt and --unit go with --meter-constant");
            return std::nullopt;
        }
        *text = options.amount.trimmed();
        return parseAmount(options.amount, error);
    }
    const auto amount = amountFromFacts(MeterFacts{*parseAmount(facts.meterConstant, nullptr),
                                                   parseAmount(facts.ct, nullptr),
                                                   parseAmount(facts.vt, nullptr), facts.unit},
                                        error);
    if (amount)
        *text = numberText(amount->toDouble());
    return amount;
}

} // namespace

int runCoefficient(const CtlOptions& options) {
    QString error;
    QString amountText;
    const auto amount = givenAmount(options, &amountText, &error);
    if (!amount) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }
    // Checked when the command line was read.
    const Tolerance tolerance = options.tolerance.isEmpty()
                                    ? defaultTolerance()
                                    : *parseTolerance(options.tolerance, nullptr);
    const auto maxNumerator = uint32_t(options.maxNumerator);
    const auto maxDivisor = uint32_t(options.maxDivisor);
    const FractionFit fit = bestFraction(*amount, maxNumerator, maxDivisor, tolerance);
    const bool fromFacts = !options.facts.meterConstant.isEmpty();
    const int status = writeOutput(
        (fromFacts ? factsFitText(options, amountText, fit) : fitText(options, fit)).toUtf8());
    if (!fit.outOfReach)
        return status;
    QString beyond;
    if (const auto wide = fractionBeyondNumerator(*amount, maxNumerator, maxDivisor, tolerance))
        beyond = QStringLiteral(" With --max-numerator %1 (the device takes numerators up to "
                                "%1), %2/%3 meets the tolerance %4: a relative error of %5.")
                     .arg(QString::number(kCoefficientLimit), QString::number(wide->numerator),
                          QString::number(wide->divisor), tolerance.text,
                          numberText(wide->relativeError));
    printErr(QStringLiteral("ktr6ctl: warning: %1 is out of the device's reach with numerators "
                            "1..%2 and divisors 1..%3: the closest fraction, %4/%5, is off by "
                            "a relative error of %6.%7")
                 .arg(amountText, QString::number(options.maxNumerator),
                      QString::number(options.maxDivisor), QString::number(fit.numerator),
                      QString::number(fit.divisor), numberText(fit.relativeError), beyond));
    return status;
}
