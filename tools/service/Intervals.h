#pragma once
// Time as the service keeps it: milliseconds since the Unix epoch in UTC from
// a clock the tests replace, and intervals aligned to multiples of their
// length since the epoch, so that a daylight-saving change never makes one
// longer or shorter.

#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

// Milliseconds since the epoch, UTC.
using Clock = std::function<qint64()>;
Clock systemClock();

struct IntervalSpan {
    qint64 start = 0; // seconds since the epoch, a multiple of the length
    qint64 end = 0;
};

// The interval of the given length (seconds) that holds the moment (ms).
IntervalSpan intervalAt(qint64 epochMs, int lengthSeconds);
// The first interval boundary after `seconds`, or `seconds` itself when it is one.
qint64 alignUp(qint64 seconds, int lengthSeconds);

// "2026-12-07T14:15:00Z".
QString utcText(qint64 epochSeconds);
// An ISO 8601 time with "Z" or an offset ("2026-12-07T15:15:00+01:00", seconds
// optional); nothing for any other text, including one without a zone.
std::optional<qint64> parseIsoSeconds(const QString& text);
