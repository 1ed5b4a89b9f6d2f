#pragma once
// A site's relays commissioned: each relay's job is the commission run of
// ktr6ctl commission (CommissionRun), its record named as that names it by
// default, in the site's folder.

#include "CommissionRun.h"
#include "SiteRun.h"
#include "SiteSummary.h"

inline const QString kSiteCommissionTitle = QStringLiteral("KTR6 site commissioning summary");

struct SiteCommissionSetup {
    QString site;       // the site's name: on every record
    QString technician; // empty: not given
    QString folder;     // where the records go
    QString journal;    // empty: no journal
    QDateTime start;    // names every record
};

RelayJobFactory commissionJobs(const SiteCommissionSetup& setup);

// The folder a site run leaves its files in: given, an existing empty folder
// or a new one (its parent must exist); not given, a new folder
// ktr6-site-YYYYMMDD-HHMMSS beside the site file. Made here. *created says
// whether it was made (so that a run refused later can take it back).
// Nothing, with *error, when it cannot be used.
std::optional<QString> siteFolder(const QString& given, const QString& siteFile,
                                  const QDateTime& start, bool* created, QString* error);

// The summary PDF, then its twin (written last), in summary.pdf's folder;
// neither replaces a file.
RecordWriteResult writeSiteSummary(const SiteSummary& summary);
