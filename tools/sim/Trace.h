#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QString>

#include <utility>
#include <vector>

namespace ktr6sim {

enum class TraceDirection { Received, Sent, Note };
enum class TraceClock { Elapsed, WallClock };

// Turns traffic into lines a person can follow next to the tool: time, direction, hex and the
// printable characters.
class TraceFormatter {
public:
    explicit TraceFormatter(TraceClock clock = TraceClock::Elapsed);

    // Long chunks (garbage, record floods) are cut after limit bytes and the total is given.
    QByteArray line(TraceDirection direction, QByteArrayView data, qsizetype limit = 256) const;

    static QByteArray hex(QByteArrayView data);
    static QByteArray printable(QByteArrayView data);

private:
    QByteArray timestamp() const;

    TraceClock clock_;
    QElapsedTimer timer_;
};

// What the device has to report, gathered while it holds its lock and handed to the trace sink
// after it lets go.
class TraceLog {
public:
    using Entries = std::vector<std::pair<TraceDirection, QByteArray>>;

    void add(TraceDirection direction, QByteArray bytes) {
        entries_.emplace_back(direction, std::move(bytes));
    }
    void note(const QString& text) { add(TraceDirection::Note, text.toUtf8()); }
    Entries take() { return std::exchange(entries_, {}); }

private:
    Entries entries_;
};

} // namespace ktr6sim
