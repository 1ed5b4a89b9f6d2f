#pragma once
// Small measuring tools shared by the benchmark program and the soak test:
// the line's own record rate, medians, the process's memory figures, a tally
// of the records the simulated relay has put on the line, and a probe that
// sees how long the event loop was kept from running.

#include "protocol/OnlineStream.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QLocale>
#include <QString>
#include <QTimer>

#include <array>
#include <atomic>
#include <optional>

namespace bench {

// Records per second a serial line can carry at this baud rate: a record is
// a channel digit and a CR, each character 10 bits on the wire (start bit,
// 8 data bits, stop bit).
double lineRecordsPerSecond(int baud, int charsPerRecord = 2, int bitsPerChar = 10);

// The middle value (the mean of the two middle ones for an even count);
// 0 for no values.
double median(QList<double> values);
double maximum(const QList<double>& values);

// A "Key:  1234 kB" figure from the text of /proc/<pid>/status, in kB.
std::optional<qint64> statusFieldKb(const QByteArray& statusText, const QByteArray& key);
// The same for this process; -1 when /proc cannot tell.
qint64 ownStatusKb(const QByteArray& key);

// How many records a displayed total stands for, given the amount one record
// adds (negative for an input that counts down). Empty text (an output total
// of zero) is 0 records; a total that is no whole multiple of the amount
// within the display's rounding gives no value.
std::optional<qint64> recordsInTotal(const QString& text, double amountPerRecord,
                                     const QLocale& locale);

// Counts the records in the bytes the relay writes, per channel, from any
// thread: the relay's I/O thread feeds it, the event loop reads it. Records
// end with CR; the first character after a CR (line feeds skipped) is the
// channel. Bytes written before start() are not counted.
class DeviceTally {
public:
    void start();
    void stop();
    // Called with every chunk the relay wrote; only one thread may feed.
    void feed(const char* data, qsizetype size);
    qint64 records(int channel) const { return counts_[channel].load(); }
    qint64 total() const;
    std::array<qint64, kChannels> perChannel() const;

private:
    std::array<std::atomic<qint64>, kChannels> counts_{};
    std::atomic<bool> counting_{false};
    bool atRecordStart_ = true;
    char channel_ = 0;
};

// A 10 ms timer on the event loop; every tick notes how much later than due
// it came. A handler that keeps the loop busy shows up as lateness.
class StallProbe {
public:
    static constexpr int kIntervalMs = 10;

    StallProbe();
    void start();
    void stop();
    // The longest time beyond the interval between two ticks, in ms.
    double worstLatenessMs() const { return worstNs_ / 1e6; }
    qint64 ticks() const { return ticks_; }

private:
    void tick();

    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0;
    qint64 worstNs_ = 0;
    qint64 ticks_ = 0;
};

} // namespace bench
