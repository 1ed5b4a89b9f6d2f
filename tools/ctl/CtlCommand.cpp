#include "CtlCommand.h"

#include "commissioning/Record.h"

namespace {

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
std::optional<QString> optionValue(const QStringList& args, qsizetype& i, const QString& name,
                                   QString* error) {
    const QString& arg = args[i];
    if (arg.startsWith(name + QLatin1Char('=')))
        return arg.mid(name.size() + 1);
    if (i + 1 >= args.size()) {
        *error = QStringLiteral("%1 needs a value").arg(name);
        return std::nullopt;
    }
    return args[++i];
}

bool isOption(const QString& arg, const QString& name) {
    return arg == name || arg.startsWith(name + QLatin1Char('='));
}

// --max-numerator and --max-divisor: 1..65535.
bool boundValue(const QStringList& args, qsizetype& i, const QString& name, int* bound,
                QString* error) {
    const auto text = optionValue(args, i, name, error);
    if (!text)
        return false;
    bool ok = false;
    const int value = text->toInt(&ok);
    if (!ok || value < 1 || value > 65535) {
        *error =
            QStringLiteral("%1 wants a whole number from 1 to 65535, not \"%2\"").arg(name, *text);
        return false;
    }
    *bound = value;
    return true;
}

// commission's options: where each one's value goes; nothing for any other.
std::pair<QString, QString*> recordOption(const QString& arg, CtlOptions::Record& record) {
    const std::pair<const char*, QString*> options[] = {{"--record", &record.pdf},
                                                        {"--journal", &record.journal},
                                                        {"--site", &record.site},
                                                        {"--relay", &record.relay},
                                                        {"--by", &record.technician}};
    for (const auto& [name, value] : options) {
        if (isOption(arg, QLatin1String(name)))
            return {QLatin1String(name), value};
    }
    return {};
}

// Takes the value of a commission option and checks it.
bool recordValue(const QStringList& args, qsizetype& i, const QString& name, QString* value,
                 QString* error) {
    const auto text = optionValue(args, i, name, error);
    if (!text)
        return false;
    if (name == QLatin1String("--record") || name == QLatin1String("--journal")) {
        *value = *text;
        if (text->isEmpty())
            *error = QStringLiteral("%1 needs a file name").arg(name);
        else if (name == QLatin1String("--record"))
            recordPaths(*text, {}, 0, error);
        return error->isEmpty();
    }
    // Blanks around a label are never meant; an empty one is no label.
    *value = text->trimmed();
    *error = labelProblem(name, *value);
    return error->isEmpty();
}

// "-0.1" is a (negative) amount for the coefficient command to refuse, not an option.
bool looksLikeNumber(const QString& arg) {
    return arg.size() > 1 && (arg[1].isDigit() || arg[1] == QLatin1Char('.'));
}

} // namespace

