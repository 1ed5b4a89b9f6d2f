#pragma once
// A site file: the site's name and its relays, each on its own port with
// its own plan, checked whole before any port is opened.
//
// {"site": "Rozvodňa Žilina, R2",
//  "relays": [{"label": "KTR6 č. 0042", "port": 4, "plan": "plans/0042.json"},
//             {"label": "KTR6 č. 0043", "port": 5, "plan": {...}, "baud": 19200,
//              "handshaking": 0}]}

#include "ParameterJson.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

inline constexpr int kSiteMaxRelays = 64;

struct SiteRelay {
    QString label;
    int16_t port = 0;
    ParameterPlan plan;
    QString planName;      // the plan file as the site file names it; "inline" for one within it
    QByteArray planSha256; // of the plan file's bytes, or of the inline plan as compact JSON
    std::optional<int16_t> baud; // instead of KTR.INI's
    std::optional<int16_t> handshaking;
};

struct SiteFile {
    QString path; // absolute
    QByteArray sha256;
    QString site;
    QList<SiteRelay> relays;
};

// Reads and checks the site file at path: JSON of at most 1 MiB with the
// keys above and no others, 1 to kSiteMaxRelays relays, each label a label
// as --relay takes it and used once, each port a port number 1..32767 used
// once and not reaching the device another entry's port reaches (a comN link
// in programDir to it), each plan one that write takes (a file relative to
// the site file, or the plan itself), its amounts held to tolerance, baud
// 1..32767 and handshaking 0..3. On failure *error names the entry ("relay 2
// (KTR6 č. 0043): ...") and what is wrong.
std::optional<SiteFile> readSiteFile(const QString& path, const QString& programDir,
                                     const Tolerance& tolerance, QString* error);
