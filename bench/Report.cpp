#include "Report.h"

#include <cstdio>
#include <cstdlib>

namespace bench {

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

QString fixed(double value, int decimals) {
    return QString::number(value, 'f', decimals);
}

QString grouped(qint64 value) {
    QString digits = QString::number(value < 0 ? -value : value);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return value < 0 ? QLatin1Char('-') + digits : digits;
}

void printTable(const QStringList& header, const QList<QStringList>& rows, int textColumns) {
    out() << "| " << header.join(QStringLiteral(" | ")) << " |\n|";
    for (qsizetype i = 0; i < header.size(); ++i)
        out() << (i < textColumns ? "---|" : "---:|");
    out() << "\n";
    for (const QStringList& row : rows)
        out() << "| " << row.join(QStringLiteral(" | ")) << " |\n";
    out() << "\n";
    out().flush();
}

void fail(const QString& what) {
    out().flush();
    std::fprintf(stderr, "ktr6-bench: %s\n", qPrintable(what));
    std::exit(1);
}

} // namespace bench
