// ktr6-bench: measures the tool against the simulated relay on a pseudo-terminal and prints
// markdown for scripts/bench to put together.
//
//   ktr6-bench online [--records N] [--seconds S]   record throughput, losses, stalls
//   ktr6-bench params [--repeat N]                  parameter read and write times
//   ktr6-bench startup [--repeat N]                 main window start-up, in this process
//   ktr6-bench menu-pos                             where "Status" sits in the main window
//
// Everything runs offscreen unless QT_QPA_PLATFORM says otherwise.

#include "Benches.h"
#include "protocol/OnlineStream.h"
#include "resources/Resources.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLocale>

#include <cstdio>

using namespace bench;

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ktr6-bench"));
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures ktr6 against the simulated relay; prints markdown."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("what"),
                                 QStringLiteral("online, params, startup or menu-pos"));
    parser.addOption({QStringLiteral("records"),
                      QStringLiteral("Records for the full-speed on-line runs (default 200000)."),
                      QStringLiteral("N"), QStringLiteral("200000")});
    parser.addOption({QStringLiteral("seconds"),
                      QStringLiteral("Length of each line-rate on-line run (default 3)."),
                      QStringLiteral("S"), QStringLiteral("3")});
    parser.addOption({QStringLiteral("repeat"),
                      QStringLiteral("Repetitions for params and startup (default 5)."),
                      QStringLiteral("N"), QStringLiteral("5")});
    parser.process(app);
    const QStringList what = parser.positionalArguments();
    if (what.size() != 1)
        parser.showHelp(2);

    const qint64 records = parser.value(QStringLiteral("records")).toLongLong();
    const double seconds = parser.value(QStringLiteral("seconds")).toDouble();
    const int repeat = parser.value(QStringLiteral("repeat")).toInt();
    if (records <= 0 || records % kChannels != 0 || seconds <= 0 || repeat < 2) {
        std::fprintf(stderr, "ktr6-bench: --records must be a positive multiple of 8, --seconds "
                             "positive, --repeat at least 2\n");
        return 2;
    }

    const QString command = what.first();
    if (command == QLatin1String("online"))
        benchOnline(records, seconds);
    else if (command == QLatin1String("params"))
        benchParams(repeat);
    else if (command == QLatin1String("startup"))
        benchStartup(repeat);
    else if (command == QLatin1String("menu-pos"))
        printMenuPosition();
    else
        parser.showHelp(2);
    return 0;
}
