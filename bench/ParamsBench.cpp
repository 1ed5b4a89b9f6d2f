// The parameter read and write over the pty, against their fixed pauses.

#include "BenchSupport.h"
#include "Benches.h"
#include "OnlineRig.h"
#include "Report.h"

#include "core/Others.h"
#include "core/Seams.h"
#include "protocol/ParameterBlock.h"

#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace bench {

namespace {

constexpr double kReadPausesMs = 200 + 200;
constexpr double kWritePausesMs = 200 + 200 + 26 * 20 + 800 + kReadPausesMs;

EditorFields fieldsFor(const std::array<std::array<int, 3>, 6>& rows, int output) {
    EditorFields fields;
    for (int i = 0; i < Others::kInputs; ++i) {
        fields.numerator[i] = QString::number(rows[i][1]);
        fields.divisor[i] = QString::number(rows[i][2]);
        fields.minus[i] = rows[i][0] != 1;
    }
    fields.output = QString::number(output);
    return fields;
}

// A transaction's wall time, and how much of it the pauses took beyond what they asked for.
struct Timed {
    double ms = 0;
    double overshootMs = 0;
};

// Times transactions and, bound in as the program's own pause, the pauses within them.
class TransactionClock {
public:
    TransactionClock() {
        seams::bindSleep([this](int ms) {
            QElapsedTimer slept;
            slept.start();
            seams::systemSleep(ms);
            overshootMs_ += slept.nsecsElapsed() / 1e6 - ms;
        });
    }
    ~TransactionClock() { seams::bindSleep({}); }
    TransactionClock(const TransactionClock&) = delete;
    TransactionClock& operator=(const TransactionClock&) = delete;

    Timed operator()(const std::function<void()>& transaction) {
        overshootMs_ = 0;
        QElapsedTimer clock;
        clock.start();
        transaction();
        return Timed{clock.nsecsElapsed() / 1e6, overshootMs_};
    }

private:
    double overshootMs_ = 0;
};

struct Transactions {
    QList<Timed> reads;
    QList<Timed> writes;
};

// Reads, then writes, repeats times each; each must succeed (a write verified by its read-back).
Transactions timeTransactions(OnlineRig& rig, int repeats) {
    TransactionClock timed;
    Transactions runs;
    // Written values differ from the relay's, so each write really changes what it stores.
    std::array<std::array<int, 3>, 6> written = kBenchRows;
    written[0] = {1, 16, 1};
    for (int r = 0; r < repeats; ++r) {
        runs.reads << timed(ReadParameterBlock);
        if (Others::ReadFailed != Others::False || Others::FirmwareVersion != QLatin1String("6"))
            fail(QStringLiteral("parameter read failed: ") + rig.messages().join('\n'));
        OnlineRig::runUntil([] { return false; }, 50);
    }
    for (int r = 0; r < repeats; ++r) {
        const qsizetype before = rig.messages().size();
        const EditorFields fields = fieldsFor(r % 2 == 0 ? written : kBenchRows, kBenchOutput);
        runs.writes << timed([&fields] { WriteParameterBlock(fields); });
        const QString expected = kWriteVerifiedTitle + QStringLiteral(": ") + kWriteVerifiedText;
        if (rig.messages().size() != before + 1 || rig.messages().last() != expected)
            fail(QStringLiteral("parameter write not verified: ") + rig.messages().join('\n'));
        OnlineRig::runUntil([] { return false; }, 50);
    }
    return runs;
}

// A transaction's line of the table: its times against its fixed pauses.
QStringList transactionRow(const QString& name, double fixedMs, const QList<Timed>& runs) {
    QList<double> times;
    QList<double> overshoots;
    for (const Timed& run : runs) {
        times << run.ms;
        overshoots << run.overshootMs;
    }
    const double med = median(times);
    const double max = maximum(times);
    return {name,
            QString::number(times.size()),
            fixed(fixedMs, 0),
            fixed(med, 1),
            fixed(max, 1),
            fixed(med - fixedMs, 1),
            fixed(max - fixedMs, 1),
            fixed(median(overshoots), 1),
            max - fixedMs < 5 ? QStringLiteral("met") : QStringLiteral("**missed**")};
}

} // namespace

void benchParams(int repeats) {
    OnlineRig rig;
    startBenchRig(rig);
    const Transactions runs = timeTransactions(rig, repeats);
    const QList<QStringList> rows = {
        transactionRow(QStringLiteral("Read (`ReadParameterBlock`)"), kReadPausesMs, runs.reads),
        transactionRow(QStringLiteral("Write + read-back (`WriteParameterBlock`)"), kWritePausesMs,
                       runs.writes)};
    out() << "## 2. Parameter read and write\n\n"
          << "Wall time of one transaction over the pseudo-terminal against the simulated relay "
             "(real port object, real blocking pauses), measured around the call. Fixed pauses: "
             "read 200 + 200 ms; write 200 + 200 + 26 x 20 + 800 ms plus its read-back's "
             "400 ms. Overhead = measured - fixed; goal < 5 ms (judged on the maximum). *Pauses "
             "overran*: how much longer the blocking pauses (`QThread::msleep`, as the program "
             "pauses) slept than asked, summed over the transaction (median); the rest of the "
             "overhead is port opening and closing, writing, reading and parsing. Each write was "
             "verified by the tool (\"All Parameter writen\").\n\n";
    printTable({QStringLiteral("Transaction"), QStringLiteral("Runs"),
                QStringLiteral("Fixed pauses (ms)"), QStringLiteral("Median (ms)"),
                QStringLiteral("Max (ms)"), QStringLiteral("Overhead median (ms)"),
                QStringLiteral("Overhead max (ms)"), QStringLiteral("Pauses overran (ms)"),
                QStringLiteral("Goal < 5 ms")},
               rows);
}

} // namespace bench
