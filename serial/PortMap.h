#pragma once
// Which device a port number means on this machine.

#include <QString>

// A link named comN (any letter case) in the program's directory wins, so the
// simulator, tests and users with unusual adapters can point any number at
// any device. Otherwise, on Linux: COM1..4 are /dev/ttyS0..3, COM5..10
// /dev/ttyUSB0..5, COM11..15 /dev/ttyACM0..4; on Windows COMn. Empty when the
// number maps to nothing. The device need not exist.
QString deviceForPort(int number, const QString& programDir);

// The link in programDir named comN in any letter case, or empty.
QString findPortLink(int number, const QString& programDir);

// Looks a file up by name in dir without regard to letter case; empty if
// there is none. An exact-case match is preferred.
QString findFileNoCase(const QString& dir, const QString& name);
