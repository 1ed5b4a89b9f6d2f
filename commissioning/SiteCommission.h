#pragma once
// A site's relays commissioned, or audited: each relay's job is the run of
// ktr6ctl commission or audit (CommissionRun), its record named as that
// names it by default, in the site's folder.

#include "CommissionRun.h"
#include "SiteRun.h"

inline const QString kSiteCommissionTitle = QStringLiteral("KTR6 site commissioning summary");
inline const QString kSiteAuditTitle = QStringLiteral("KTR6 site audit summary");

RelayJobFactory commissionJobs(const SiteSetup& setup);
// Read-only: each relay read and compared with its plan, nothing written.
RelayJobFactory auditJobs(const SiteSetup& setup);
