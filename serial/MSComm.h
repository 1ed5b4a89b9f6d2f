#pragma once
// The serial-port object every device procedure talks through. The operations
// carry the names the whole program uses for them (CommPort, Settings,
// PortOpen, Input, ...). A failing operation throws CommError with a numeric
// code; the codes are listed below and are what the port dialog shows.
//
// Production uses QtSerialComm (QSerialPort); tests substitute a scripted port.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <stdexcept>

namespace comm {

// Error codes thrown by the port object.
enum ErrorCode : int {
    kInvalidPropertyValue = 380, // Settings text or Handshaking value not understood
    kPortIsOpen = 8001,          // operation not allowed while the port is open (CommPort put)
    kInvalidPortNumber = 8002,   // the port number maps to no device on this machine
    kPortAlreadyOpen = 8005,     // open by this program, or held by another program
    kNoPermission = 8010,        // the device exists but we may not use it (dialout group)
    kSettingsRefused = 8015,     // the device refused the baud rate or flow control
    kPortNotOpen = 8018,         // operation needs an open port
    kDeviceError = 8020,         // reading or writing failed: device unplugged, hung up
};

// CommEvent codes raised with OnComm.
enum EventCode : int16_t {
    kEvSend = 1,
    kEvReceive = 2,
    kEvCTS = 3,
    kEvDSR = 4,
    kEvCD = 5,
    kEvRing = 6,
    kEvEOF = 7,
    kErBreak = 1001,
    kErFrame = 1004,
    kErOverrun = 1006,
    kErRxOver = 1008,
    kErRxParity = 1009,
    kErTxFull = 1010,
    kErDCB = 1011,
    // The device went away while the port was open (USB adapter unplugged,
    // far end hung up). The port object has already closed the port.
    kErDeviceLost = 1020,
};

// The Handshaking property: which flow control the line uses. The settings
// file and the port dialog carry the same numbers.
enum Handshake : int16_t {
    kHandshakeNone = 0,
    kHandshakeXonXoff = 1,
    kHandshakeRtsCts = 2,
    kHandshakeRtsCtsXonXoff = 3,
};
inline constexpr int16_t kHandshakeFirst = kHandshakeNone;
inline constexpr int16_t kHandshakeLast = kHandshakeRtsCtsXonXoff;

constexpr bool isHandshake(int value) {
    return value >= kHandshakeFirst && value <= kHandshakeLast;
}
// Under RTS/CTS flow control the driver drives RTS itself.
constexpr bool usesRtsCts(int mode) {
    return mode == kHandshakeRtsCts || mode == kHandshakeRtsCtsXonXoff;
}
constexpr bool usesXonXoff(int mode) {
    return mode == kHandshakeXonXoff || mode == kHandshakeRtsCtsXonXoff;
}

class CommError : public std::runtime_error {
public:
    CommError(int code, const QString& detail)
        : std::runtime_error(detail.toStdString()), code_(code), detail_(detail) {}
    int code() const { return code_; }
    QString detail() const { return detail_; }

private:
    int code_;
    QString detail_;
};

} // namespace comm

class MSComm : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~MSComm() override = default;

    // Selects the port for the next open; 1 = COM1. Not allowed while open.
    virtual void CommPort(int16_t number) = 0;
    virtual int16_t CommPort() const = 0;
    // "9600,N,8,1": baud rate, no parity, 8 data bits, 1 stop bit.
    virtual void Settings(const QString& settings) = 0;
    virtual QString Settings() const = 0;
    // One of comm::Handshake.
    virtual void Handshaking(int16_t mode) = 0;
    virtual int16_t Handshaking() const = 0;
    // 0: Input delivers text, one character per octet.
    virtual void InputMode(int16_t mode) = 0;
    virtual void DTREnable(bool enable) = 0;
    virtual void PortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;
    // A line that cannot carry RTS (a pseudo-terminal, RTS under RTS/CTS flow
    // control) ignores the request.
    virtual void RTSEnable(bool enable) = 0;
    // Only 0 is meaningful: discard every received, unread character.
    virtual void InBufferCount(int count) = 0;
    virtual int InBufferCount() = 0;
    // Queues the octets for sending and returns at once.
    virtual void Output(const QByteArray& text) = 0;
    // Everything received and not yet read, possibly nothing.
    virtual QByteArray Input() = 0;
    // OnComm with CommEvent 2 is raised whenever at least this many
    // characters wait; 0 switches receive notifications off.
    virtual void RThreshold(int count) = 0;
    virtual int RThreshold() const = 0;
    virtual int16_t CommEvent() const = 0;

    // The device path a port number maps to on this machine, empty if none.
    virtual QString DeviceFor(int16_t number) const = 0;

signals:
    void OnComm();
};

// Closes the port if it is open, and never throws: a port whose device has gone
// may refuse even the close, and is released all the same. Returns the code of
// the error the close met (0: none) for a caller that shows it; the others have
// nothing to add to the failure they are already handling.
inline int closePortQuietly(MSComm& port) noexcept {
    try {
        if (port.PortOpen())
            port.PortOpen(false);
    } catch (const comm::CommError& error) {
        return error.code();
    } catch (const std::exception&) {
        return comm::kDeviceError;
    }
    return 0;
}
