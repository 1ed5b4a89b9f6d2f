#pragma once
// ktr6ctl scan: which port is the relay on? Every port number 1..15 whose
// device exists is probed at the same time, each with one parameter request
// made exactly as a read makes an attempt; nothing but "*" is ever sent.

#include "serial/SettingsFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

class MSComm;

inline constexpr int16_t kScanFirstPort = 1;
inline constexpr int16_t kScanLastPort = 15;

struct ScanPort {
    int16_t number = 0;
    QString device;
    QList<int16_t> aliases; // higher numbers that reach the same device
};

struct ScanResult {
    enum class Status { Found, NoAnswer, OtherReply, Busy, NoPermission, Error };
    int16_t port = 0;
    QString device;
    Status status = Status::Error;
    QString firmware;       // Found: the variant as the tool shows it, "6" or "2x3"
    QString reason;         // Error: what went wrong
    QList<int16_t> aliases; // higher numbers probed with it: one device
};

// The port numbers 1..15 whose device exists now (a comN link beside the
// program counts, a dangling one means no device), in order. Numbers that
// reach one device (one st_rdev: a comN link to a device another number maps
// to) are one candidate, the lowest number with the others as its aliases,
// so that the device is probed once.
QList<ScanPort> scanCandidates();

// The device a name reaches, as the system numbers it (st_rdev), or 0 when it
// is no device file (a Windows port name, a regular file): two names with
// one number are one device.
quint64 deviceNumber(const QString& device);

// Makes the port object for one port number; called on the probe's own
// thread, which owns the object and destroys it when the probe is over.
using ProbePortFactory = std::function<std::unique_ptr<MSComm>(int16_t port)>;
// A probe's pause; it may throw (anything) to stop the probe, which then
// drops RTS and closes its port, and reports the port as an error,
// "stopped".
using ProbePause = std::function<void(int ms)>;

// Probes every port at the same time, each on a thread of its own with the
// settings' baud rate and handshaking, and waits for all of them: about one
// exchange's time, however many ports. One result per port, in their order.
// A port that another program holds (its lock file, an exclusive open) is
// Busy and nothing is sent to it.
QList<ScanResult> scanPorts(const QList<ScanPort>& ports, const PortSettingsValues& settings,
                            const ProbePortFactory& makePort, const ProbePause& pause);

// What a reply tells of the port: Found (with the firmware), NoAnswer when
// nothing came, OtherReply for anything that is not a parameter reply.
ScanResult::Status classifyReply(const QByteArray& reply, QString* firmware);

// "found", "no answer", "other reply", "busy", "no permission", "error".
QString scanStatusName(ScanResult::Status status);
// [{"port":4,"device":"...","status":"found","firmware":"6"},...] on one
// line with its newline; "aliases":[5,...] only for a device reached by
// several numbers, "firmware" only when found, "reason" only with error.
QByteArray scanJson(const QList<ScanResult>& results);
// A header and one row per port: COMn (or "COM3, COM5" for one device with
// aliases), the device, the status.
QString scanTable(const QList<ScanResult>& results);
