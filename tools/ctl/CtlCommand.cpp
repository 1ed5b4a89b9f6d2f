#include "CtlCommand.h"

#include "CommandTable.h"
#include "commissioning/Coefficient.h"
#include "commissioning/Record.h"
#include "tools/service/Intervals.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace {

using ctltable::Kind;
using ctltable::Opt;

// What the arguments say before the command is known.
struct Reading {
    CtlOptions options;
    QStringList positional;
    std::vector<Opt> given;
    bool help = false;
    bool version = false;
    QString error;
};

CtlParseResult failure(const QString& error) {
    CtlParseResult result;
    result.error = error;
    return result;
}

// "a", "a and b", "a, b and c".
QString joined(const QStringList& words) {
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") +
           words.last();
}

// A flag only as itself; an option with a value also as "--name=VALUE".
const ctltable::Option* findOption(const QString& arg) {
    for (const ctltable::Option& o : ctltable::options()) {
        const QString name = QLatin1String(o.name);
        if (arg == name || (o.alias && arg == QLatin1String(o.alias)) ||
            (o.kind != Kind::Flag && arg.startsWith(name + QLatin1Char('='))))
            return &o;
    }
    return nullptr;
}

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

bool takeNumber(const ctltable::Option& o, const QString& text, CtlOptions& options,
                QString* error) {
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    if (ok && number >= o.min && number <= o.max) {
        o.setNumber(options, number);
        return true;
    }
    const QString name = QLatin1String(o.name);
    const QString min = QString::number(o.min);
    const QString max = QString::number(o.max);
    if (o.kind == Kind::Port)
        *error = QStringLiteral("%1 wants a port number from %2 to %3, not \"%4\"")
                     .arg(name, min, max, text);
    else if (o.kind == Kind::Count)
        *error = QStringLiteral("%1 wants a positive whole number, not \"%2\"").arg(name, text);
    else
        *error = QStringLiteral("%1 wants a whole number from %2 to %3, not \"%4\"")
                     .arg(name, min, max, text);
    return false;
}

// The counts command's texts: a time with its zone, a separator character.
QString countsTextProblem(Kind kind, const QString& name, const QString& text) {
    if (kind == Kind::Time)
        return parseIsoSeconds(text)
                   ? QString()
                   : QStringLiteral("%1 wants a time such as 2026-12-07T14:15:00Z or "
                                    "2026-12-07T15:15:00+01:00, not \"%2\"")
                         .arg(name, text);
    if (text.size() != 1 || text[0].isLetterOrNumber() || text[0] == QLatin1Char('"') ||
        text[0] == QLatin1Char('\n') || text[0] == QLatin1Char('.'))
        return QStringLiteral("%1 wants one character that is no letter, digit, quote or "
                              "point, such as ; or ,")
            .arg(name);
    return QString();
}

// The record's file names and labels, checked as they are taken.
bool takeText(const ctltable::Option& o, const QString& text, CtlOptions& options, QString* error) {
    const QString name = QLatin1String(o.name);
    QString* value = o.text(options);
    if (o.kind == Kind::Label) {
        // Blanks around a label are never meant; an empty one is no label.
        *value = text.trimmed();
        *error = labelProblem(name, *value);
        return error->isEmpty();
    }
    *value = text;
    QString why;
    if (o.kind == Kind::Ratio) {
        if (!parseTolerance(text, &why))
            *error = QStringLiteral("%1: %2").arg(name, why);
    } else if (o.kind == Kind::Fact) {
        if (!parseAmount(text, &why))
            *error = QStringLiteral("%1: %2").arg(name, why);
    } else if (o.kind == Kind::Unit) {
        *value = text.trimmed();
        *error = labelProblem(name, *value);
        if (error->isEmpty() && (value->isEmpty() || value->toUcs4().size() > kUnitMaxLength))
            *error = QStringLiteral("%1 wants a unit of 1 to %2 characters, such as kWh or m³")
                         .arg(name, QString::number(kUnitMaxLength));
    } else if (o.kind == Kind::Time || o.kind == Kind::Char) {
        *error = countsTextProblem(o.kind, name, text);
    } else if (text.isEmpty()) {
        *error = QStringLiteral("%1 needs a file name").arg(name);
    } else {
        *error = pathProblem(name, text);
        if (error->isEmpty() && o.kind == Kind::PdfFile)
            recordPaths(text, {}, 0, error);
    }
    return error->isEmpty();
}

