#include "CommandInterpreter.h"

#include "SimDevice.h"

#include <QStringList>

#include <iterator>

namespace ktr6sim {

namespace {

using Result = CommandInterpreter::Result;

Result ok(const QString& text = QStringLiteral("ok")) {
    return {true, false, text};
}

Result error(const QString& text) {
    return {false, false, QStringLiteral("error: ") + text};
}

bool toInt(const QString& text, int min, int max, int* out) {
    bool good = false;
    const int value = text.toInt(&good);
    if (!good || value < min || value > max)
        return false;
    *out = value;
    return true;
}

QString describeParams(const SimDevice& device) {
    const ParamSet params = device.storedParams();
    const ReplyStyle style = device.replyStyle();
    return QStringLiteral("params %1 sign=%2 output=%3 variant=%4 style=%5 fault=%6")
        .arg(formatParamList(params), QString::number(params.signMask),
             QString::number(params.output), QString(QLatin1Char(style.variant)),
             fieldStyleName(style.fields), faultToString(device.fault()));
}

QString number(qint64 value) {
    return QString::number(value);
}

QString describeCounters(const SimDevice& device) {
    const SimCounters c = device.counters();
    return QStringLiteral("stats rx=%1 tx=%2 reads=%3 writes=%4 records=%5 dropped=%6 "
                          "closed=%7 quiet=%8 hangups=%9 reopens=%10 opens=%11 connected=%12 "
                          "portopen=%13 streaming=%14")
        .arg(number(c.bytesReceived), number(c.bytesSent), number(c.readRequests),
             number(c.writeBlocks), number(c.recordsSent), number(c.recordsDropped),
             number(c.recordsWhileClosed), number(c.recordsWhileQuiet), number(c.hangups),
             number(c.reopens), number(c.portOpens), number(device.isConnected()),
             number(device.pcSideOpen()), number(device.streaming()));
}

// One command line as a handler sees it, with the device and the stream it works on.
struct Call {
    SimDevice& device;
    StreamConfig& stream;
    const QString& line; // trimmed
    const QStringList& words;

