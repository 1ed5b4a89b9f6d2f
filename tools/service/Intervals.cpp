#include "Intervals.h"

#include <QDateTime>
#include <QRegularExpression>

Clock systemClock() {
    return [] { return QDateTime::currentMSecsSinceEpoch(); };
}

namespace {

qint64 floorDiv(qint64 a, qint64 b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

} // namespace

IntervalSpan intervalAt(qint64 epochMs, int lengthSeconds) {
    const qint64 start = floorDiv(floorDiv(epochMs, 1000), lengthSeconds) * lengthSeconds;
    return {start, start + lengthSeconds};
}

qint64 alignUp(qint64 seconds, int lengthSeconds) {
    const qint64 down = floorDiv(seconds, lengthSeconds) * lengthSeconds;
    return down == seconds ? seconds : down + lengthSeconds;
}

QString utcText(qint64 epochSeconds) {
    return QDateTime::fromSecsSinceEpoch(epochSeconds, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

std::optional<qint64> parseIsoSeconds(const QString& text) {
    // A zone is required: a bare local time would mean another moment on
    // every machine.
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d(:\\d\\d)?(Z|[+-]\\d\\d:?\\d\\d)$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid())
        return std::nullopt;
    return time.toSecsSinceEpoch();
}