bool takeOption(const QStringList& args, qsizetype& i, const ctltable::Option& o, Reading& r) {
    r.given.push_back(o.id);
    if (o.kind == Kind::Flag) {
        r.help = r.help || o.id == Opt::Help;
        r.version = r.version || o.id == Opt::Version;
        if (o.flag)
            r.options.*o.flag = true;
        return true;
    }
    const auto text = optionValue(args, i, QLatin1String(o.name), &r.error);
    if (!text)
        return false;
    return o.setNumber ? takeNumber(o, *text, r.options, &r.error)
                       : takeText(o, *text, r.options, &r.error);
}

// "-0.1" is a (negative) amount for the coefficient command to refuse, not an option.
bool looksLikeNumber(const QString& arg) {
    return arg.size() > 1 && (arg[1].isDigit() || arg[1] == QLatin1Char('.'));
}

// Options may stand before or after the command and its argument.
bool readArguments(const QStringList& args, Reading& r) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (const ctltable::Option* o = findOption(arg)) {
            if (!takeOption(args, i, *o, r))
                return false;
        } else if (arg == QLatin1String("--")) {
            r.positional += args.mid(i + 1);
            break;
        } else if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-") &&
                   !looksLikeNumber(arg)) {
            r.error = QStringLiteral("unknown option %1").arg(arg);
            return false;
        } else {
            r.positional << arg;
        }
    }
    return true;
}

QStringList commandNames(const std::vector<const ctltable::Command*>& commands) {
    QStringList names;
    for (const ctltable::Command* command : commands)
        names << QLatin1String(command->name);
    return names;
}

// A meter's fact or its unit: named apart from the command's other options.
bool isFact(const ctltable::Option& o) {
    return o.kind == Kind::Fact || o.kind == Kind::Unit;
}

// "--x and --y belong to the c command": every option the same commands take
// (the facts apart).
QString belongsText(Opt id) {
    const auto taking = ctltable::commandsTaking(id);
    const bool fact = isFact(ctltable::option(id));
    QStringList names;
    for (const ctltable::Option& o : ctltable::options()) {
        if (ctltable::commandsTaking(o.id) == taking && isFact(o) == fact)
            names << QLatin1String(o.name);
    }
    return QStringLiteral("%1 %2 to the %3 %4")
        .arg(joined(names),
             names.size() == 1 ? QStringLiteral("belongs") : QStringLiteral("belong"),
             joined(commandNames(taking)),
             taking.size() == 1 ? QStringLiteral("command") : QStringLiteral("commands"));
}

// The first option given that the command does not take, in the table's order.
QString misplacedOption(const ctltable::Command& command, const std::vector<Opt>& given) {
    for (const ctltable::Option& o : ctltable::options()) {
        if (std::find(given.begin(), given.end(), o.id) == given.end() ||
            ctltable::takes(command, o.id))
            continue;
        for (const auto& [refused, text] : command.refusals) {
            if (refused == o.id)
                return QLatin1String(text);
        }
        return belongsText(o.id);
    }
    return {};
}

// A command's name is one word, or two for the commands of a site ("site
// commission"): the name taken from the front of positional.
QString takeCommandName(QStringList& positional) {
    QString name = positional.takeFirst();
    if (name == QLatin1String("site") && !positional.isEmpty())
        name += QLatin1Char(' ') + positional.takeFirst();
    return name;
}

// --help and --version stand for the whole line; --help before or after a
// command's name is that command's help.
CtlParseResult helpOrVersion(Reading& r) {
    CtlParseResult result;
    result.options = CtlOptions{};
    result.options->command = r.help ? CtlOptions::Command::Help : CtlOptions::Command::Version;
    if (r.help && !r.positional.isEmpty()) {
        const QString name = takeCommandName(r.positional);
        if (ctltable::findCommand(name))
            result.options->helpCommand = name;
    }
    return result;
}

// counts takes --relay as a name of its own, not commission's label.
void relayForCounts(Reading& r) {
    for (Opt& id : r.given) {
        if (id == Opt::Relay) {
            id = Opt::RelayName;
            r.options.counts.relay = r.options.record.relay;
            r.options.record.relay.clear();
        }
    }
}

