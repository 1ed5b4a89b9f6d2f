#pragma once
// At most one running total a second per channel, and never a last value
// left behind: the first change after a quiet second goes out at once, later
// ones within the second are held, and the newest held value goes out when
// the second is over. The clock is a seam so that tests drive it.

#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

class TotalThrottle {
public:
    using Clock = std::function<int64_t()>; // milliseconds, never going back

    explicit TotalThrottle(Clock clock, int64_t periodMs = 1000);

    // A new value for key: true when it may be published now (its period
    // starts), false when it is held until the period is over.
    bool offer(const QString& key);
    // The held keys whose period is over, in no particular order; each is
    // published now, so its period starts again.
    QStringList takeDue();
    // Every held key, due or not (a stop: the newest values go out now).
    QStringList takeHeld();
    // Milliseconds until the first held key is due (0: now); -1 when none is held.
    int64_t msUntilDue() const;
    // Forgets what was sent: after a reconnect every key may go out at once.
    void reset() { keys_.clear(); }

private:
    QStringList take(bool evenIfEarly);

    struct Key {
        int64_t sentAt = 0;
        bool held = false;
    };
    Clock clock_;
    int64_t periodMs_;
    QHash<QString, Key> keys_;
};
