#include "StopSignals.h"

#include "core/Seams.h"

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace {

volatile sig_atomic_t firstSignal = 0;
// Slot 0: the run watch() names; the others: the runs of a site, one a relay.
constexpr int kWatchSlots = 1 + 128;
std::atomic<StopRequest*> watched[kWatchSlots] = {};
int signalPipe[2] = {-1, -1};
std::atomic<const char*> finishingLine{nullptr};
std::atomic<bool> finishingNow{false};

#ifdef Q_OS_UNIX
bool anyHeld() {
    for (const auto& slot : watched) {
        const StopRequest* stop = slot.load();
        if (stop && stop->held())
            return true;
    }
    return false;
}

// A further signal while the run finishes what it has begun: say so.
void tellFinishing() {
    const char* line = finishingLine.load();
    if (line && (finishingNow.load() || anyHeld())) {
        [[maybe_unused]] const auto told = ::write(STDERR_FILENO, line, std::strlen(line));
    }
}

void onStopSignal(int signo) {
    const int saved = errno;
    if (firstSignal == 0)
        firstSignal = signo;
    else
        tellFinishing();
    for (const auto& slot : watched) {
        if (StopRequest* stop = slot.load())
            stop->request(); // a lock-free atomic store
    }
    const char byte = 1;
    // A full pipe already says that a signal came.
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}
#endif

} // namespace

namespace stopsignals {

void install() {
#ifdef Q_OS_UNIX
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        ::sigaction(signo, &action, nullptr);
#endif
}

void watch(StopRequest* stop) {
    watched[0].store(stop);
    if (stop && firstSignal != 0)
        stop->request();
}

bool watchAlso(StopRequest* stop) {
    for (int i = 1; i < kWatchSlots; ++i) {
        StopRequest* none = nullptr;
        if (watched[i].compare_exchange_strong(none, stop)) {
            if (firstSignal != 0)
                stop->request();
            return true;
        }
    }
    return false;
}

void unwatch(StopRequest* stop) {
    for (auto& slot : watched) {
        StopRequest* expected = stop;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

void sayWhenFinishing(const char* line) {
    finishingLine.store(line);
}

void finishing() {
    finishingNow.store(true);
}

int received() {
    return firstSignal;
}

int notifyFd() {
    return signalPipe[0];
}

int exitStatus(int signo, bool watching) {
#ifdef Q_OS_UNIX
    if (watching && signo != SIGHUP)
        return 0;
#endif
    return 128 + signo;
}

bool sleep(int ms, bool wake) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (wake && received())
            return true;
        const auto left = end - Clock::now();
        if (left <= Clock::duration::zero())
            return received() != 0;
#ifdef Q_OS_UNIX
        if (wake && signalPipe[0] >= 0) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            pollfd fd{signalPipe[0], POLLIN, 0};
            ::poll(&fd, 1, int((us + 999) / 1000)); // a signal wakes it early
            continue;
        }
#endif
        std::this_thread::sleep_for(left);
    }
}

} // namespace stopsignals
