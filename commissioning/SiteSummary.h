#pragma once
// The summary of a site run, to print and sign (site-summary.pdf: A4, as
// many pages as the relays need, "1 / 2" page numbers, the signatures on the
// last page) and its twin (site-summary.json). Whether it sums up a
// commission or an audit is data: its title and kind.

#include "RecordFiles.h"
#include "SiteRun.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct SiteSummary {
    QString title; // "KTR6 site commissioning summary"
    QString kind;  // "commission"
    // What each relay's set line is: "written" (a commission), "read" (an
    // audit); the PDF shows it as "Written: ...", the twin as its key.
    QString setWord = QStringLiteral("written");
    QString site;
    QString technician; // empty: not given
    QDateTime time;     // when the run began
    QString host;
    QString version;
    QString siteFile; // the site file's absolute path
    QByteArray siteSha256;
    QList<RelayResult> relays;
    QString pdf; // the summary PDF's absolute path
};

// "2 verified, 1 unchanged, 1 failed": the relays by outcome, in the order
// the outcomes first appear.
QString siteCounts(const QList<RelayResult>& relays);

// The PDF's bytes; empty when it could not be drawn. *warning as recordPdf's.
// Needs a QGuiApplication.
QByteArray siteSummaryPdf(const SiteSummary& summary, QString* warning);

// The twin: kind, site, time, technician, host, version, site_file,
// site_sha256, relays (each: label, port, port_text, firmware, outcome, detail,
// written (an audit's: read), plan_sha256, record, record_sha256; null where there is none),
// pdf, pdf_sha256. Ends with a newline.
QByteArray siteSummaryJson(const SiteSummary& summary, const QByteArray& pdfSha256);

// The summary PDF, then its twin (written last), in summary.pdf's folder;
// neither replaces a file.
RecordWriteResult writeSiteSummary(const SiteSummary& summary);
