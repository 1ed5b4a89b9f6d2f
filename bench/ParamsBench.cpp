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
#include <tuple>

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

} // namespace

void benchParams(int repeats) {
    OnlineRig rig;
    startBenchRig(rig);
    // The program's own pause, timed.
    double overshootMs = 0;
    seams::bindSleep([&overshootMs](int ms) {
        QElapsedTimer slept;
        slept.start();
        seams::systemSleep(ms);
        overshootMs += slept.nsecsElapsed() / 1e6 - ms;
    });
    const auto timed = [&overshootMs](const std::function<void()>& transaction) {
        overshootMs = 0;
        QElapsedTimer clock;
        clock.start();
        transaction();
        return Timed{clock.nsecsElapsed() / 1e6, overshootMs};
    };

    QList<Timed> reads;
    QList<Timed> writes;
    // Written values differ from the relay's, so each write really changes what it stores.
    std::array<std::array<int, 3>, 6> written = kBenchRows;
    written[0] = {1, 16, 1};
    for (int r = 0; r < repeats; ++r) {
        reads << timed(ReadParameterBlock);
        if (Others::ReadFailed != Others::False || Others::FirmwareVersion != QLatin1String("6"))
            fail(QStringLiteral("parameter read failed: ") + rig.messages().join('\n'));
        OnlineRig::runUntil([] { return false; }, 50);
    }
    for (int r = 0; r < repeats; ++r) {
        const qsizetype before = rig.messages().size();
        const EditorFields fields = fieldsFor(r % 2 == 0 ? written : kBenchRows, kBenchOutput);
        writes << timed([&fields] { WriteParameterBlock(fields); });
        const QString expected = kWriteVerifiedTitle + QStringLiteral(": ") + kWriteVerifiedText;
        if (rig.messages().size() != before + 1 || rig.messages().last() != expected)
            fail(QStringLiteral("parameter write not verified: ") + rig.messages().join('\n'));
        OnlineRig::runUntil([] { return false; }, 50);
    }
    seams::bindSleep({});

    QList<QStringList> rows;
    for (const auto& [name, fixedMs, runs] :
         {std::tuple{QStringLiteral("Read (`ReadParameterBlock`)"), kReadPausesMs, reads},
          std::tuple{QStringLiteral("Write + read-back (`WriteParameterBlock`)"), kWritePausesMs,
                     writes}}) {
        QList<double> times;
        QList<double> overshoots;
        for (const Timed& run : runs) {
            times << run.ms;
            overshoots << run.overshootMs;
        }
        const double med = median(times);
        const double max = maximum(times);
        rows.append({name, QString::number(times.size()), fixed(fixedMs, 0), fixed(med, 1),
                     fixed(max, 1), fixed(med - fixedMs, 1), fixed(max - fixedMs, 1),
                     fixed(median(overshoots), 1),
                     max - fixedMs < 5 ? QStringLiteral("met") : QStringLiteral("**missed**")});
    }
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