CtlParseResult parseCommandLine(const QStringList& args) {
    CtlParseResult result;
    CtlOptions options;
    QStringList positional;
    bool help = false;
    bool version = false;
    bool bounds = false; // --max-numerator or --max-divisor given
    bool recordGiven = false;
    QString error;

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            help = true;
        } else if (arg == QLatin1String("--version")) {
            version = true;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg == QLatin1String("--save")) {
            options.save = true;
        } else if (isOption(arg, QStringLiteral("--port"))) {
            const auto text = optionValue(args, i, QStringLiteral("--port"), &error);
            if (!text)
                break;
            bool ok = false;
            const int number = text->toInt(&ok);
            if (!ok || number < 1 || number > 32767) {
                error = QStringLiteral("--port wants a port number from 1 to 32767, not \"%1\"")
                            .arg(*text);
                break;
            }
            options.port = int16_t(number);
        } else if (isOption(arg, QStringLiteral("--count"))) {
            const auto text = optionValue(args, i, QStringLiteral("--count"), &error);
            if (!text)
                break;
            bool ok = false;
            const qint64 count = text->toLongLong(&ok);
            if (!ok || count < 1) {
                error =
                    QStringLiteral("--count wants a positive whole number, not \"%1\"").arg(*text);
                break;
            }
            options.count = count;
        } else if (isOption(arg, QStringLiteral("--max-numerator")) ||
                   isOption(arg, QStringLiteral("--max-divisor"))) {
            const bool numerator = isOption(arg, QStringLiteral("--max-numerator"));
            if (!boundValue(args, i, arg.section(QLatin1Char('='), 0, 0),
                            numerator ? &options.maxNumerator : &options.maxDivisor, &error))
                break;
            bounds = true;
        } else if (const auto [name, value] = recordOption(arg, options.record); value) {
            if (!recordValue(args, i, name, value, &error))
                break;
            recordGiven = true;
        } else if (arg == QLatin1String("--")) {
            positional += args.mid(i + 1);
            break;
        } else if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-") &&
                   !looksLikeNumber(arg)) {
            error = QStringLiteral("unknown option %1").arg(arg);
            break;
        } else {
            positional << arg;
        }
    }
    if (!error.isEmpty()) {
        result.error = error;
        return result;
    }
    if (help || version) {
        result.options = CtlOptions{};
        result.options->command = help ? CtlOptions::Command::Help : CtlOptions::Command::Version;
        return result;
    }
    if (positional.isEmpty()) {
        result.error = QStringLiteral("no command given");
        return result;
    }

    const QString command = positional.takeFirst();
    if (command == QLatin1String("read")) {
        options.command = CtlOptions::Command::Read;
    } else if (command == QLatin1String("write")) {
        options.command = CtlOptions::Command::Write;
        if (positional.isEmpty()) {
            result.error = QStringLiteral("write needs a parameter file (or - for standard input)");
            return result;
        }
        options.file = positional.takeFirst();
    } else if (command == QLatin1String("monitor")) {
        options.command = CtlOptions::Command::Monitor;
    } else if (command == QLatin1String("scan")) {
        options.command = CtlOptions::Command::Scan;
    } else if (command == QLatin1String("commission")) {
        options.command = CtlOptions::Command::Commission;
        if (positional.isEmpty()) {
            result.error = QStringLiteral("commission needs a plan, a parameter file (or - for "
                                          "standard input)");
            return result;
        }
        options.file = positional.takeFirst();
    } else if (command == QLatin1String("coefficient") || command == QLatin1String("diff")) {
        const bool diff = command == QLatin1String("diff");
        options.command = diff ? CtlOptions::Command::Diff : CtlOptions::Command::Coefficient;
        if (positional.isEmpty()) {
            result.error =
                diff ? QStringLiteral("diff needs a parameter file (or - for standard input)")
                     : QStringLiteral("coefficient needs an amount, such as 0.1 or 40/400");
            return result;
        }
        (diff ? options.file : options.amount) = positional.takeFirst();
    } else {
        result.error = QStringLiteral("unknown command \"%1\"").arg(command);
        return result;
    }
    if (!positional.isEmpty()) {
        result.error = QStringLiteral("unexpected argument \"%1\"").arg(positional.first());
        return result;
    }
    using C = CtlOptions::Command;
    const bool coefficient = options.command == C::Coefficient;
    if (options.json && options.command != C::Read && options.command != C::Scan && !coefficient) {
        result.error = QStringLiteral("--json belongs to the read, scan and coefficient commands");
        return result;
    }
    if (options.save && options.command != C::Scan) {
        result.error = QStringLiteral("--save belongs to the scan command");
        return result;
    }
    if (options.port && options.command == C::Scan) {
        result.error = QStringLiteral("scan probes every port; it takes no --port");
        return result;
    }
    if (bounds && !coefficient) {
        result.error =
            QStringLiteral("--max-numerator and --max-divisor belong to the coefficient command");
        return result;
    }
    if (options.port && coefficient) {
        result.error =
            QStringLiteral("--port does not belong to the coefficient command: it uses no port");
        return result;
    }
    if (recordGiven && options.command != C::Commission) {
        result.error = QStringLiteral(
            "--record, --journal, --site, --relay and --by belong to the commission command");
        return result;
    }
    if (options.count && options.command != CtlOptions::Command::Monitor) {
        result.error = QStringLiteral("--count belongs to the monitor command");
        return result;
    }
    result.options = options;
    return result;
}

