#pragma once
// The second run of a test under a decimal-comma locale (KTR6_TEST_LOCALE,
// set by ktr6_add_test's COMMA_LOCALE) must really run in it; a locale that
// is not generated would leave it silently in C. Call from initTestCase,
// after the application object has set the locale from the environment.

#include <QLocale>
#include <QTest>
#include <clocale>
#include <cstring>

inline void checkTestLocale() {
    const QByteArray wanted = qgetenv("KTR6_TEST_LOCALE");
    if (wanted.isEmpty())
        return;
    const std::lconv* numbers = std::localeconv();
    const QByteArray why =
        "the C library is not in the locale " + wanted + " (generate it: scripts/setup)";
    QVERIFY2(numbers && std::strcmp(numbers->decimal_point, ",") == 0, why.constData());
    QCOMPARE(QLocale::system().decimalPoint(), QStringLiteral(","));
}