// --set-total NAME CHANNEL VALUE: the channel and the value stand after the
// option's NAME, as arguments of counts.
QString setTotalArguments(Reading& r) {
    if (r.options.counts.setTotalRelay.isEmpty())
        return {};
    if (r.positional.size() < 2)
        return QStringLiteral("--set-total needs NAME CHANNEL VALUE");
    bool ok = false;
    const int channel = r.positional.takeFirst().toInt(&ok);
    if (!ok || channel < 1 || channel > 8)
        return QStringLiteral("--set-total: CHANNEL is 1..6 (inputs) or 7, 8 (outputs V1, V2)");
    const QString value = r.positional.takeFirst();
    const double number = QLocale::c().toDouble(value, &ok);
    if (!ok || !std::isfinite(number))
        return QStringLiteral("--set-total: VALUE is a number with \".\" as the decimal point, "
                              "not \"%1\"")
            .arg(value);
    r.options.counts.setTotalChannel = channel;
    r.options.counts.setTotalValue = value;
    return {};
}

// The options of counts that only go together.
QString countsConflict(const CtlOptions& o) {
    const bool printing = o.csv || o.json || !o.counts.relay.isEmpty() ||
                          !o.counts.from.isEmpty() || !o.counts.to.isEmpty() ||
                          !o.counts.database.isEmpty();
    if (!o.counts.setTotalRelay.isEmpty() && printing)
        return QStringLiteral("--set-total prints nothing: it takes only --socket");
    if (o.counts.setTotalRelay.isEmpty() && !o.service.socket.isEmpty())
        return QStringLiteral("--socket goes with --set-total");
    if (o.csv && o.json)
        return QStringLiteral("--csv and --json: give one of them");
    if (!o.csv && (!o.counts.separator.isEmpty() || o.decimalComma))
        return QStringLiteral("--separator and --decimal-comma go with --csv");
    if (o.decimalComma && o.counts.separator == QLatin1String(","))
        return QStringLiteral("--decimal-comma needs another --separator than \",\", such as ;");
    const auto from = parseIsoSeconds(o.counts.from);
    const auto to = parseIsoSeconds(o.counts.to);
    if (from && to && *from > *to)
        return QStringLiteral("--from is after --to");
    return {};
}

// status stands alone; pause and resume name a relay.
QString serviceProblem(const CtlOptions& o) {
    const QString& action = o.serviceAction;
    if (action == QLatin1String("status"))
        return o.service.relay.isEmpty()
                   ? QString()
                   : QStringLiteral("unexpected argument \"%1\"").arg(o.service.relay);
    if (action != QLatin1String("pause") && action != QLatin1String("resume"))
        return QStringLiteral("unknown action \"%1\": status, pause NAME or resume NAME")
            .arg(action);
    if (o.service.relay.isEmpty())
        return QStringLiteral("service %1 needs the relay's NAME").arg(action);
    if (o.json)
        return QStringLiteral("--json goes with service status");
    return {};
}

// The command's arguments from what stands beside the options; an error, or
// nothing.
QString takeArguments(const ctltable::Command& command, Reading& r) {
    const std::optional<Opt> instead = command.insteadOfArgument;
    if (instead && std::find(r.given.begin(), r.given.end(), *instead) != r.given.end()) {
        if (!r.positional.isEmpty())
            return QStringLiteral("%1 stands for %2: give one of them, not both")
                .arg(QLatin1String(ctltable::option(*instead).name),
                     QLatin1String(command.argument));
    } else if (command.argument) {
        if (r.positional.isEmpty())
            return QLatin1String(command.missing);
        r.options.*command.destination = r.positional.takeFirst();
        if (command.secondDestination && !r.positional.isEmpty())
            *command.secondDestination(r.options) = r.positional.takeFirst();
    }
    if (!r.positional.isEmpty())
        return QStringLiteral("unexpected argument \"%1\"").arg(r.positional.first());
    return {};
}

} // namespace

CtlParseResult parseCommandLine(const QStringList& args) {
    Reading r;
    for (const ctltable::Option& o : ctltable::options()) {
        if (o.byDefault)
            o.setNumber(r.options, o.byDefault);
    }
    if (!readArguments(args, r))
        return failure(r.error);
    if (r.help || r.version)
        return helpOrVersion(r);
    if (r.positional.isEmpty())
        return failure(QStringLiteral("no command given"));
    const QString name = takeCommandName(r.positional);
    const ctltable::Command* command = ctltable::findCommand(name);
    if (name == QLatin1String("site"))
        return failure(QStringLiteral(
            "site needs what to do: site commission SITE.json, site audit SITE.json"));
    if (!command)
        return failure(QStringLiteral("unknown command \"%1\"").arg(name));
    r.options.command = command->id;
    if (command->id == CtlOptions::Command::Counts) {
        relayForCounts(r);
        if (const QString error = setTotalArguments(r); !error.isEmpty())
            return failure(error);
    }
    if (const QString error = takeArguments(*command, r); !error.isEmpty())
        return failure(error);
    if (const QString error = misplacedOption(*command, r.given); !error.isEmpty())
        return failure(error);
    const QString conflict = command->id == CtlOptions::Command::Counts ? countsConflict(r.options)
                             : command->id == CtlOptions::Command::Service
                                 ? serviceProblem(r.options)
                                 : QString();
    if (!conflict.isEmpty())
        return failure(conflict);
    CtlParseResult result;
    result.options = r.options;
    return result;
}