QString usageText() {
    return QStringLiteral(
        "Usage: ktr6ctl [--port N] COMMAND\n"
        "Reads, writes and watches a KTR6 impulse summing relay on the serial port\n"
        "named in the settings file KTR.INI beside the program.\n"
        "\n"
        "Commands:\n"
        "  read [--json]        read the parameter set and print it as a table, or as\n"
        "                       one line of JSON:\n"
        "                       {\"firmware\":\"6\",\"inputs\":[{\"numerator\":16,\"divisor\":1,\n"
        "                       \"minus\":false}, ... six ...],\"output\":5}\n"
        "  write FILE           write the parameter set in FILE (the JSON of read --json;\n"
        "                       - reads standard input) and verify it by reading it back.\n"
        "                       numerator and divisor 0..65535, output 0..255, all six\n"
        "                       inputs required; firmware is ignored; at most 1 MiB.\n"
        "                       An input may add \"amount\", the amount per impulse it\n"
        "                       is meant to count (\"0.1\", \"40/400\" or a number, read as\n"
        "                       coefficient reads it): checked, for information only\n"
        "  monitor [--count N]  read the parameter set, then print the header line\n"
        "                       time,channel,total and one CSV line per counted record\n"
        "                       until Ctrl+C, SIGTERM or N records\n"
        "  scan [--json] [--save]\n"
        "                       find the relay: probe every port COM1..COM15 whose\n"
        "                       device exists, all at the same time, with one \"*\" each\n"
        "                       (KTR.INI's baud rate and handshaking; 9600 baud and\n"
        "                       none without KTR.INI), and print port, device and\n"
        "                       status: found (with the firmware), no answer, other\n"
        "                       reply, busy (held by another program; nothing sent),\n"
        "                       no permission, or error (with the reason). --json: a\n"
        "                       list of {\"port\":4,\"device\":\"/dev/ttyUSB0\",\n"
        "                       \"status\":\"found\",\"firmware\":\"6\"}. Exit 0 when a relay\n"
        "                       was found, 1 when none, 2 for a damaged KTR.INI.\n"
        "                       --save: when exactly one relay was found, write its\n"
        "                       port into KTR.INI (only the Port line changes; a\n"
        "                       missing file is made); with none or several, write\n"
        "                       nothing and end with 1\n"
        "  coefficient AMOUNT [--max-numerator N] [--max-divisor M] [--json]\n"
        "                       the fraction n/d closest to AMOUNT, the amount per\n"
        "                       impulse: a decimal number (0.1, 1.5e-3) or a quotient of\n"
        "                       two (40/400) in 1e-9..1e9, \".\" as the decimal point, at\n"
        "                       most 200 characters; n 1..N (default 255), d 1..M\n"
        "                       (default 65535). Prints n, d, the fraction's value and\n"
        "                       its relative error |n/d - AMOUNT| / AMOUNT; an error\n"
        "                       over 0.001 adds a warning on stderr. --json prints\n"
        "                       {\"numerator\":3,\"divisor\":20,\"value\":0.15,\n"
        "                       \"relative_error\":0}. Needs no port and no KTR.INI\n"
        "  diff FILE            read the parameter set and compare it with FILE (as write\n"
        "                       takes it; firmware is ignored): one line per difference\n"
        "                       on stdout, such as \"IN 3 divisor: device 30, file 31\",\n"
        "                       \"IN 2 sign: device minus, file plus\" or \"output: device\n"
        "                       5, file 6\"; a summary line on stderr\n"
        "  commission PLAN [--record FILE.pdf] [--site TEXT] [--relay TEXT] [--by TEXT]\n"
        "             [--journal FILE]\n"
        "                       read the device, write PLAN (a file as write takes it;\n"
        "                       - reads standard input) unless the device holds it\n"
        "                       already, compare the write's read-back with PLAN as\n"
        "                       diff does, and leave a record to print and sign: the\n"
        "                       PDF FILE.pdf and its JSON twin FILE.json (by default\n"
        "                       ktr6-record-YYYYMMDD-HHMMSS-COM<N>.pdf and .json in\n"
        "                       the current folder). Their paths go to stdout, the PDF\n"
        "                       first; an existing file is never replaced. --site,\n"
        "                       --relay (the relay's label) and --by (the technician):\n"
        "                       at most 80 characters each, shown on the record.\n"
        "                       --journal FILE appends one JSON line per run to FILE.\n"
        "                       Needs no display\n"
        "\n"
        "Columns of monitor:\n"
        "  time                 local time, 2024-05-17T14:03:07.250\n"
        "  channel              IN 1..IN 6 (inputs), V1 or V2 (outputs)\n"
        "  total                the channel's sum since the watch began:\n"
        "                       numerator/divisor per input record (minus subtracts),\n"
        "                       the output value per output record; 9 significant\n"
        "                       digits or more, whole sums exact, \".\" as the decimal\n"
        "                       point\n"
        "\n"
        "Options:\n"
        "  --port N             use port N (1 = COM1) instead of the settings file's\n"
        "  -h, --help           show this text\n"
        "  --version            show the program's version\n"
        "\n"
        "Environment:\n"
        "  KTR6_PROGRAM_DIR     directory holding KTR.INI and the comN links, instead\n"
        "                       of the program's own directory\n"
        "\n"
        "Exit status:\n"
        "  0                    success\n"
        "  1                    the device or the port failed\n"
        "  2                    bad usage or input (nothing was sent)\n"
        "  3                    diff: the device holds another set than FILE;\n"
        "                       commission: not verified (the differences on stderr)\n"
        "  4                    commission: the record or the journal could not be\n"
        "                       written (the outcome is on stderr)\n"
        "  128 + N              stopped by signal N (the port is closed first; a write\n"
        "                       finishes sending its block)\n"
        "monitor ends with 0 on Ctrl+C, SIGTERM or when the reader of its output goes\n"
        "away (monitor | head). commission ends with 0 when the set is verified, or\n"
        "the device held PLAN already (nothing written); with 1 when the device or\n"
        "the port failed (that too is recorded); with 2, nothing sent and nothing\n"
        "written, for bad usage or input, an existing record file or a journal that\n"
        "cannot be opened.\n");
}

QString versionText() {
    return QStringLiteral("ktr6ctl %1.%2.%3\n")
        .arg(QString::number(KTR6_VERSION_MAJOR), QString::number(KTR6_VERSION_MINOR),
             QString::number(KTR6_VERSION_PATCH));
}
