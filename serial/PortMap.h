#pragma once
// Which device a port number means on this machine.

#include <QString>

// The systems whose port names the mapping knows.
enum class Platform { Linux, Windows };
#ifdef Q_OS_WIN
inline constexpr Platform kBuildPlatform = Platform::Windows;
#else
inline constexpr Platform kBuildPlatform = Platform::Linux;
#endif

// What the port object hands QSerialPort as the port name for a number.
// A link named comN (any letter case) in the program's directory wins, as an
// absolute path, so the simulator, tests and users with unusual adapters can
// point any number at any device. Otherwise, on Linux: COM1..4 are
// /dev/ttyS0..3, COM5..10 /dev/ttyUSB0..5, COM11..15 /dev/ttyACM0..4; on
// Windows the port name COMn itself, from which QSerialPort forms the device
// path (a path built by hand breaks COM10 and above). Empty when the number
// maps to nothing. The device need not exist.
QString deviceForPort(int number, const QString& programDir, Platform platform = kBuildPlatform);

// The device a port is opened by: for a device file, the file a link (a
// comN link, a /dev/serial name) points to, so that the lock file is the
// one every serial program takes for that device (LCK..ttyUSB0) and a
// program holding it under another name keeps it. A name that cannot be
// resolved, and a Windows port name, are returned as they are. Messages
// still name the port as the user named it.
QString deviceToOpen(const QString& device, Platform platform = kBuildPlatform);

// Whether a name from deviceForPort is a file that must exist for the port to
// open, rather than a Windows port name that only the system can look up.
bool isDeviceFile(const QString& device, Platform platform = kBuildPlatform);

// The link in programDir named comN in any letter case, or empty.
QString findPortLink(int number, const QString& programDir);

// Looks a file up by name in dir without regard to letter case; empty if
// there is none. An exact-case match is preferred.
QString findFileNoCase(const QString& dir, const QString& name);

// "COM3": how the dialog, the settings file's messages and ktr6ctl name a
// port number.
QString portName(int number);

// Whether the device a port number maps to is there now: a device file that
// exists (a dangling comN link means none), or a Windows port the system
// lists.
bool isDevicePresent(const QString& device, Platform platform = kBuildPlatform);

// The port object's line settings for a baud rate: "9600,N,8,1" (no parity,
// 8 data bits, 1 stop bit).
QString lineSettingsText(int baudRate);

struct PortSettingsValues;
class MSComm;
// Configures a port object from stored settings as the program does at
// start: port number, handshaking, line settings, text input, DTR off. The
// port stays closed.
void applyPortSettings(MSComm& port, const PortSettingsValues& values);
