#include "QtSerialComm.h"

#include "core/Seams.h"
#include "serial/PortMap.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

using comm::CommError;

QtSerialComm::QtSerialComm(QObject* parent) : MSComm(parent) {
    port_.setReadBufferSize(kInBufferSize);
    connect(&port_, &QSerialPort::readyRead, this, &QtSerialComm::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialComm::onError);
}

QtSerialComm::~QtSerialComm() {
    if (port_.isOpen())
        port_.close();
}

QString QtSerialComm::DeviceFor(int16_t number) const {
    return deviceForPort(number, programDirectory());
}

void QtSerialComm::CommPort(int16_t number) {
    if (port_.isOpen())
        throw CommError(comm::kPortIsOpen,
                        QStringLiteral("the port number cannot change while the port is open"));
    commPort_ = number;
}

QtSerialComm::LineSettings QtSerialComm::parseSettings(const QString& settings) {
    const QStringList parts = settings.split(QLatin1Char(','));
    auto bad = [&]() {
        return CommError(comm::kInvalidPropertyValue,
                         QStringLiteral("invalid line settings \"%1\"").arg(settings));
    };
    if (parts.size() != 4)
        throw bad();
    LineSettings line;
    bool ok = false;
    line.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || line.baud <= 0)
        throw bad();
    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        line.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        line.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        line.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        line.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        line.parity = QSerialPort::SpaceParity;
    else
        throw bad();
    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        throw bad();
    line.dataBits = static_cast<QSerialPort::DataBits>(bits);
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        line.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        line.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        line.stopBits = QSerialPort::TwoStop;
    else
        throw bad();
    return line;
}

void QtSerialComm::Settings(const QString& settings) {
    line_ = parseSettings(settings);
    settings_ = settings;
    if (port_.isOpen()) {
        if (!port_.setBaudRate(line_.baud) || !port_.setParity(line_.parity) ||
            !port_.setDataBits(line_.dataBits) || !port_.setStopBits(line_.stopBits))
            throw CommError(comm::kSettingsRefused, port_.errorString());
    }
}

void QtSerialComm::Handshaking(int16_t mode) {
    if (!comm::isHandshake(mode))
        throw CommError(comm::kInvalidPropertyValue,
                        QStringLiteral("invalid handshaking mode %1").arg(mode));
    handshaking_ = static_cast<comm::Handshake>(mode);
    if (port_.isOpen()) {
        applyFlowControl();
        // Leaving RTS/CTS hands RTS back to the RTSEnable property.
        applyModemLine(true, rts_);
    }
}

void QtSerialComm::InputMode(int16_t mode) {
    // Only text mode exists here: Input always hands back the raw octets.
    if (mode != 0)
        throw CommError(comm::kInvalidPropertyValue,
                        QStringLiteral("only text input mode is supported"));
}

void QtSerialComm::DTREnable(bool enable) {
    dtr_ = enable;
    if (port_.isOpen())
        applyModemLine(false, enable);
}

void QtSerialComm::applyFlowControl() {
    const auto flow = comm::usesRtsCts(handshaking_)
                          ? QSerialPort::HardwareControl
                          : (comm::usesXonXoff(handshaking_) ? QSerialPort::SoftwareControl
                                                             : QSerialPort::NoFlowControl);
    if (!port_.setFlowControl(flow))
        throw CommError(comm::kSettingsRefused, port_.errorString());
#ifdef Q_OS_UNIX
    // QSerialPort knows one flow control at a time; RTS/CTS with XON/XOFF
    // adds the latter directly in the terminal settings.
    if (handshaking_ == comm::kHandshakeRtsCtsXonXoff) {
        auto refused = [] {
            return CommError(comm::kSettingsRefused,
                             QStringLiteral("the port refused XON/XOFF with RTS/CTS: %1")
                                 .arg(QString::fromLocal8Bit(strerror(errno))));
        };
        termios wanted{};
        if (::tcgetattr(port_.handle(), &wanted) != 0)
            throw refused();
        wanted.c_iflag |= IXON | IXOFF;
        const int fd = port_.handle();
        const int set = setTerminalCallForTests ? setTerminalCallForTests(fd, TCSANOW, &wanted)
                                                : ::tcsetattr(fd, TCSANOW, &wanted);
        if (set != 0)
            throw refused();
        // tcsetattr succeeds when any part of the change took: only reading
        // the settings back shows whether all of it did.
        termios applied{};
        if (::tcgetattr(fd, &applied) != 0)
            throw refused();
        constexpr tcflag_t kInput = IXON | IXOFF;
        if ((applied.c_iflag & kInput) != kInput ||
            (applied.c_cflag & CRTSCTS) != (wanted.c_cflag & CRTSCTS)) {
            throw CommError(comm::kSettingsRefused,
                            QStringLiteral("the port did not take XON/XOFF with RTS/CTS"));
        }
    }
#endif
}