    QString arg(int i) const { return words.value(i); }
    bool has(int i) const { return words.size() > i; }
};

Result restartStreamIfRunning(Call& c) {
    if (c.device.streaming())
        c.device.startStream(c.stream);
    return ok();
}

Result rec(Call& c) {
    int channel = 0;
    int count = 1;
    if (!toInt(c.arg(1), kFirstChannel, kLastChannel, &channel))
        return error(QStringLiteral("usage: rec CH [N], CH 1..8"));
    if (c.has(2) && !toInt(c.arg(2), 1, 1 << 30, &count))
        return error(QStringLiteral("N must be >= 1"));
    c.device.sendRecords(channel, count);
    return ok();
}

Result burst(Call& c) {
    const QByteArray pattern = c.has(2) ? c.arg(2).toLatin1() : QByteArray("1");
    int count = 0;
    if (!toInt(c.arg(1), 1, 1 << 30, &count) || !validChannelPattern(pattern))
        return error(QStringLiteral("usage: burst N [PATTERN], PATTERN of digits 1..8"));
    c.device.sendBurst(count, pattern);
    return ok();
}

Result rate(Call& c) {
    bool good = false;
    const double rate = c.arg(2).toDouble(&good);
    const bool off = c.arg(2) == QLatin1String("off");
    int channel = 0;
    if (!toInt(c.arg(1), kFirstChannel, kLastChannel, &channel) || (!off && (!good || rate < 0)))
        return error(QStringLiteral("usage: rate CH R|off"));
    std::map<int, double> rates = c.stream.rates;
    if (off)
        rates.erase(channel);
    else
        rates[channel] = rate;
    QString why;
    if (!ratesFitTheLine(rates, &why))
        return error(why);
    c.stream.rates = rates;
    if (c.stream.empty()) {
        c.device.stopStream();
        return ok(QStringLiteral("stream stopped"));
    }
    c.device.startStream(c.stream);
    return ok();
}

Result count(Call& c) {
    int limit = 0;
    if (c.arg(1) == QLatin1String("off"))
        c.stream.countLimit = -1;
    else if (toInt(c.arg(1), 0, 1 << 30, &limit))
        c.stream.countLimit = limit;
    else
        return error(QStringLiteral("usage: count N|off"));
    return restartStreamIfRunning(c);
}

Result start(Call& c) {
    if (c.stream.empty())
        return error(QStringLiteral("nothing to stream: give a rate or a --burst first"));
    c.device.startStream(c.stream);
    return ok();
}

Result stop(Call& c) {
    c.device.stopStream();
    return ok();
}

Result filler(Call& c) {
    RecordStyle style = c.device.recordStyle();
    // The filler may contain blanks, so it is everything after the first blank.
    style.filler =
        c.has(1) ? c.line.mid(c.line.indexOf(QLatin1Char(' ')) + 1).toLatin1() : QByteArray();
    c.device.setRecordStyle(style);
    return ok();
}

Result split(Call& c) {
    RecordStyle style = c.device.recordStyle();
    if (!toInt(c.arg(1), 0, 60000, &style.splitMs))
        return error(QStringLiteral("usage: split MS"));
    c.device.setRecordStyle(style);
    return ok();
}

Result fault(Call& c) {
    if (!c.has(1))
        return ok(QStringLiteral("fault %1").arg(faultToString(c.device.fault())));
    QString why;
    const std::optional<Fault> fault = parseFault(c.arg(1), &why);
    if (!fault)
        return error(why);
    c.device.setFault(*fault);
    return ok();
}

Result style(Call& c) {
    const std::optional<FieldStyle> fields = parseFieldStyle(c.arg(1));
    if (!fields)
        return error(QStringLiteral("usage: style plain|zero|blank"));
    ReplyStyle style = c.device.replyStyle();
    style.fields = *fields;
    c.device.setReplyStyle(style);
    return ok();
}

Result variant(Call& c) {
    if (c.arg(1) != QLatin1String("6") && c.arg(1) != QLatin1String("3"))
        return error(QStringLiteral("usage: variant 6|3"));
    ReplyStyle style = c.device.replyStyle();
    style.variant = c.arg(1).at(0).toLatin1();
    c.device.setReplyStyle(style);
    return ok();
}

Result set(Call& c) {
    QString why;
    const std::optional<ParamSet> params = parseParamList(c.arg(1), c.device.storedParams(), &why);
    if (!params)
        return error(why);
    c.device.setParams(*params);
    return ok(describeParams(c.device));
}

Result output(Call& c) {
    int value = 0;
    if (!toInt(c.arg(1), 0, 255, &value))
        return error(QStringLiteral("usage: output 0..255"));
    ParamSet params = c.device.storedParams();
    params.output = quint8(value);
    c.device.setParams(params);
    return ok();
}

Result params(Call& c) {
    return ok(describeParams(c.device));
}

Result hangup(Call& c) {
    c.device.hangUp();
    return ok();
}

Result reopen(Call& c) {
    int ms = -1;
    if (c.arg(1) != QLatin1String("off") && !toInt(c.arg(1), 0, 1 << 30, &ms))
        return error(QStringLiteral("usage: reopen MS|off"));
    c.device.setReopenMs(ms);
    return ok();
}

Result replug(Call& c) {
    QString why;
    if (!c.device.replug(&why))
        return error(why.isEmpty() ? QStringLiteral("not running") : why);
    return ok(QStringLiteral("linked %1 -> %2").arg(c.device.linkPath(), c.device.slavePath()));
}

Result stats(Call& c) {
    return ok(describeCounters(c.device));
}

Result help(Call&) {
    return ok(CommandInterpreter::help());
}

Result quit(Call&) {
    return {true, true, QStringLiteral("bye")};
}

struct Command {
    const char* names;    // blank-separated; help shows the first
    const char* synopsis; // the arguments, as help shows them
    const char* help;     // commands in a row with the same help share its line: "start | stop"
    Result (*run)(Call&);
};

// In the order help lists them.
const Command kCommands[] = {
    {"rec", "rec CH [N]",
     "send N (1) records on channel CH (1..6 = IN 1..6, 7 = V1, 8 = V2);\n"
     "they wait until the PC side opens the port, then go out at once\n"
     "(a parameter read at its opening discards them unread)",
     rec},
    {"burst", "burst N [PATTERN]",
     "send N records back to back, channels cycling through PATTERN (1)", burst},
    {"rate", "rate CH R|off",
     "stream channel CH at R records/s (0 = as fast as possible);\n"
     "all rates together at most 1638.35/s, as on a 32767 Bd line",
     rate},
    {"count", "count N|off", "stop the stream after N records", count},
    {"start", "start", "start or stop the stream", start},
    {"stop", "stop", "start or stop the stream", stop},
    {"filler", "filler [TEXT]", "characters between channel digit and CR (none without TEXT)",
     filler},
    {"split", "split MS", "write each record in two parts MS ms apart (0 = off)", split},
    {"fault", "fault [NAME[=ARG]]", "show or set the fault; \"fault none\" clears it", fault},
    {"style", "style plain|zero|blank", "number style of the parameter reply", style},
    {"variant", "variant 6|3", "firmware variant digit", variant},
    {"set", "set LIST", "numerators/divisors, e.g. 16/1,1/4,-1/3,256/65300,1/1,1/1", set},
    {"output", "output N", "output value 0..255", output},
    {"params", "params", "show the stored parameters", params},
    {"hangup", "hangup", "drop the port now (comes back after the reopen time)", hangup},
    {"reopen", "reopen MS|off", "how long a hung-up port stays away", reopen},
    {"replug", "replug", "come back now on a new pty", replug},
    {"stats", "stats",
     "traffic counters (dropped: stream records nobody heard, of them\n"
     "closed: while no process held the port, quiet: around a request;\n"
     "opens: times the PC side opened the port; portopen: it has it open now)",
     stats},
    {"help", "help", "show these commands, or end the simulator", help},
    {"quit exit", "quit", "show these commands, or end the simulator", quit},
};

QStringList namesOf(const Command& command) {
    return QString::fromLatin1(command.names).split(QLatin1Char(' '));
}

const Command* find(const QString& name) {
    for (const Command& command : kCommands) {
        if (namesOf(command).contains(name))
            return &command;
    }
    return nullptr;
}

// "  SYNOPSIS            HELP", the help starting in column 22 and going on there; a synopsis
// too long for that is followed by three blanks.
QString helpLine(const QString& synopsis, const QString& help) {
    constexpr qsizetype kHelpColumn = 22;
    const QString start = QStringLiteral("  ") + synopsis;
    const QString gap = start.size() + 2 <= kHelpColumn
                            ? QString(kHelpColumn - start.size(), QLatin1Char(' '))
                            : QStringLiteral("   ");
    const QString indent(kHelpColumn, QLatin1Char(' '));
    return start + gap + help.split(QLatin1Char('\n')).join(QLatin1Char('\n') + indent);
}

} // namespace

CommandInterpreter::CommandInterpreter(SimDevice& device, StreamConfig stream)
    : device_(device), stream_(std::move(stream)) {}

QString CommandInterpreter::help() {
    QString text = QStringLiteral("commands:");
    for (auto it = std::begin(kCommands); it != std::end(kCommands);) {
        QStringList synopses;
        const char* shared = it->help;
        for (; it != std::end(kCommands) && qstrcmp(it->help, shared) == 0; ++it)
            synopses << QString::fromLatin1(it->synopsis);
        text += QLatin1Char('\n') +
                helpLine(synopses.join(QLatin1String(" | ")), QString::fromLatin1(shared));
    }
    return text;
}

QStringList CommandInterpreter::commandNames() {
    QStringList names;
    for (const Command& command : kCommands)
        names << namesOf(command).constFirst();
    return names;
}

Result CommandInterpreter::execute(const QString& line) {
    const QString trimmed = line.trimmed();
    const QStringList words = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {true, false, QString()};
    const QString name = words[0].toLower();
    const Command* command = find(name);
    if (!command)
        return error(QStringLiteral("unknown command \"%1\" (try help)").arg(name));
    Call call{device_, stream_, trimmed, words};
    return command->run(call);
}

} // namespace ktr6sim
