#include "FirstRecordOnlyHandler.h"

#include "core/NumText.h"
#include "core/Others.h"
#include "serial/MSComm.h"
#include "views/Lamp.h"
#include "views/OnLine.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QLocale>
#include <QTimer>

namespace bench {

namespace {

// The box's text as the single-precision number the first design kept.
float boxValue(const QLineEdit* box, const QLocale& locale) {
    return float(parseLocaleNumber(box->text(), locale).value_or(0.0));
}

} // namespace

qint64 FirstRecordOnlyHandler::countedTotal() const {
    qint64 sum = 0;
    for (const qint64 n : counted_)
        sum += n;
    return sum;
}

void FirstRecordOnlyHandler::onComm(MSComm& port) {
    if (port.CommEvent() != comm::kEvReceive)
        return;
    ++runs_;

    QByteArray collected;
    try {
        collected = port.Input();
        ++reads_;
        // At least one more read, even when the first brought the CR, and no
        // pause between reads.
        QElapsedTimer waiting;
        waiting.start();
        do {
            collected += port.Input();
            ++reads_;
            if (waiting.elapsed() > kGiveUpMs) {
                ++abandoned_;
                return;
            }
        } while (!collected.contains('\r'));
    } catch (const comm::CommError&) {
        return; // the line went away; the view reports that itself
    }

    const char code = collected.front();
    if (code < '1' || code > '8')
        return; // a CR left over from a record cut in two, or noise
    count(code - '1');
}

void FirstRecordOnlyHandler::count(int k) {
    const QLocale locale;
    QLineEdit* box = view_.Text1(k);
    if (k >= Others::kInputs) {
        const float total = boxValue(box, locale) + float(Others::OutputParam);
        box->setText(formatWholeOrEmpty(total, locale));
    } else {
        const auto& row = Others::ParamTable[k];
        if (row[Others::kDivisorColumn] == 0)
            return;
        const float increment =
            float(double(row[Others::kNumeratorColumn]) / double(row[Others::kDivisorColumn]));
        const float before = boxValue(box, locale);
        const float total = row[Others::kSignColumn] == 1 ? before + increment : before - increment;
        box->setText(formatTwoDecimals(total, locale));
    }
    view_.Shape1(k)->setFillColor(OnLine::kRed);
    view_.Timer(k)->start();
    ++counted_[k];
}

} // namespace bench