void QtSerialComm::PortOpen(bool open) {
    if (!open) {
        if (port_.isOpen())
            port_.close();
        return;
    }
    if (port_.isOpen())
        throw CommError(comm::kPortAlreadyOpen, QStringLiteral("the port is already open"));
    // A Windows port name is no file: whether it exists, the open tells.
    const QString device = DeviceFor(commPort_);
    if (device.isEmpty() || (isDeviceFile(device) && !QFileInfo::exists(device))) {
        throw CommError(comm::kInvalidPortNumber,
                        device.isEmpty()
                            ? QStringLiteral("%1 maps to no device").arg(portName(commPort_))
                            : QStringLiteral("%1 does not exist").arg(device));
    }
    // Opened by the device itself: its lock file is the one every program
    // takes for it, whatever link it was reached through.
    port_.setPortName(deviceToOpen(device));
    port_.setBaudRate(line_.baud);
    port_.setParity(line_.parity);
    port_.setDataBits(line_.dataBits);
    port_.setStopBits(line_.stopBits);
    if (!port_.open(QIODevice::ReadWrite)) {
        const auto error = port_.error();
        const QString why = port_.errorString();
        port_.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            throw CommError(comm::kInvalidPortNumber, why);
        case QSerialPort::OpenError:
            throw CommError(comm::kPortAlreadyOpen, why);
        case QSerialPort::PermissionError:
#ifdef Q_OS_UNIX
            // A port held by another program reports the same error as
            // missing rights; the rights on the device node tell them apart.
            if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0)
                throw CommError(
                    comm::kNoPermission,
                    QStringLiteral("no permission for %1 (join the dialout group)").arg(device));
#endif
            throw CommError(comm::kPortAlreadyOpen, why);
        case QSerialPort::UnsupportedOperationError:
            throw CommError(comm::kSettingsRefused, why);
        default:
            throw CommError(comm::kDeviceError, why);
        }
    }
    // The system raises DTR and RTS on every open; the lines must say what
    // the properties say before the device sees anything.
    try {
        applyFlowControl();
        applyModemLine(false, dtr_);
        applyModemLine(true, rts_);
    } catch (...) {
        port_.close();
        throw;
    }
}

void QtSerialComm::applyModemLine(bool rts, bool enable) {
    if (rts && comm::usesRtsCts(handshaking_))
        return; // the driver drives RTS itself under RTS/CTS flow control
#ifdef Q_OS_UNIX
    int bit = rts ? TIOCM_RTS : TIOCM_DTR;
    const unsigned long request = enable ? TIOCMBIS : TIOCMBIC;
    const int done = modemLineCallForTests ? modemLineCallForTests(port_.handle(), request, bit)
                                           : ::ioctl(port_.handle(), request, &bit);
    if (done == -1) {
        // Pseudo-terminals and some adapters have no modem lines.
        if (errno == ENOTTY || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP)
            return;
        throw CommError(comm::kDeviceError,
                        QStringLiteral("cannot set the %1 line: %2")
                            .arg(rts ? QStringLiteral("RTS") : QStringLiteral("DTR"),
                                 QString::fromLocal8Bit(strerror(errno))));
    }
#else
    const bool ok = rts ? port_.setRequestToSend(enable) : port_.setDataTerminalReady(enable);
    if (!ok && port_.error() != QSerialPort::UnsupportedOperationError)
        throw CommError(comm::kDeviceError, port_.errorString());
    port_.clearError();
#endif
}

