#include "PtyLine.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ktr6sim {

namespace {

// A pty that failed to come back is tried again this much later.
constexpr qint64 kReopenRetryMs = 1000;
// While no PC side has the port open the master is looked at this often (it reports hang-up
// at once every time, so it cannot simply be waited on); an opened port is served this soon.
constexpr qint64 kLineCheckMs = 10;

qsizetype writeSome(int fd, const char* data, qsizetype len) {
    for (;;) {
        const ssize_t n = ::write(fd, data, size_t(len));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return 0; // EAGAIN: the slave's input queue is full; anything else shows up in poll
    }
}

} // namespace

PtyLine::PtyLine(SimSettings& settings, RelayModel& model, TraceLog& trace)
    : settings_(settings), model_(model), trace_(trace) {}

bool PtyLine::plugIn(QString* error) {
    if (!pty_.open(error))
        return false;
    if (!link_.create(linkPath_, pty_.slavePath(), error)) {
        pty_.close();
        return false;
    }
    model_.plugged();
    nextLineCheck_ = 0;
    ownDiscard_ = false;
    trace_.note(QStringLiteral("linked %1 -> %2").arg(linkPath_, pty_.slavePath()));
    return true;
}

void PtyLine::hangUp(qint64 now) {
    link_.remove();
    pty_.close();
    model_.unplugged();
    settings_.disarmHangup();
    const int reopenMs = settings_.reopenMs();
    reopenAt_ = reopenMs >= 0 ? now + reopenMs : -1;
    trace_.note(reopenAt_ >= 0
                    ? QStringLiteral("hung up, link removed; back in %1 ms").arg(reopenMs)
                    : QStringLiteral("hung up, link removed"));
}

bool PtyLine::replug(qint64 now, QString* error) {
    if (pty_.isOpen())
        hangUp(now);
    reopenAt_ = -1;
    if (!plugIn(error))
        return false;
    ++model_.counters().reopens;
    return true;
}

void PtyLine::close() {
    link_.remove();
    pty_.close();
    model_.stopped();
    reopenAt_ = -1;
}

void PtyLine::look(qint64 now) {
    if (reopenAt_ >= 0 && now >= reopenAt_) {
        QString error;
        reopenAt_ = -1;
        if (plugIn(&error)) {
            ++model_.counters().reopens;
        } else {
            reopenAt_ = now + kReopenRetryMs;
            trace_.note(error);
        }
    }
    checkLine(now);
}

void PtyLine::checkLine(qint64 now) {
    if (!pty_.isOpen() || model_.listening() || now < nextLineCheck_)
        return;
    nextLineCheck_ = now + kLineCheckMs;
    if (!pty_.peerOpen())
        return;
    model_.portOpened();
    trace_.note(QStringLiteral("port opened by the PC side"));
}

void PtyLine::lineDown(qint64 now) {
    model_.portClosed(now);
    nextLineCheck_ = now + kLineCheckMs;
    ownDiscard_ = pty_.discardUnread();
    trace_.note(QStringLiteral("port closed by the PC side"));
}

void PtyLine::pcSideDiscarded(qint64 now) {
    if (ownDiscard_) {
        ownDiscard_ = false;
        return;
    }
    model_.pcSideDiscarded(now);
    // What was written since the master was last seen quiet may have gone out just after the
    // discard, where the relay, already keeping quiet for RTS, would have sent nothing. It is
    // discarded again; if it went out before, it was gone anyway.
    if (unconfirmedWrite_) {
        unconfirmedWrite_ = false;
        ownDiscard_ = pty_.discardUnread();
    }
}

pollfd PtyLine::pollRequest(qint64 now) const {
    // Without a PC side the master reports hang-up at once every time, so it stays out of the
    // poll set then and checkLine() looks at it between sleeps.
    if (!pcSideOpen())
        return {-1, 0, 0};
    return {pty_.masterFd(), short(POLLIN | (model_.wantsToSend(now) ? POLLOUT : 0)), 0};
}

void PtyLine::serve(const pollfd& polled, qint64 now) {
    if (polled.fd < 0 || polled.fd != pty_.masterFd() || !model_.listening() ||
        !(polled.revents & (POLLIN | POLLHUP | POLLERR)))
        return;
    readInput(now);
    // Reading normally ends in EIO once the last PC side has gone; this is for a pty that says
    // hang-up without it, which would otherwise wake us forever.
    if (pcSideOpen() && (polled.revents & POLLHUP))
        lineDown(now);
}

qint64 PtyLine::nextEventMs() const {
    qint64 next = reopenAt_;
    if (pty_.isOpen() && !model_.listening() && (next < 0 || nextLineCheck_ < next))
        next = nextLineCheck_;
    return next;
}

void PtyLine::readInput(qint64 now) {
    char buf[4096];
    while (pcSideOpen()) {
        const ssize_t n = ::read(pty_.masterFd(), buf, sizeof buf);
        if (n > 1 && buf[0] == TIOCPKT_DATA) {
            received(QByteArrayView(buf + 1, n - 1), now);
            continue;
        }
        if (n == 1) {
            if (buf[0] & TIOCPKT_FLUSHREAD)
                pcSideDiscarded(now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            unconfirmedWrite_ = false;
            return;
        }
        // EIO once the last PC side has closed the port and what it sent has been read.
        if (n < 0 && errno != EIO)
            trace_.note(QStringLiteral("pty master read failed (%1)").arg(errno));
        lineDown(now);
        return;
    }
}

void PtyLine::received(QByteArrayView chunk, qint64 now) {
    const RelayModel::HangUp outcome = model_.receive(chunk, now);
    if (outcome == RelayModel::HangUp::AfterSending)
        drainOutput(now);
    if (outcome != RelayModel::HangUp::No)
        hangUp(now);
}

void PtyLine::writeOutput(qint64 now) {
    if (!pty_.isOpen() || !model_.wantsToSend(now))
        return;
    // A request that came in since the last look stops records before they start, as the
    // relay hears the PC raise RTS; and a PC side that has gone is noticed before writing.
    readInput(now);
    drainOutput(now);
}

void PtyLine::drainOutput(qint64 now) {
    if (!pcSideOpen())
        return;
    const int fd = pty_.masterFd();
    const auto write = [fd](const char* data, qsizetype len) { return writeSome(fd, data, len); };
    if (!model_.send(now, write).isEmpty())
        unconfirmedWrite_ = true;
}

} // namespace ktr6sim