// ---- help ------------------------------------------------------------------

namespace {

constexpr int kWidth = 79;  // the longest line of the help
constexpr int kColumn = 23; // where the text beside a term starts

// The text in lines of at most width characters, broken at blanks and at
// every "\n".
QStringList wrapped(const QString& text, int width) {
    QStringList lines;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QString line;
        for (const QString& word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
                lines << line;
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines << line;
    }
    return lines;
}

// "  term                 text", the text wrapped in its column; a term too
// long for its column stands on lines of its own.
QString item(const QString& term, const QString& text, int indent = 2) {
    const QStringList lines = wrapped(text, kWidth - kColumn);
    QString out = QString(indent, QLatin1Char(' ')) + term;
    qsizetype first = 0;
    if (out.size() <= kColumn - 2) {
        out = out.leftJustified(kColumn) + lines.first();
        first = 1;
    }
    out += QLatin1Char('\n');
    for (qsizetype i = first; i < lines.size(); ++i)
        out += QString(kColumn, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
    return out;
}

// "--port N", "-h, --help".
QString optionTerm(const ctltable::Option& o) {
    QString term = o.alias ? QLatin1String(o.alias) + QStringLiteral(", ") : QString();
    term += QLatin1String(o.name);
    if (o.metavar)
        term += QLatin1Char(' ') + QLatin1String(o.metavar);
    return term;
}

// What an option does, with its bounds and default.
QString optionHelp(const ctltable::Option& o) {
    const QString help = QLatin1String(o.help);
    const QString metavar = QLatin1String(o.metavar ? o.metavar : "");
    switch (o.kind) {
    case Kind::Port:
        return QStringLiteral("%1; %2: %3..%4").arg(help, metavar).arg(o.min).arg(o.max);
    case Kind::Count:
        return QStringLiteral("%1; %2: %3 or more").arg(help, metavar).arg(o.min);
    case Kind::Bound:
        return QStringLiteral("%1; %2: %3..%4, default %5")
            .arg(help, metavar)
            .arg(o.min)
            .arg(o.max)
            .arg(o.byDefault);
    case Kind::Label:
        if (o.id == Opt::RelayName)
            return help;
        return QStringLiteral("%1, shown on the record; at most %2 characters")
            .arg(help)
            .arg(kLabelMaxLength);
    case Kind::Ratio:
        return QStringLiteral("%1; %2: 1e-9..1, default %3")
            .arg(help, metavar, QLatin1String(kDefaultTolerance));
    case Kind::Flag:
    case Kind::PdfFile:
    case Kind::File:
    case Kind::Fact:
    case Kind::Unit:
    case Kind::Time:
    case Kind::Char:
        break;
    }
    return help;
}

// "[--json]" and the like. An option that only shows something (--help) is
// no part of a synopsis; one that stands before the command (--port) only
// where asked for.
QStringList synopsisWords(const ctltable::Command& command, bool beforeCommand) {
    QStringList words;
    for (Opt id : command.options) {
        const ctltable::Option& o = ctltable::option(id);
        if ((o.flag || o.setNumber || o.text) && (id == Opt::Port) == beforeCommand)
            words << QLatin1Char('[') + optionTerm(o) + QLatin1Char(']');
    }
    return words;
}

// "commission PLAN [--record FILE.pdf] ...", standing indent characters from
// the line's start, broken before a word that would pass the line's end; the
// next line starts in the column of the text beside a term.
QString synopsis(const ctltable::Command& command, int indent) {
    QString line = QLatin1String(command.name);
    if (command.argument)
        line += QLatin1Char(' ') + QLatin1String(command.argument);
    if (command.secondArgument)
        line += QLatin1Char(' ') + QLatin1String(command.secondArgument);
    const QString hang(kColumn, QLatin1Char(' '));
    QString text;
    for (const QString& word : synopsisWords(command, false)) {
        if (indent + line.size() + 1 + word.size() > kWidth) {
            text += line + QLatin1Char('\n');
            line = hang + word;
            indent = 0;
        } else {
            line += QLatin1Char(' ') + word;
        }
    }
    return text + line;
}

// The options several commands take (or none), each with the commands that take it.
QString sharedOptions() {
    QString out = QStringLiteral("\nOptions:\n");
    for (const ctltable::Option& o : ctltable::options()) {
        const auto taking = ctltable::commandsTaking(o.id);
        if (taking.size() == 1)
            continue;
        QString help = optionHelp(o);
        if (!taking.empty() && taking.size() < ctltable::commands().size())
            help += QStringLiteral("; for %1").arg(joined(commandNames(taking)));
        out += item(optionTerm(o), help);
    }
    return out;
}

QString columns(const ctltable::Command& command) {
    if (command.columns.empty())
        return {};
    QString out = QStringLiteral("\nColumns of %1:\n").arg(QLatin1String(command.name));
    for (const ctltable::Term& column : command.columns)
        out += item(QLatin1String(column.term), QLatin1String(column.text));
    return out;
}

// The exit statuses, of one command or of all, and what they mean for each.
QString exitStatuses(const ctltable::Command* only) {
    QString out = QStringLiteral("\nExit status:\n");
    for (const ctltable::ExitStatus& status : ctltable::exitStatuses()) {
        if (!only || status.commands.empty() ||
            std::find(status.commands.begin(), status.commands.end(), only->id) !=
                status.commands.end())
            out += item(QLatin1String(status.code), QLatin1String(status.text));
    }
    for (const ctltable::Command& command : ctltable::commands()) {
        if ((!only || only == &command) && *command.exitNote)
            out += wrapped(QLatin1String(command.exitNote), kWidth).join(QLatin1Char('\n')) +
                   QLatin1Char('\n');
    }
    return out;
}

QString describe(const ctltable::Command& command) {
    QString text = QLatin1String(command.summary);
    if (*command.details)
        text += QStringLiteral(".\n") + QLatin1String(command.details);
    return text;
}

QString commandHelp(const ctltable::Command& command) {
    QString usage = QStringLiteral("Usage: ktr6ctl ");
    for (const QString& word : synopsisWords(command, true))
        usage += word + QLatin1Char(' ');
    QString out = usage + synopsis(command, int(usage.size())) + QLatin1Char('\n');
    out += wrapped(describe(command), kWidth).join(QLatin1Char('\n'));
    out += QStringLiteral("\n\nOptions:\n");
    for (Opt id : command.options)
        out += item(optionTerm(ctltable::option(id)), optionHelp(ctltable::option(id)));
    return out + columns(command) + exitStatuses(&command);
}

QString wholeHelp() {
    QString out =
        QStringLiteral("Usage: ktr6ctl [%1] COMMAND\n"
                       "  or:  ktr6ctl COMMAND --help\n"
                       "Reads, writes and watches a KTR6 impulse summing relay on the serial port\n"
                       "named in the settings file KTR.INI beside the program.\n"
                       "\n"
                       "Commands:\n")
            .arg(optionTerm(ctltable::option(Opt::Port)));
    QString notes;
    for (const ctltable::Command& command : ctltable::commands()) {
        out += item(synopsis(command, 2), describe(command));
        for (Opt id : command.options) {
            if (ctltable::commandsTaking(id).size() == 1)
                out += item(optionTerm(ctltable::option(id)), optionHelp(ctltable::option(id)), 4);
        }
        notes += columns(command);
    }
    return out + notes + sharedOptions() +
           QStringLiteral(
               "\n"
               "Environment:\n"
               "  KTR6_PROGRAM_DIR     directory holding KTR.INI and the comN links, instead\n"
               "                       of the program's own directory\n") +
           exitStatuses(nullptr);
}

} // namespace

QString usageText(const QString& command) {
    const ctltable::Command* found = ctltable::findCommand(command);
    return found ? commandHelp(*found) : wholeHelp();
}

QString versionText() {
    return QStringLiteral("ktr6ctl %1.%2.%3\n")
        .arg(QString::number(KTR6_VERSION_MAJOR), QString::number(KTR6_VERSION_MINOR),
             QString::number(KTR6_VERSION_PATCH));
}