void QtSerialComm::RTSEnable(bool enable) {
    rts_ = enable;
    if (port_.isOpen())
        applyModemLine(true, enable);
}

void QtSerialComm::requireOpen(const char* operation) const {
    if (!port_.isOpen())
        throw CommError(comm::kPortNotOpen,
                        QStringLiteral("%1 needs an open port").arg(QLatin1String(operation)));
}

void QtSerialComm::throwDeviceError(const QString& what) {
    const QString why = port_.errorString();
    port_.close();
    throw CommError(comm::kDeviceError, what + QStringLiteral(": ") + why);
}

void QtSerialComm::pullWaiting() {
    // QSerialPort fills its buffer only from the event loop or a wait call;
    // after a blocking sleep the bytes are still in the driver. A bounded
    // number of rounds keeps a flooding device from holding us here.
    pulling_ = true;
    for (int round = 0; round < 64 && port_.waitForReadyRead(0); ++round) {
    }
    pulling_ = false;
    if (port_.error() == QSerialPort::ResourceError || port_.error() == QSerialPort::ReadError ||
        !port_.isOpen())
        throwDeviceError(QStringLiteral("reading from the port failed"));
    port_.clearError();
}

void QtSerialComm::InBufferCount(int count) {
    requireOpen("InBufferCount");
    if (count != 0)
        throw CommError(comm::kInvalidPropertyValue,
                        QStringLiteral("InBufferCount can only be set to 0"));
    pullWaiting();
    port_.clear(QSerialPort::Input);
    port_.readAll();
}

int QtSerialComm::InBufferCount() {
    requireOpen("InBufferCount");
    pullWaiting();
    return static_cast<int>(port_.bytesAvailable());
}

void QtSerialComm::Output(const QByteArray& text) {
    requireOpen("Output");
    if (port_.write(text) != text.size())
        throwDeviceError(QStringLiteral("writing to the port failed"));
    // Hand the octets to the driver now: the caller sleeps without an event
    // loop, so QSerialPort would otherwise hold them back.
    port_.flush();
    if (port_.error() == QSerialPort::ResourceError || port_.error() == QSerialPort::WriteError)
        throwDeviceError(QStringLiteral("writing to the port failed"));
}

QByteArray QtSerialComm::Input() {
    requireOpen("Input");
    pullWaiting();
    return port_.readAll();
}

void QtSerialComm::RThreshold(int count) {
    rThreshold_ = count < 0 ? 0 : count;
}

void QtSerialComm::onReadyRead() {
    if (pulling_ || rThreshold_ <= 0)
        return;
    if (port_.bytesAvailable() >= rThreshold_) {
        commEvent_ = comm::kEvReceive;
        emit OnComm();
    }
}

void QtSerialComm::onError(QSerialPort::SerialPortError error) {
    // A hung-up line shows up as ReadError (a pty whose far end closed) or
    // ResourceError (an unplugged USB adapter); QSerialPort then keeps
    // reporting it on every loop turn until the port is closed.
    if ((error != QSerialPort::ResourceError && error != QSerialPort::ReadError) || pulling_ ||
        !port_.isOpen())
        return;
    if (lossReported_)
        return;
    lossReported_ = true;
    // The device went away under an open port (unplugged adapter, far end
    // hung up). Close it so the next open starts clean, and tell the owner
    // once; the close waits until QSerialPort has finished its own signal.
    QMetaObject::invokeMethod(
        this,
        [this] {
            lossReported_ = false;
            if (!port_.isOpen())
                return;
            port_.close();
            commEvent_ = comm::kErDeviceLost;
            emit OnComm();
        },
        Qt::QueuedConnection);
}
