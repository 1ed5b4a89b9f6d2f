#include "TotalThrottle.h"

#include <algorithm>

TotalThrottle::TotalThrottle(Clock clock, int64_t periodMs)
    : clock_(std::move(clock)), periodMs_(periodMs) {}

bool TotalThrottle::offer(const QString& key) {
    const int64_t now = clock_();
    auto it = keys_.find(key);
    if (it == keys_.end() || (!it->held && now - it->sentAt >= periodMs_)) {
        keys_.insert(key, Key{now, false});
        return true;
    }
    it->held = true;
    return false;
}

QStringList TotalThrottle::takeDue() {
    return take(false);
}

QStringList TotalThrottle::takeHeld() {
    return take(true);
}

QStringList TotalThrottle::take(bool evenIfEarly) {
    const int64_t now = clock_();
    QStringList due;
    for (auto it = keys_.begin(); it != keys_.end(); ++it) {
        if (it->held && (evenIfEarly || now - it->sentAt >= periodMs_)) {
            *it = Key{now, false};
            due.append(it.key());
        }
    }
    return due;
}

int64_t TotalThrottle::msUntilDue() const {
    const int64_t now = clock_();
    int64_t soonest = -1;
    for (const Key& k : keys_) {
        if (!k.held)
            continue;
        const int64_t wait = std::max<int64_t>(0, k.sentAt + periodMs_ - now);
        soonest = soonest < 0 ? wait : std::min(soonest, wait);
    }
    return soonest;
}
