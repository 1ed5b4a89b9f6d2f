// ktr6ctl coefficient: the fraction for an amount per impulse.

#include "Commands.h"
#include "CtlRun.h"
#include "commissioning/Coefficient.h"

#include <QLocale>

namespace {

// The shortest text that reads back as the same double, "." in every locale.
QString numberText(double value) {
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
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

} // namespace

int runCoefficient(const CtlOptions& options) {
    QString error;
    const auto amount = parseAmount(options.amount, &error);
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
    const int status = writeOutput(fitText(options, fit).toUtf8());
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
                 .arg(options.amount.trimmed(), QString::number(options.maxNumerator),
                      QString::number(options.maxDivisor), QString::number(fit.numerator),
                      QString::number(fit.divisor), numberText(fit.relativeError), beyond));
    return status;
}
