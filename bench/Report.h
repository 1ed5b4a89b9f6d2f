#pragma once
// How ktr6-bench reports: markdown on standard output, figures in a fixed
// form, and the one way out when a measurement cannot be made.

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace bench {

QTextStream& out();
// "2.50" for fixed(2.5, 2).
QString fixed(double value, int decimals);
// "1,234,567": thousands separated by commas whatever the locale.
QString grouped(qint64 value);
// A markdown table; the first textColumns columns are text (left-aligned),
// the rest figures (right-aligned).
void printTable(const QStringList& header, const QList<QStringList>& rows, int textColumns = 1);
// Prints the reason to stderr and ends the program with status 1.
[[noreturn]] void fail(const QString& what);

} // namespace bench
