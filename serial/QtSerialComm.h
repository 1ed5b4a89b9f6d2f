#pragma once
// The port object on a real serial device, through QSerialPort.

#include "serial/MSComm.h"

#include <QSerialPort>
#include <functional>

struct termios;

class QtSerialComm : public MSComm {
    Q_OBJECT
public:
    explicit QtSerialComm(QObject* parent = nullptr);
    ~QtSerialComm() override;

    void CommPort(int16_t number) override;
    int16_t CommPort() const override { return commPort_; }
    void Settings(const QString& settings) override;
    QString Settings() const override { return settings_; }
    void Handshaking(int16_t mode) override;
    int16_t Handshaking() const override { return handshaking_; }
    void InputMode(int16_t mode) override;
    void DTREnable(bool enable) override;
    void PortOpen(bool open) override;
    bool PortOpen() const override { return port_.isOpen(); }
    void RTSEnable(bool enable) override;
    void InBufferCount(int count) override;
    int InBufferCount() override;
    void Output(const QByteArray& text) override;
    QByteArray Input() override;
    void RThreshold(int count) override;
    int RThreshold() const override { return rThreshold_; }
    int16_t CommEvent() const override { return commEvent_; }
    QString DeviceFor(int16_t number) const override;

    // The most received octets the object holds unread. Beyond it the driver
    // keeps them (and throttles or drops what follows), so a streaming
    // device fills no memory while nobody reads; a reply or a notification's
    // worth of records is a small part of it.
    static constexpr qint64 kInBufferSize = 64 * 1024;

    // For tests only. A pseudo-terminal takes no modem line requests, so a
    // test sees them here: while set, these stand in for the system calls that
    // raise or drop a line (ioctl TIOCMBIS / TIOCMBIC with TIOCM_RTS or
    // TIOCM_DTR) and that apply the terminal settings the object writes
    // itself (tcsetattr).
    static inline std::function<int(int fd, unsigned long request, int bit)> modemLineCallForTests;
    static inline std::function<int(int fd, int action, const termios* settings)>
        setTerminalCallForTests;

private:
    struct LineSettings {
        qint32 baud = 9600;
        QSerialPort::Parity parity = QSerialPort::NoParity;
        QSerialPort::DataBits dataBits = QSerialPort::Data8;
        QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    };
    static LineSettings parseSettings(const QString& settings);
    void requireOpen(const char* operation) const;
    void applyModemLine(bool rts, bool enable);
    void applyFlowControl();
    void pullWaiting();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    [[noreturn]] void throwDeviceError(const QString& what);

    QSerialPort port_;
    int16_t commPort_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    LineSettings line_;
    comm::Handshake handshaking_ = comm::kHandshakeNone;
    bool dtr_ = false;
    bool rts_ = false;
    int rThreshold_ = 0;
    int16_t commEvent_ = 0;
    // Input() pulls bytes through waitForReadyRead, which emits readyRead
    // synchronously; no notification may reach the handler from there.
    bool pulling_ = false;
    bool lossReported_ = false;
};
