#include "CommandInterpreter.h"

#include "SimDevice.h"

#include <QStringList>

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
                          "hangups=%7 reopens=%8 opens=%9 connected=%10 portopen=%11 "
                          "streaming=%12")
        .arg(number(c.bytesReceived), number(c.bytesSent), number(c.readRequests),
             number(c.writeBlocks), number(c.recordsSent), number(c.recordsDropped),
             number(c.hangups), number(c.reopens), number(c.portOpens),
             number(device.isConnected()), number(device.pcSideOpen()), number(device.streaming()));
}

} // namespace

CommandInterpreter::CommandInterpreter(SimDevice& device, StreamConfig stream)
    : device_(device), stream_(std::move(stream)) {}

QString CommandInterpreter::help() {
    return QStringLiteral(
        "commands:\n"
        "  rec CH [N]          send N (1) records on channel CH (1..6 = IN 1..6, 7 = V1, 8 = V2);\n"
        "                      they wait until the PC side opens the port, then go out at once\n"
        "                      (a parameter read at its opening discards them unread)\n"
        "  burst N [PATTERN]   send N records back to back, channels cycling through PATTERN (1)\n"
        "  rate CH R|off       stream channel CH at R records/s (0 = as fast as possible);\n"
        "                      all rates together at most 1638.35/s, as on a 32767 Bd line\n"
        "  count N|off         stop the stream after N records\n"
        "  start | stop        start or stop the stream\n"
        "  filler [TEXT]       characters between channel digit and CR (none without TEXT)\n"
        "  split MS            write each record in two parts MS ms apart (0 = off)\n"
        "  fault [NAME[=ARG]]  show or set the fault; \"fault none\" clears it\n"
        "  style plain|zero|blank   number style of the parameter reply\n"
        "  variant 6|3         firmware variant digit\n"
        "  set LIST            numerators/divisors, e.g. 16/1,1/4,-1/3,256/65300,1/1,1/1\n"
        "  output N            output value 0..255\n"
        "  params              show the stored parameters\n"
        "  hangup              drop the port now (comes back after the reopen time)\n"
        "  reopen MS|off       how long a hung-up port stays away\n"
        "  replug              come back now on a new pty\n"
        "  stats               traffic counters (dropped: stream records nobody heard; opens:\n"
        "                      times the PC side opened the port; portopen: it has it open now)\n"
        "  help | quit         show these commands, or end the simulator");
}

Result CommandInterpreter::restartStreamIfRunning() {
    if (device_.streaming())
        device_.startStream(stream_);
    return ok();
}

