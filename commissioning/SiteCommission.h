#pragma once
// A site's relays commissioned: each relay's job is the commission run of
// ktr6ctl commission (CommissionRun), its record named as that names it by
// default, in the site's folder.

#include "CommissionRun.h"
#include "SiteRun.h"

inline const QString kSiteCommissionTitle = QStringLiteral("KTR6 site commissioning summary");

RelayJobFactory commissionJobs(const SiteSetup& setup);
