#pragma once
// SIGINT, SIGTERM, SIGHUP and SIGPIPE end ktr6ctl through its own code, so
// the port is closed (and QSerialPort's lock file removed) before it exits.
// The handler only notes the signal; the program acts on it where that is
// safe: in its pauses, after a transaction, in the monitor's event loop.

class StopRequest;

namespace stopsignals {

// Installs the handler for the four signals; a write to a pipe whose reader
// has gone then fails with EPIPE instead of ending the program.
void install();
// From now on a stop signal also asks this run to stop (nullptr: none).
void watch(StopRequest* stop);
// A set of runs (a site's relays, each with its own stop): a stop signal asks
// each of them to stop as well, until unwatch(). At most 128 at a time;
// false when there is no room.
bool watchAlso(StopRequest* stop);
void unwatch(StopRequest* stop);
// The first stop signal received, 0 while none has come.
int received();
// Readable from the moment a stop signal arrives; -1 before install().
int notifyFd();
// The exit status after a stop signal: 0 where it is the normal end of a
// watch (Ctrl+C, SIGTERM, a reader that has gone away), otherwise 128 + the
// signal's number, as a shell reports a process the signal ended.
int exitStatus(int signo, bool watching);
// The line on stderr for a stop signal after the first one while the run
// finishes what it has begun (a relay that was changed gets its record):
// while the watched stop is held, and after finishing(). Such a signal is
// otherwise ignored. line must outlive the program.
void sayWhenFinishing(const char* line);
void finishing();
// Sleeps ms milliseconds; with wake, returns early once a stop signal has
// arrived. Returns whether one has.
bool sleep(int ms, bool wake);

} // namespace stopsignals
