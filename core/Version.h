#pragma once
// The program's version as the about box shows it and the commissioning
// record states it: "1.02" for 1.0.2 (no separator between minor and
// revision, as the program has always written it).

#include <QString>

QString versionNumberText(int major, int minor, int revision);
// This build's version, from the project's version number.
QString programVersion();
