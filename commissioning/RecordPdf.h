#pragma once
// The commissioning record (or an audit's record) drawn for print: one A4 page in portrait, real
// text (searchable, copyable) in DejaVu Sans. Needs a QGuiApplication (the
// offscreen platform will do); QtGui only.

#include "Record.h"

#include <QByteArray>
#include <QString>

inline const QString kRecordFontFamily = QStringLiteral("DejaVu Sans");

// The PDF's bytes (record.pdf names the file in the footer; pdfSha256 is not
// used). *warning, when not empty afterwards, is a line for the user: the
// font is not installed, and another one stood in for it.
QByteArray recordPdf(const CommissionRecord& record, QString* warning);

// Checked before anything is sent: whether every character of every text
// the record as it stands would show (its labels, port, paths, plan and the
// page's own words) has a glyph in an installed font. Empty when so;
// otherwise, for a person, which characters no font has, or that there is
// no font at all.
QString recordFontProblem(const CommissionRecord& record);
