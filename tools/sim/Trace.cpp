#include "Trace.h"

#include <QTime>

namespace ktr6sim {

TraceFormatter::TraceFormatter(TraceClock clock) : clock_(clock) {
    timer_.start();
}

QByteArray TraceFormatter::timestamp() const {
    if (clock_ == TraceClock::WallClock)
        return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1();
    const qint64 ms = timer_.elapsed();
    return QByteArray::number(ms / 1000).rightJustified(6, ' ') + '.' +
           QByteArray::number(ms % 1000).rightJustified(3, '0');
}

QByteArray TraceFormatter::hex(QByteArrayView data) {
    return data.toByteArray().toHex(' ').toUpper();
}

QByteArray TraceFormatter::printable(QByteArrayView data) {
    QByteArray text;
    for (char c : data) {
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c >= 0x20 && c < 0x7f)
            text += c;
        else
            text += '.';
    }
    return text;
}

QByteArray TraceFormatter::line(TraceDirection direction, QByteArrayView data,
                                qsizetype limit) const {
    QByteArray out = timestamp();
    switch (direction) {
    case TraceDirection::Received:
        out += " rx ";
        break;
    case TraceDirection::Sent:
        out += " tx ";
        break;
    case TraceDirection::Note:
        return out + " -- " + data.toByteArray();
    }
    const QByteArrayView shown = data.first(qMin(data.size(), limit));
    out += QByteArray::number(data.size()).rightJustified(5, ' ') + " | " + hex(shown) + " | " +
           printable(shown);
    if (shown.size() < data.size())
        out += " ... (" + QByteArray::number(data.size() - shown.size()) + " more)";
    return out;
}

} // namespace ktr6sim
