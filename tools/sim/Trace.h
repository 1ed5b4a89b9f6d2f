#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>

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

} // namespace ktr6sim
