#include "Version.h"

QString versionNumberText(int major, int minor, int revision) {
    return QStringLiteral("%1.%2%3").arg(QString::number(major), QString::number(minor),
                                         QString::number(revision));
}

QString programVersion() {
    return versionNumberText(KTR6_VERSION_MAJOR, KTR6_VERSION_MINOR, KTR6_VERSION_PATCH);
}
