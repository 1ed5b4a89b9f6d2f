// Records through the real port object and the on-line view, against the first
// design that kept one record per notification.

#include "BenchSupport.h"
#include "Benches.h"
#include "FirstRecordOnlyHandler.h"
#include "OnlineRig.h"
#include "Report.h"

#include "core/Others.h"
#include "serial/MSComm.h"
#include "views/OnLine.h"

#include <QElapsedTimer>
#include <QLineEdit>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

namespace bench {

namespace {

// Operators notice a window that does not answer from about this long.
constexpr double kNoticeableStallMs = 100;
// A run that has not settled by then is reported as timed out.
constexpr int kRunTimeoutMs = 120000;

double amountPerRecord(int k) {
    if (k >= Others::kInputs)
        return kBenchOutput;
    const auto& row = kBenchRows[k];
    const double amount = double(row[1]) / row[2];
    return row[0] == 1 ? amount : -amount;
}

enum class Feed {
    Unthrottled, // the relay's stream as fast as the pty takes it
    Even,        // records spaced evenly at the line's rate, channels in turn
    RateSetting, // the relay's own per-channel rates: the eight channels fall due together
};

enum class Design { Current, FirstRecordOnly };

struct LoadPlan {
    Design design;
    Feed feed;
    double rate = 0;    // records/s over all channels (Even, RateSetting)
    qint64 records = 0; // Unthrottled
    double seconds = 0; // Even, RateSetting
    QString lineName;   // which line limit the rate stands for
};

struct LoadResult {
    qint64 sent = 0;
    qint64 counted = 0;
    std::array<qint64, kChannels> sentPerChannel{};
    std::array<qint64, kChannels> countedPerChannel{};
    double seconds = 0; // first record asked for .. last record counted
    double worstStallMs = 0;
    qint64 relayDropped = 0;
    bool finished = false;
    bool totalsExact = false; // every box shows exactly what its sent records add up to
};

// Hands the relay one record at a time from its own thread, evenly spaced, the channels
// taking turns: what a line at its limit delivers.
class EvenPacer {
public:
    EvenPacer(ktr6sim::SimDevice& sim, double rate, qint64 count)
        : thread_([this, &sim, rate, count] {
              const auto start = std::chrono::steady_clock::now();
              const std::chrono::duration<double> period(1.0 / rate);
              for (qint64 i = 0; i < count && !stop_.load(); ++i) {
                  std::this_thread::sleep_until(
                      start + std::chrono::duration_cast<std::chrono::nanoseconds>(period * i));
                  sim.sendRecords(int(i % kChannels) + 1, 1);
              }
              done_.store(true);
          }) {}
    ~EvenPacer() {
        stop_.store(true);
        thread_.join();
    }
    bool done() const { return done_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::array<qint64, kChannels> countedInView(const OnLine& view) {
    std::array<qint64, kChannels> counted{};
    const QLocale locale;
    for (int k = 0; k < kChannels; ++k)
        counted[k] = recordsInTotal(view.Text1(k)->text(), amountPerRecord(k), locale).value_or(-1);
    return counted;
}

qint64 sum(const std::array<qint64, kChannels>& values) {
    qint64 total = 0;
    for (const qint64 v : values)
        total += v;
    return total;
}

// Starts the plan's feed; an even one runs on the returned pacer's thread.
std::unique_ptr<EvenPacer> startFeed(ktr6sim::SimDevice& sim, const LoadPlan& plan) {
    ktr6sim::StreamConfig stream;
    switch (plan.feed) {
    case Feed::Unthrottled:
        for (int channel = 1; channel <= kChannels; ++channel)
            stream.rates[channel] = 0.0;
        stream.countLimit = plan.records;
        sim.startStream(stream);
        break;
    case Feed::Even:
        return std::make_unique<EvenPacer>(sim, plan.rate,
                                           qint64(std::llround(plan.rate * plan.seconds)));
    case Feed::RateSetting:
        for (int channel = 1; channel <= kChannels; ++channel)
            stream.rates[channel] = plan.rate / kChannels;
        sim.startStream(stream);
        break;
    }
    return nullptr;
}

// Whether the relay has written all the plan asks of it; a rate-setting feed
// is stopped here once its time is up.
bool feedDone(OnlineRig& rig, const LoadPlan& plan, const EvenPacer* pacer,
              const QElapsedTimer& clock) {
    ktr6sim::SimDevice& sim = rig.sim();
    switch (plan.feed) {
    case Feed::Unthrottled:
        return rig.tally().total() >= plan.records;
    case Feed::Even:
        return pacer->done();
    case Feed::RateSetting:
        if (clock.elapsed() >= qint64(plan.seconds * 1000) && sim.streaming())
            sim.stopStream();
        return !sim.streaming();
    }
    return true;
}

// When a run is over: every record sent has been counted, or, for a design
// that loses records and never catches up, nothing has moved for a second
// after the relay stopped.
struct RunEnd {
    qint64 lastCount = -1;
    qint64 lastChangeNs = 0; // when the count last moved
    qint64 feedDoneNs = -1;  // when the relay was seen done, -1 before

    template <typename FeedDone, typename Sent>
    bool reached(qint64 now, qint64 count, FeedDone feedDone, Sent sent) {
        if (count != lastCount) {
            lastCount = count;
            lastChangeNs = now;
        }
        if (feedDoneNs < 0 && feedDone())
            feedDoneNs = now;
        if (feedDoneNs < 0)
            return false;
        if (count == sent())
            return true;
        return now - std::max(lastChangeNs, feedDoneNs) > 1000000000LL;
    }
};

LoadResult runLoad(OnlineRig& rig, const LoadPlan& plan,
                   const std::function<std::array<qint64, kChannels>()>& counted) {
    LoadResult result;
    // The relay keeps quiet for a moment after answering the view's parameter read.
    OnlineRig::runUntil([] { return false; }, 400);

    ktr6sim::SimDevice& sim = rig.sim();
    const qint64 droppedBefore = sim.counters().recordsDropped;
    StallProbe probe;
    QElapsedTimer clock;
    rig.tally().start();
    probe.start();
    clock.start();
    const std::unique_ptr<EvenPacer> pacer = startFeed(sim, plan);

    RunEnd end;
    result.finished = OnlineRig::runUntil(
        [&] {
            const qint64 now = clock.nsecsElapsed();
            const qint64 count = sum(counted());
            return end.reached(
                now, count, [&] { return feedDone(rig, plan, pacer.get(), clock); },
                [&] { return rig.tally().total(); });
        },
        kRunTimeoutMs, 2);
    probe.stop();
    rig.tally().stop();

    result.sentPerChannel = rig.tally().perChannel();
    result.countedPerChannel = counted();
    result.sent = sum(result.sentPerChannel);
    result.counted = sum(result.countedPerChannel);
    result.seconds = end.lastChangeNs / 1e9;
    result.worstStallMs = probe.worstLatenessMs();
    result.relayDropped = sim.counters().recordsDropped - droppedBefore;
    result.totalsExact = result.sentPerChannel == result.countedPerChannel;
    return result;
}

QString designName(Design design) {
    return design == Design::Current ? QStringLiteral("current (`OnLine::onComm`)")
                                     : QStringLiteral("first record only (first design)");
}

QString loadName(const LoadPlan& plan) {
    switch (plan.feed) {
    case Feed::Unthrottled:
        return QStringLiteral("%1 records, as fast as the relay writes").arg(grouped(plan.records));
    case Feed::Even:
        return QStringLiteral("%1 records/s for %2 s, evenly spaced (%3 line)")
            .arg(fixed(plan.rate, 0), QString::number(plan.seconds), plan.lineName);
    case Feed::RateSetting:
        return QStringLiteral("%1 records/s for %2 s, relay rate setting (%3 line)")
            .arg(fixed(plan.rate, 0), QString::number(plan.seconds), plan.lineName);
    }
    return {};
}

LoadResult measure(OnlineRig& rig, const LoadPlan& plan,
                   const std::function<void(FirstRecordOnlyHandler*)>& useHandler) {
    LoadResult result;
    const bool shown = rig.withStatusView([&](OnLine& view) {
        if (plan.design == Design::Current) {
            result = runLoad(rig, plan, [&view] { return countedInView(view); });
            return;
        }
        FirstRecordOnlyHandler handler(view);
        useHandler(&handler);
        result = runLoad(rig, plan, [&handler] {
            std::array<qint64, kChannels> counted{};
            for (int k = 0; k < kChannels; ++k)
                counted[k] = handler.counted(k);
            return counted;
        });
        useHandler(nullptr);
    });
    if (!shown)
        fail(QStringLiteral("the on-line view did not open: ") +
             rig.messages().join(QLatin1Char('\n')));
    return result;
}

// What the report says of the current design over all its runs.
struct CurrentDesignSummary {
    double unthrottledRate = 0; // records/s counted with the relay at full speed
    double worstStallMs = 0;
    bool allExact = true;
};

// Each design in turn: full speed, then each line's rate evenly spaced and by the relay's
// rate setting.
QList<LoadPlan> onlinePlans(qint64 records, double seconds,
                            const std::pair<double, QString> (&lines)[2]) {
    QList<LoadPlan> plans;
    for (const Design design : {Design::Current, Design::FirstRecordOnly}) {
        plans.append({design, Feed::Unthrottled, 0, records, 0, {}});
        for (const auto& [rate, line] : lines) {
            plans.append({design, Feed::Even, rate, 0, seconds, line});
            plans.append({design, Feed::RateSetting, rate, 0, seconds, line});
        }
    }
    return plans;
}

// One run's line of the table.
QStringList resultRow(Design design, const LoadPlan& plan, const LoadResult& r, double rate) {
    const qint64 lost = r.sent - r.counted;
    QString lostText = grouped(lost);
    if (r.sent > 0)
        lostText += QStringLiteral(" (%1 %)").arg(fixed(100.0 * lost / r.sent, 1));
    QString exact = design == Design::Current
                        ? (r.totalsExact ? QStringLiteral("yes") : QStringLiteral("**no**"))
                        : QStringLiteral("n/a");
    if (!r.finished)
        exact += QStringLiteral(" (timed out)");
    QString load = loadName(plan);
    if (r.relayDropped != 0)
        load += QStringLiteral(" (the relay dropped %1)").arg(r.relayDropped);
    return {designName(design),
            load,
            grouped(r.sent),
            grouped(r.counted),
            lostText,
            fixed(r.seconds, 2),
            grouped(qint64(std::llround(rate))),
            fixed(r.worstStallMs, 1),
            exact};
}

// Runs the design's plans, appending a line to rows for each; the current design's runs
// go into summary.
void runDesign(Design design, const QList<LoadPlan>& plans, QList<QStringList>& rows,
               CurrentDesignSummary& summary) {
    // A rig of its own per design (the seams are program-wide, so one at a time): the first
    // design's handler takes the port's notifications away from the main window for good.
    OnlineRig rig;
    startBenchRig(rig);
    FirstRecordOnlyHandler* active = nullptr;
    if (design == Design::FirstRecordOnly) {
        rig.divertNotifications([&active](MSComm& port) {
            if (active) {
                active->onComm(port);
            } else if (port.CommEvent() == comm::kEvReceive && port.PortOpen()) {
                port.Input(); // between runs: nothing may pile up
            }
        });
    }
    for (const LoadPlan& plan : plans) {
        if (plan.design != design)
            continue;
        const LoadResult r =
            measure(rig, plan, [&active](FirstRecordOnlyHandler* h) { active = h; });
        const double rate = r.seconds > 0 ? r.counted / r.seconds : 0;
        if (design == Design::Current && plan.feed == Feed::Unthrottled)
            summary.unthrottledRate = rate;
        if (design == Design::Current) {
            summary.allExact = summary.allExact && r.totalsExact;
            summary.worstStallMs = std::max(summary.worstStallMs, r.worstStallMs);
        }
        rows.append(resultRow(design, plan, r, rate));
    }
}

void printRunsTable(const QList<QStringList>& rows) {
    out() << "## 1. On-line records\n\n"
          << "Records go from the simulated relay (`ktr6sim::SimDevice`, in this process, its own "
             "I/O thread) over a pseudo-terminal linked as `com1` in a temporary program "
             "directory, through the real port object (`QtSerialComm`, QSerialPort) to the "
             "on-line view opened with the main window's \"Status\" menu (offscreen platform). "
             "The current design is the view's own handler, reached through the main window's "
             "routing; the first design is `bench::FirstRecordOnlyHandler` on the same port and "
             "view (on each notification: read, read again until a CR is there, count the first "
             "character's channel, drop the rest). Records are mixed over all eight channels. "
             "*Sent* is counted from the bytes the relay wrote; *counted* is read back from the "
             "view's totals (current design; amounts chosen so that every total is a whole "
             "number of records) or from the handler's own count (first design). *Duration* runs "
             "from the start of the feed to the last record counted. *Worst stall* is the "
             "largest lateness of a 10 ms timer on the event loop during the run. *Totals "
             "exact*: every channel's total equals what its sent records add up to.\n\n";
    printTable({QStringLiteral("Design"), QStringLiteral("Load"), QStringLiteral("Sent"),
                QStringLiteral("Counted"), QStringLiteral("Lost"), QStringLiteral("Duration (s)"),
                QStringLiteral("Counted records/s"), QStringLiteral("Worst stall (ms)"),
                QStringLiteral("Totals exact")},
               rows, 2);
}

void printLineLimits(double unthrottledRate, double limit9600, double limitMax) {
    out() << "The line's own limit (a record is two characters of 10 bits on the wire) against "
             "what the current design counted per second with the relay writing as fast as the "
             "pseudo-terminal takes:\n\n";
    QList<QStringList> limits;
    for (const auto& [baud, limit] :
         {std::pair{kBaud9600, limit9600}, std::pair{kBaudMax, limitMax}})
        limits.append({QStringLiteral("%1 Bd").arg(baud), fixed(limit, 0),
                       grouped(qint64(std::llround(unthrottledRate))),
                       QStringLiteral("%1 x").arg(fixed(unthrottledRate / limit, 0))});
    printTable({QStringLiteral("Line"), QStringLiteral("Line limit (records/s)"),
                QStringLiteral("Current design (records/s)"),
                QStringLiteral("Ratio (measured / limit)")},
               limits);
}

void printClosingNotes(double worstStallMs) {
    out() << "Evenly spaced loads are one record at a time from a pacing thread at the line's "
             "rate, channels in turn (what a saturated line delivers). The relay's rate setting "
             "gives each channel an eighth of the rate; all eight fall due in the same "
             "millisecond, so records arrive eight at a time.\n\n";
    out() << QStringLiteral("Responsiveness: the event loop of the current design was never held "
                            "up longer than %1 ms in any run (%2).\n\n")
                 .arg(fixed(worstStallMs, 1),
                      worstStallMs < kNoticeableStallMs
                          ? QStringLiteral("the window stayed responsive; people notice from "
                                           "about 100 ms")
                          : QStringLiteral("**long enough for the operator to notice**"));
    out() << QStringLiteral("Bench process peak memory (VmHWM) after all on-line runs: %1 MB.\n\n")
                 .arg(fixed(ownStatusKb("VmHWM") / 1024.0, 1));
}

} // namespace

void startBenchRig(OnlineRig& rig) {
    QString error;
    if (!rig.start(relayParams(kBenchRows, kBenchOutput), kBaud9600, &error))
        fail(QStringLiteral("cannot set up the relay and the port: ") + error);
}

void benchOnline(qint64 records, double seconds) {
    const double limit9600 = lineRecordsPerSecond(kBaud9600);
    const double limitMax = lineRecordsPerSecond(kBaudMax);
    const std::pair<double, QString> lines[] = {{limit9600, QStringLiteral("9600 Bd")},
                                                {limitMax, QStringLiteral("32767 Bd")}};
    const QList<LoadPlan> plans = onlinePlans(records, seconds, lines);

    QList<QStringList> rows;
    CurrentDesignSummary current;
    for (const Design design : {Design::Current, Design::FirstRecordOnly})
        runDesign(design, plans, rows, current);

    printRunsTable(rows);
    printLineLimits(current.unthrottledRate, limit9600, limitMax);
    printClosingNotes(current.worstStallMs);
    out().flush();
    if (!current.allExact)
        std::fprintf(stderr, "ktr6-bench: the current design's totals were not exact\n");
}

} // namespace bench
