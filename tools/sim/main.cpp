// ktr6-sim: a KTR6 impulse summing relay on a pseudo-terminal, for trying and testing ktr6
// without the hardware.

#include "CommandInterpreter.h"
#include "SimDevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace ktr6sim;

namespace {

struct Launch {
    SimConfig config;
    StreamConfig stream;
    bool paused = false;
    QString dir;
    QString name;
    bool trace = false;
    TraceClock clock = TraceClock::Elapsed;
};

int signalPipe[2] = {-1, -1};

void onSignal(int signo) {
    const char c = char(signo);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

void printLine(FILE* stream, const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
    std::fflush(stream);
}

QString describeOptions() {
    return QStringLiteral(
               "Simulates a KTR6 impulse summing relay on a pseudo-terminal. The slave side is\n"
               "linked as DIR/NAME (com1 beside this program by default), for ktr6 to open as\n"
               "its serial port. On start it prints \"ktr6-sim: listening on LINK -> PTY\".\n\n"
               "Like the relay on a serial line, it sends only while the PC side has the port\n"
               "open: stream records (--rate, --burst) falling due while it is closed are lost,\n"
               "and so is whatever was sent but not read when it closes. Records asked for with\n"
               "\"rec\" or \"burst\" on stdin wait until the port is opened and then go out at\n"
               "once. ktr6 and ktr6ctl open it first for their parameter read, which discards\n"
               "what has arrived before its request: records queued before they started are\n"
               "lost there (only those the pty could not take yet wait for the next opening;\n"
               "\"stats\" counts the lost ones as sent). So ask for records once the tool\n"
               "watches: the on-line view is open, or ktr6ctl monitor has printed \"watching\".\n"
               "Timed rates add up to at most 1638.35 records/s, what a 32767 Bd line carries.\n\n"
               "From a \"*\" until 250 ms after the reply, and from a \",\" until 250 ms\n"
               "after the 26-octet block, no records go out (stream records due then are\n"
               "lost), as while the PC holds RTS. A pty has no RTS: the PC side discarding its\n"
               "input, as it does just before a request, stops records for 50 ms. \"stats\"\n"
               "counts the stream records lost as dropped.\n"
               "A hang-up (--fault hangup, \"hangup\") removes the pty under the PC side.\n\n"
               "Faults (--fault, or the fault command on stdin):\n") +
           faultHelp() + QStringLiteral("\nstdin ") + CommandInterpreter::help();
}

bool parseInt(const QString& text, int min, int max, int* out) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool fail(QString* error, const QString& message) {
    *error = message;
    return false;
}

QString option(const QCommandLineParser& parser, const char* name) {
    return parser.value(QLatin1String(name));
}

bool isSet(const QCommandLineParser& parser, const char* name) {
    return parser.isSet(QLatin1String(name));
}

bool readTraceClock(const QCommandLineParser& parser, TraceClock* clock, QString* error) {
    const QString name = option(parser, "trace-clock");
    if (name == QLatin1String("wall"))
        *clock = TraceClock::WallClock;
    else if (name != QLatin1String("elapsed"))
        return fail(error, QStringLiteral("--trace-clock must be elapsed or wall"));
    return true;
}

bool readReplyStyle(const QCommandLineParser& parser, ReplyStyle* reply, QString* error) {
    const QString variant = option(parser, "variant");
    if (variant != QLatin1String("6") && variant != QLatin1String("3"))
        return fail(error, QStringLiteral("--variant must be 6 or 3"));
    reply->variant = variant.at(0).toLatin1();
    const std::optional<FieldStyle> style = parseFieldStyle(option(parser, "style"));
    if (!style)
        return fail(error, QStringLiteral("--style must be plain, zero or blank"));
    reply->fields = *style;
    return true;
}

bool readParams(const QCommandLineParser& parser, ParamSet* params, QString* error) {
    if (isSet(parser, "param")) {
        const auto parsed = parseParamList(option(parser, "param"), *params, error);
        if (!parsed)
            return false;
        *params = *parsed;
    }
    int output = 0;
    if (!parseInt(option(parser, "output"), 0, 255, &output))
        return fail(error, QStringLiteral("--output must be 0..255"));
    params->output = quint8(output);
    return true;
}

bool readFault(const QCommandLineParser& parser, SimConfig* config, QString* error) {
    if (isSet(parser, "fault")) {
        const auto fault = parseFault(option(parser, "fault"), error);
        if (!fault)
            return false;
        config->fault = *fault;
    }
    if (isSet(parser, "reopen-ms") &&
        !parseInt(option(parser, "reopen-ms"), 0, 1 << 30, &config->reopenMs))
        return fail(error, QStringLiteral("--reopen-ms must be a number of ms"));
    return true;
}

bool readRecordStyle(const QCommandLineParser& parser, RecordStyle* records, QString* error) {
    records->filler = option(parser, "filler").toLatin1();
    if (records->filler.contains('\r'))
        return fail(error, QStringLiteral("--filler must not contain CR, which ends a record"));
    if (!parseInt(option(parser, "split-ms"), 0, 60000, &records->splitMs))
        return fail(error, QStringLiteral("--split-ms must be 0..60000"));
    return true;
}

bool readStream(const QCommandLineParser& parser, StreamConfig* stream, QString* error) {
    if (isSet(parser, "rate")) {
        const auto rates = parseRates(option(parser, "rate"), error);
        if (!rates)
            return false;
        stream->rates = *rates;
    }
    if (isSet(parser, "burst") && !parseBurst(option(parser, "burst"), stream, error))
        return false;
    if (!parseInt(option(parser, "burst-interval"), 0, 1 << 30, &stream->burstIntervalMs))
        return fail(error, QStringLiteral("--burst-interval must be a number of ms"));
    if (isSet(parser, "count")) {
        int count = 0;
        if (!parseInt(option(parser, "count"), 0, 1 << 30, &count))
            return fail(error, QStringLiteral("--count must be a number"));
        stream->countLimit = count;
    }
    return true;
}

// The options in the order they are checked, so that the first wrong one is reported.
std::optional<Launch> readOptions(const QCommandLineParser& parser, QString* error) {
    Launch launch;
    launch.dir =
        isSet(parser, "dir") ? option(parser, "dir") : QCoreApplication::applicationDirPath();
    launch.name = option(parser, "name");
    launch.paused = isSet(parser, "paused");
    launch.trace = isSet(parser, "trace");
    if (launch.name.isEmpty() || launch.name.contains(QLatin1Char('/'))) {
        fail(error, QStringLiteral("--name must be a plain file name"));
        return std::nullopt;
    }
    SimConfig& config = launch.config;
    if (!readTraceClock(parser, &launch.clock, error) ||
        !readReplyStyle(parser, &config.reply, error) ||
        !readParams(parser, &config.params, error) || !readFault(parser, &config, error) ||
        !readRecordStyle(parser, &config.records, error) ||
        !readStream(parser, &launch.stream, error))
        return std::nullopt;
    return launch;
}

void addOptions(QCommandLineParser& parser) {
    parser.addOptions({
        {QStringLiteral("dir"),
         QStringLiteral("Directory for the link (default: this program's directory)."),
         QStringLiteral("DIR")},
        {QStringLiteral("name"), QStringLiteral("Name of the link (default com1)."),
         QStringLiteral("NAME"), QStringLiteral("com1")},
        {QStringLiteral("variant"), QStringLiteral("Firmware variant digit, 6 or 3 (default 6)."),
         QStringLiteral("D"), QStringLiteral("6")},
        {QStringLiteral("param"),
         QStringLiteral("Stored coefficients for IN 1..6 as NUM/DIV, \"-\" for a negative input, "
                        "e.g. 16/1,1/4,-1/3,256/65300,1/1,1/1 (default all 1/1, positive)."),
         QStringLiteral("LIST")},
        {QStringLiteral("output"), QStringLiteral("Stored output value 0..255 (default 1)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("style"),
         QStringLiteral("Numbers in the parameter reply: plain (16), zero (016) or blank ( 16); "
                        "default zero."),
         QStringLiteral("STYLE"), QStringLiteral("zero")},
        {QStringLiteral("fault"), QStringLiteral("Misbehave from the start (faults listed above)."),
         QStringLiteral("NAME[=ARG]")},
        {QStringLiteral("reopen-ms"),
         QStringLiteral("After a hang-up (the port vanishes under the PC side, as when a USB "
                        "adapter is pulled), come back on a new pty after MS ms (default: never)."),
         QStringLiteral("MS")},
        {QStringLiteral("rate"),
         QStringLiteral("Stream records: CH:R[,CH:R...] records/s per channel (1..6 = IN 1..6, "
                        "7 = V1, 8 = V2), at most 1638.35 in all (a 32767 Bd line); R 0 = as "
                        "fast as the port takes them. Only while the PC side has the port open "
                        "and no request is being answered."),
         QStringLiteral("LIST")},
        {QStringLiteral("burst"),
         QStringLiteral("Stream bursts of N back-to-back records, channels cycling through "
                        "PATTERN (digits, default 1)."),
         QStringLiteral("N[:PATTERN]")},
        {QStringLiteral("burst-interval"),
         QStringLiteral("Time between bursts in ms, 0 = a single burst (default 1000)."),
         QStringLiteral("MS"), QStringLiteral("1000")},
        {QStringLiteral("count"), QStringLiteral("Stop the stream after N records."),
         QStringLiteral("N")},
        {QStringLiteral("filler"),
         QStringLiteral("Characters between the channel digit and the CR of each record."),
         QStringLiteral("TEXT")},
        {QStringLiteral("split-ms"),
         QStringLiteral("Write each record as digit, pause of MS ms, rest (default 0 = whole)."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("paused"),
         QStringLiteral("Do not start the stream at launch; \"start\" on stdin does.")},
        {QStringLiteral("trace"),
         QStringLiteral("Log every chunk received and sent to stderr, in hex.")},
        {QStringLiteral("trace-clock"),
         QStringLiteral("Trace time stamps: elapsed (s.ms since start) or wall (HH:MM:SS.mmm)."),
         QStringLiteral("CLOCK"), QStringLiteral("elapsed")},
    });
}

// Serves stdin commands until "quit" or a signal; stdin reaching its end (a script started us
// with no console) leaves the device running until it is signalled.
void serveConsole(CommandInterpreter& console) {
    QByteArray pending;
    bool stdinOpen = true;
    for (;;) {
        pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (!fds[1].revents)
            continue;
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdinOpen = false;
            continue;
        }
        pending.append(buf, n);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pending.left(newline));
            pending.remove(0, newline + 1);
            const CommandInterpreter::Result result = console.execute(line);
            if (!result.text.isEmpty())
                printLine(stdout, result.text);
            if (result.quit)
                return;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ktr6-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KTR6_SIM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(describeOptions());
    parser.addHelpOption();
    parser.addVersionOption();
    addOptions(parser);
    parser.process(app);

    QString error;
    std::optional<Launch> launch = readOptions(parser, &error);
    if (!launch) {
        printLine(stderr, QStringLiteral("ktr6-sim: ") + error);
        return 2;
    }

    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        printLine(stderr, QStringLiteral("ktr6-sim: cannot create a pipe"));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signo, onSignal);

    const TraceFormatter formatter(launch->clock);
    if (launch->trace) {
        launch->config.trace = [&formatter](TraceDirection direction, QByteArrayView data) {
            const QByteArray line = formatter.line(direction, data) + '\n';
            std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
            std::fflush(stderr);
        };
    }

    SimDevice device(launch->config);
    if (!device.start(launch->dir, launch->name, &error)) {
        printLine(stderr, QStringLiteral("ktr6-sim: ") + error);
        return 1;
    }
    printLine(stdout, QStringLiteral("ktr6-sim: listening on %1 -> %2")
                          .arg(device.linkPath(), device.slavePath()));
    if (!launch->stream.empty() && !launch->paused)
        device.startStream(launch->stream);

    CommandInterpreter console(device, launch->stream);
    serveConsole(console);
    device.stop();
    return 0;
}
