#pragma once
// The receive handler as the relay's tool was first designed, kept to measure
// what the current one (OnLine::onComm) gains over it. On each receive
// notification it reads the port, keeps reading until a CR has arrived, takes
// the first character as the channel and drops everything else it read, so
// every further record collected in the same run is lost. The total lives
// only as the box's text: read back by the locale, added to in single
// precision and written out again with the display pattern.
//
// Not used by the program: the benchmark runs it on the same port and view.

#include "BenchSupport.h"

#include <QByteArray>

#include <array>

class MSComm;
class OnLine;

namespace bench {

class FirstRecordOnlyHandler {
public:
    // The first design waits for the CR with no time limit; a benchmark must
    // not hang on a line that stops mid-record, so it gives up after this.
    static constexpr int kGiveUpMs = 2000;

    explicit FirstRecordOnlyHandler(OnLine& view) : view_(view) {}

    void onComm(MSComm& port);

    qint64 counted(int channel) const { return counted_[channel]; }
    qint64 countedTotal() const;
    // Notifications that ran the receive path, and Input reads they made.
    qint64 runs() const { return runs_; }
    qint64 reads() const { return reads_; }
    // Runs that gave up waiting for a CR.
    qint64 abandoned() const { return abandoned_; }

private:
    void count(int channel);

    OnLine& view_;
    std::array<qint64, kChannels> counted_{};
    qint64 runs_ = 0;
    qint64 reads_ = 0;
    qint64 abandoned_ = 0;
};

} // namespace bench
