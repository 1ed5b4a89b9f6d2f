#include "CtlCommand.h"

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

} // namespace

CtlParseResult parseCommandLine(const QStringList& args) {
    CtlParseResult result;
    CtlOptions options;
    QStringList positional;
    bool help = false;
    bool version = false;
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
        } else if (arg == QLatin1String("--")) {
            positional += args.mid(i + 1);
            break;
        } else if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-")) {
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
    } else {
        result.error = QStringLiteral("unknown command \"%1\"").arg(command);
        return result;
    }
    if (!positional.isEmpty()) {
        result.error = QStringLiteral("unexpected argument \"%1\"").arg(positional.first());
        return result;
    }
    using C = CtlOptions::Command;
    if (options.json && options.command != C::Read && options.command != C::Scan) {
        result.error = QStringLiteral("--json belongs to the read and scan commands");
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
        "                       inputs required; firmware is ignored; at most 1 MiB\n"
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
        "  128 + N              stopped by signal N (the port is closed first; a write\n"
        "                       finishes sending its block)\n"
        "monitor ends with 0 on Ctrl+C, SIGTERM or when the reader of its output goes\n"
        "away (monitor | head).\n");
}

QString versionText() {
    return QStringLiteral("ktr6ctl %1.%2.%3\n")
        .arg(QString::number(KTR6_VERSION_MAJOR), QString::number(KTR6_VERSION_MINOR),
             QString::number(KTR6_VERSION_PATCH));
}