Result CommandInterpreter::execute(const QString& line) {
    const QString trimmed = line.trimmed();
    const QStringList words = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {true, false, QString()};
    const QString command = words[0].toLower();
    const QString arg1 = words.value(1);
    const QString arg2 = words.value(2);
    int a = 0;
    int b = 0;

    if (command == QLatin1String("quit") || command == QLatin1String("exit"))
        return {true, true, QStringLiteral("bye")};
    if (command == QLatin1String("help"))
        return ok(help());
    if (command == QLatin1String("params"))
        return ok(describeParams(device_));
    if (command == QLatin1String("stats"))
        return ok(describeCounters(device_));

    if (command == QLatin1String("rec")) {
        if (!toInt(arg1, kFirstChannel, kLastChannel, &a))
            return error(QStringLiteral("usage: rec CH [N], CH 1..8"));
        if (words.size() > 2 && !toInt(arg2, 1, 1 << 30, &b))
            return error(QStringLiteral("N must be >= 1"));
        device_.sendRecords(a, words.size() > 2 ? b : 1);
        return ok();
    }
    if (command == QLatin1String("burst")) {
        const QByteArray pattern = words.size() > 2 ? arg2.toLatin1() : QByteArray("1");
        if (!toInt(arg1, 1, 1 << 30, &a) || !validChannelPattern(pattern))
            return error(QStringLiteral("usage: burst N [PATTERN], PATTERN of digits 1..8"));
        device_.sendBurst(a, pattern);
        return ok();
    }
    if (command == QLatin1String("rate")) {
        bool good = false;
        const double rate = arg2.toDouble(&good);
        const bool off = arg2 == QLatin1String("off");
        if (!toInt(arg1, kFirstChannel, kLastChannel, &a) || (!off && (!good || rate < 0)))
            return error(QStringLiteral("usage: rate CH R|off"));
        std::map<int, double> rates = stream_.rates;
        if (off)
            rates.erase(a);
        else
            rates[a] = rate;
        QString why;
        if (!ratesFitTheLine(rates, &why))
            return error(why);
        stream_.rates = rates;
        if (stream_.empty()) {
            device_.stopStream();
            return ok(QStringLiteral("stream stopped"));
        }
        device_.startStream(stream_);
        return ok();
    }
    if (command == QLatin1String("count")) {
        if (arg1 == QLatin1String("off"))
            stream_.countLimit = -1;
        else if (toInt(arg1, 0, 1 << 30, &a))
            stream_.countLimit = a;
        else
            return error(QStringLiteral("usage: count N|off"));
        return restartStreamIfRunning();
    }
    if (command == QLatin1String("start")) {
        if (stream_.empty())
            return error(QStringLiteral("nothing to stream: give a rate or a --burst first"));
        device_.startStream(stream_);
        return ok();
    }
    if (command == QLatin1String("stop")) {
        device_.stopStream();
        return ok();
    }
    if (command == QLatin1String("filler")) {
        RecordStyle style = device_.recordStyle();
        // The filler may contain blanks, so it is everything after the first blank.
        style.filler = words.size() > 1
                           ? trimmed.mid(trimmed.indexOf(QLatin1Char(' ')) + 1).toLatin1()
                           : QByteArray();
        device_.setRecordStyle(style);
        return ok();
    }
    if (command == QLatin1String("split")) {
        if (!toInt(arg1, 0, 60000, &a))
            return error(QStringLiteral("usage: split MS"));
        RecordStyle style = device_.recordStyle();
        style.splitMs = a;
        device_.setRecordStyle(style);
        return ok();
    }
    if (command == QLatin1String("fault")) {
        if (words.size() < 2)
            return ok(QStringLiteral("fault %1").arg(faultToString(device_.fault())));
        QString why;
        const std::optional<Fault> fault = parseFault(arg1, &why);
        if (!fault)
            return error(why);
        device_.setFault(*fault);
        return ok();
    }
    if (command == QLatin1String("style")) {
        const std::optional<FieldStyle> fields = parseFieldStyle(arg1);
        if (!fields)
            return error(QStringLiteral("usage: style plain|zero|blank"));
        ReplyStyle style = device_.replyStyle();
        style.fields = *fields;
        device_.setReplyStyle(style);
        return ok();
    }
    if (command == QLatin1String("variant")) {
        if (arg1 != QLatin1String("6") && arg1 != QLatin1String("3"))
            return error(QStringLiteral("usage: variant 6|3"));
        ReplyStyle style = device_.replyStyle();
        style.variant = arg1.at(0).toLatin1();
        device_.setReplyStyle(style);
        return ok();
    }
    if (command == QLatin1String("set")) {
        QString why;
        const std::optional<ParamSet> params = parseParamList(arg1, device_.storedParams(), &why);
        if (!params)
            return error(why);
        device_.setParams(*params);
        return ok(describeParams(device_));
    }
    if (command == QLatin1String("output")) {
        if (!toInt(arg1, 0, 255, &a))
            return error(QStringLiteral("usage: output 0..255"));
        ParamSet params = device_.storedParams();
        params.output = quint8(a);
        device_.setParams(params);
        return ok();
    }
    if (command == QLatin1String("hangup")) {
        device_.hangUp();
        return ok();
    }
    if (command == QLatin1String("reopen")) {
        if (arg1 == QLatin1String("off"))
            a = -1;
        else if (!toInt(arg1, 0, 1 << 30, &a))
            return error(QStringLiteral("usage: reopen MS|off"));
        device_.setReopenMs(a);
        return ok();
    }
    if (command == QLatin1String("replug")) {
        QString why;
        if (!device_.replug(&why))
            return error(why.isEmpty() ? QStringLiteral("not running") : why);
        return ok(QStringLiteral("linked %1 -> %2").arg(device_.linkPath(), device_.slavePath()));
    }
    return error(QStringLiteral("unknown command \"%1\" (try help)").arg(command));
}

} // namespace ktr6sim
