// ktr6ctl's own parts: its command line, the parameter file it prints and
// takes back, the monitor's CSV lines and the port scan on scripted ports.

#include "protocol/ParameterBlock.h"
#include "support/FakeRelay.h"
#include "support/ScriptedPort.h"
#include "support/TestLocale.h"
#include "tools/ctl/CtlCommand.h"
#include "tools/ctl/Monitor.h"
#include "tools/ctl/ParameterJson.h"
#include "tools/ctl/Scan.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <clocale>
#include <cstdio>

namespace {

ParameterSet sampleSet() {
    ParameterSet set;
    set.firmwareVersion = QStringLiteral("6");
    set.table = {{{1, 16, 1}, {0, 1, 4}, {1, 300, 65535}, {1, 0, 1}, {0, 2, 3}, {1, 5, 0}}};
    set.output = 5;
    return set;
}

const QByteArray kSampleJson =
    R"({"firmware":"6","inputs":[{"numerator":16,"divisor":1,"minus":false},)"
    R"({"numerator":1,"divisor":4,"minus":true},{"numerator":300,"divisor":65535,"minus":false},)"
    R"({"numerator":0,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":true},)"
    R"({"numerator":5,"divisor":0,"minus":false}],"output":5})"
    "\n";

// Captures what the monitor prints.
class MemoryFile {
public:
    MemoryFile() : file_(open_memstream(&buffer_, &size_)) {}
    ~MemoryFile() {
        std::fclose(file_);
        std::free(buffer_);
    }
    FILE* file() const { return file_; }
    QStringList lines() {
        std::fflush(file_);
        return QString::fromUtf8(buffer_, qsizetype(size_))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* file_;
};

// One probe's port, made on the probe's thread: what it did is kept in its
// port's record once the probe has destroyed it.
struct ProbeRecord {
    QStringList trace;
    QByteArray written;
    bool leftOpen = true;
    bool leftRtsUp = true;
};

class ProbePort : public ScriptedPort {
public:
    explicit ProbePort(ProbeRecord* record) : record_(record) {}
    ~ProbePort() override {
        record_->trace = trace;
        record_->written = written;
        record_->leftOpen = PortOpen();
        record_->leftRtsUp = rts();
    }

private:
    ProbeRecord* record_;
};

// The probe port of the thread that calls the pause.
thread_local ProbePort* probeOnThisThread = nullptr;

} // namespace

Q_DECLARE_METATYPE(ScanResult::Status)

class CtlCoreTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void commandLine_data();
    void commandLine();
    void jsonIsExactAndRoundTrips();
    void badParameterFile_data();
    void badParameterFile();
    void reportShowsSignedAmounts();
    void monitorPrintsCountedRecords();
    void totalsKeepTheirPrecision_data();
    void totalsKeepTheirPrecision();
    void monitorEndsWhenTheDeviceVanishes();
    void monitorFails_data();
    void monitorFails();
    void scanProbe_data();
    void scanProbe();
    void scanProbesEveryPortAtOnce();
    void scanOutputShapes();
};

void CtlCoreTest::commandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error"); // a part of the message, empty when accepted
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("summary"); // json/file/port/count as parsed

    using C = CtlOptions::Command;
    QTest::newRow("read") << QStringList{"read"} << "" << int(C::Read)
                          << "json=0 file= port=- count=-";
    QTest::newRow("read --json, port after") << QStringList{"read", "--json", "--port", "3"} << ""
                                             << int(C::Read) << "json=1 file= port=3 count=-";
    QTest::newRow("port before, = form")
        << QStringList{"--port=12", "read"} << "" << int(C::Read) << "json=0 file= port=12 count=-";
    QTest::newRow("write FILE") << QStringList{"write", "set.json"} << "" << int(C::Write)
                                << "json=0 file=set.json port=- count=-";
    QTest::newRow("write stdin") << QStringList{"write", "-"} << "" << int(C::Write)
                                 << "json=0 file=- port=- count=-";
    QTest::newRow("monitor --count") << QStringList{"monitor", "--count", "5"} << ""
                                     << int(C::Monitor) << "json=0 file= port=- count=5";
    QTest::newRow("help wins") << QStringList{"read", "--help"} << "" << int(C::Help)
                               << "json=0 file= port=- count=-";
    QTest::newRow("version") << QStringList{"--version"} << "" << int(C::Version)
                             << "json=0 file= port=- count=-";
    QTest::newRow("version beside a command")
        << QStringList{"monitor", "--count", "5", "--version"} << "" << int(C::Version)
        << "json=0 file= port=- count=-";
    QTest::newRow("help wins over version") << QStringList{"--version", "--help"} << ""
                                            << int(C::Help) << "json=0 file= port=- count=-";
    QTest::newRow("version with a bad option")
        << QStringList{"--version", "--fast"} << "unknown option --fast" << 0 << "";
    QTest::newRow("no command") << QStringList{} << "no command" << 0 << "";
    QTest::newRow("unknown command")
        << QStringList{"erase"} << "unknown command \"erase\"" << 0 << "";
    QTest::newRow("unknown option")
        << QStringList{"read", "--fast"} << "unknown option --fast" << 0 << "";
    QTest::newRow("write without file")
        << QStringList{"write"} << "write needs a parameter file" << 0 << "";
    QTest::newRow("extra argument")
        << QStringList{"read", "x"} << "unexpected argument \"x\"" << 0 << "";
    QTest::newRow("port 0") << QStringList{"--port", "0", "read"} << "--port wants" << 0 << "";
    QTest::newRow("port text") << QStringList{"--port", "COM3", "read"} << "--port wants" << 0
                               << "";
    QTest::newRow("port without value")
        << QStringList{"read", "--port"} << "--port needs a value" << 0 << "";
    QTest::newRow("count 0") << QStringList{"monitor", "--count=0"} << "--count wants" << 0 << "";
    QTest::newRow("json on write")
        << QStringList{"write", "f", "--json"} << "--json belongs" << 0 << "";
    QTest::newRow("count on read")
        << QStringList{"read", "--count", "2"} << "--count belongs" << 0 << "";
    QTest::newRow("scan --json --save") << QStringList{"scan", "--json", "--save"} << ""
                                        << int(C::Scan) << "json=1 file= port=- count=- save";
    QTest::newRow("save on read") << QStringList{"read", "--save"} << "--save belongs" << 0 << "";
    QTest::newRow("port on scan") << QStringList{"--port", "3", "scan"} << "takes no --port" << 0
                                  << "";
}

void CtlCoreTest::commandLine() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QFETCH(int, command);
    QFETCH(QString, summary);

    const CtlParseResult result = parseCommandLine(args);
    if (!error.isEmpty()) {
        QVERIFY(!result.options);
        QVERIFY2(result.error.contains(error), qPrintable(result.error));
        return;
    }
    QVERIFY2(result.options, qPrintable(result.error));
    const CtlOptions& o = *result.options;
    QCOMPARE(int(o.command), command);
    const QString parsed = QStringLiteral("json=%1 file=%2 port=%3 count=%4")
                               .arg(int(o.json))
                               .arg(o.file, o.port ? QString::number(*o.port) : QStringLiteral("-"),
                                    o.count ? QString::number(*o.count) : QStringLiteral("-"));
    QCOMPARE(parsed + (o.save ? QStringLiteral(" save") : QString()), summary);
}

void CtlCoreTest::jsonIsExactAndRoundTrips() {
    QCOMPARE(parameterSetJson(sampleSet()), kSampleJson);

    QString error;
    const auto fields = editorFieldsFromJson(kSampleJson, &error);
    QVERIFY2(fields, qPrintable(error));
    QCOMPARE(QStringList(fields->numerator.begin(), fields->numerator.end()),
             QStringList({"16", "1", "300", "0", "2", "5"}));
    QCOMPARE(QStringList(fields->divisor.begin(), fields->divisor.end()),
             QStringList({"1", "4", "65535", "1", "3", "0"}));
    QCOMPARE(fields->minus, (std::array<bool, 6>{false, true, false, false, true, false}));
    QCOMPARE(fields->output, QStringLiteral("5"));

    // What the editor fields encode to is the table the JSON came from.
    const auto block = encodeWriteBlock(*fields, &error);
    QVERIFY(block);
    QCOMPARE(block->table, sampleSet().table);
}

void CtlCoreTest::badParameterFile_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");

    auto replaced = [](const char* from, const char* to) {
        QByteArray json = kSampleJson;
        const qsizetype at = json.indexOf(from);
        Q_ASSERT(at >= 0);
        return json.replace(at, qsizetype(strlen(from)), to);
    };
    QTest::newRow("not JSON") << QByteArray("{\"inputs\": [") << "not valid JSON";
    QTest::newRow("a list") << QByteArray("[1,2]") << "one JSON object";
    QTest::newRow("inputs missing") << QByteArray(R"({"output":5})") << "\"inputs\" is missing";
    QTest::newRow("five inputs")
        << replaced(R"({"numerator":5,"divisor":0,"minus":false}],)", "],").replace("},]", "}]")
        << "list of six inputs";
    QTest::newRow("divisor 70000") << replaced(R"("divisor":65535)", R"("divisor":70000)")
                                   << "inputs[2] (IN 3) divisor is 70000, outside 0..65535";
    QTest::newRow("numerator -1") << replaced(R"("numerator":16)", R"("numerator":-1)")
                                  << "inputs[0] (IN 1) numerator is -1, outside 0..65535";
    QTest::newRow("numerator 2.5") << replaced(R"("numerator":16)", R"("numerator":2.5)")
                                   << "inputs[0] (IN 1) numerator must be a whole number";
    QTest::newRow("numerator as text") << replaced(R"("numerator":16)", R"("numerator":"16")")
                                       << "inputs[0] (IN 1) numerator must be a number";
    QTest::newRow("divisor missing")
        << replaced(R"("divisor":4,)", "") << "inputs[1] (IN 2) divisor is missing";
    QTest::newRow("minus as number") << replaced(R"("minus":true)", R"("minus":1)")
                                     << "inputs[1] (IN 2) minus must be true or false";
    QTest::newRow("misspelt key") << replaced(R"("minus":true)", R"("minus":true,"sign":1)")
                                  << "inputs[1] (IN 2): unknown entry \"sign\"";
    QTest::newRow("output 256") << replaced(R"("output":5)", R"("output":256)")
                                << "\"output\" is 256, outside 0..255";
    QTest::newRow("output missing") << replaced(R"(,"output":5)", "") << "\"output\" is missing";
}

void CtlCoreTest::badParameterFile() {
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    QString message;
    QVERIFY(!editorFieldsFromJson(json, &message));
    QVERIFY2(message.contains(error), qPrintable(message));
}

void CtlCoreTest::reportShowsSignedAmounts() {
    ParameterSet set = sampleSet();
    set.firmwareVersion = QStringLiteral("2x3");
    const QStringList lines = parameterSetReport(set).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 9);
    QCOMPARE(lines[0].simplified(), QStringLiteral("Firmware SW 2x3"));
    QCOMPARE(lines[2].simplified(), QStringLiteral("IN 1 16 1 + 16"));
    QCOMPARE(lines[3].simplified(), QStringLiteral("IN 2 1 4 - -0.25"));
    QCOMPARE(lines[4].simplified(), QStringLiteral("IN 3 300 65535 + 0.004578"));
    QCOMPARE(lines[5].simplified(), QStringLiteral("IN 4 0 1 + 0"));
    QCOMPARE(lines[6].simplified(), QStringLiteral("IN 5 2 3 - -0.666667"));
    QCOMPARE(lines[7].simplified(), QStringLiteral("IN 6 5 0 + (divisor 0)"));
    QCOMPARE(lines[8].simplified(), QStringLiteral("Output 5"));
}

void CtlCoreTest::monitorPrintsCountedRecords() {
    TestSeams seams;
    const ParameterSet set = sampleSet();
    Others::ParamTable = set.table;
    Others::OutputParam = set.output;
    MemoryFile out;
    Monitor monitor(seams.port, 4, out.file());

    // Waiting before the watch starts, chunked, a divisor-0 input, and a
    // carriage return that arrives alone below the receive threshold.
    seams.port.deliver("2\r6\r");
    QTimer::singleShot(10, [&] {
        seams.port.deliver("7x");
        seams.port.raise(comm::kEvReceive);
        seams.port.deliver("\r5");
        seams.port.raise(comm::kEvReceive);
        seams.port.deliver("\r2");
        seams.port.raise(comm::kEvReceive);
        seams.port.deliver("\r");
        seams.port.raise(comm::kErFrame);
    });
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    QCOMPARE(monitor.run(), 0);

    QStringList lines = out.lines();
    QCOMPARE(lines.value(0), QStringLiteral("time,channel,total"));
    lines.removeFirst();
    QStringList rest;
    for (const QString& line : lines) {
        const QDateTime time = QDateTime::fromString(line.section(',', 0, 0), Qt::ISODateWithMs);
        QVERIFY2(time.isValid() && time >= before && time <= QDateTime::currentDateTime(),
                 qPrintable(line));
        QVERIFY2(
            QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3},)").match(line).hasMatch(),
            qPrintable(line));
        rest << line.section(',', 1);
    }
    QCOMPARE(rest, (QStringList{"IN 2,-0.25", "V1,5", "IN 5,-0.666666667", "IN 2,-0.5"}));
    QCOMPARE(seams.port.RThreshold(), 0);
    QVERIFY(!seams.port.PortOpen());
    QVERIFY(seams.port.trace.contains("rthreshold 2"));
}

void CtlCoreTest::totalsKeepTheirPrecision_data() {
    QTest::addColumn<QList<int>>("row"); // sign flag, numerator, divisor
    QTest::addColumn<QStringList>("totals");

    QTest::newRow("1/3") << QList<int>{1, 1, 3}
                         << QStringList{"0.333333333", "0.666666667", "1", "1.33333333"};
    QTest::newRow("minus 1/4") << QList<int>{0, 1, 4}
                               << QStringList{"-0.25", "-0.5", "-0.75", "-1"};
    QTest::newRow("1/65535") << QList<int>{1, 1, 65535} << QStringList{"0.0000152590219"};
    QTest::newRow("65535/7") << QList<int>{1, 65535, 7} << QStringList{"9362.14286", "18724.2857"};
}

void CtlCoreTest::totalsKeepTheirPrecision() {
    QFETCH(QList<int>, row);
    QFETCH(QStringList, totals);
    // The technician's locale writes a decimal comma; the CSV does not.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Slovak, QLocale::Slovakia));
    std::setlocale(LC_ALL, "sk_SK.UTF-8");
    Others::ParamTable[0] = {row[0], row[1], row[2]};
    ChannelTotals channel;
    QStringList printed;
    for (qsizetype i = 0; i < totals.size(); ++i) {
        channel.count(0);
        printed << Monitor::totalText(channel.value(0));
    }
    std::setlocale(LC_ALL, "C");
    QLocale::setDefault(before);
    QCOMPARE(printed, totals);
}

void CtlCoreTest::monitorEndsWhenTheDeviceVanishes() {
    TestSeams seams;
    Others::ParamTable[0] = {1, 1, 1};
    MemoryFile out;
    Monitor monitor(seams.port, 0, out.file());
    QTimer::singleShot(10, [&] {
        seams.port.deliver("1\r");
        seams.port.raise(comm::kEvReceive);
        seams.port.PortOpen(false);
        seams.port.raise(comm::kErDeviceLost);
    });

    QCOMPARE(monitor.run(), 1);

    QCOMPARE(out.lines().size(), 2);
    QVERIFY(out.lines()[1].endsWith(QLatin1String(",IN 1,1")));
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].text, kPortErrorText);
    QCOMPARE(seams.messages[0].title, kPortErrorTitle);
}

void CtlCoreTest::monitorFails_data() {
    QTest::addColumn<int>("openError");
    QTest::addColumn<QString>("output"); // a file to print to, empty for memory
    QTest::addColumn<int>("messages");   // "ERROR" boxes shown

    QTest::newRow("port held elsewhere") << int(comm::kPortAlreadyOpen) << "" << 1;
    QTest::newRow("output on a full disk") << 0 << "/dev/full" << 0;
}

void CtlCoreTest::monitorFails() {
    QFETCH(int, openError);
    QFETCH(QString, output);
    QFETCH(int, messages);
    TestSeams seams;
    if (openError)
        seams.port.openError = openError;
    Others::ParamTable[0] = {1, 1, 1};
    seams.port.deliver("1\r");
    MemoryFile memory;
    FILE* file = output.isEmpty() ? memory.file() : std::fopen(qPrintable(output), "w");
    QVERIFY(file);
    Monitor monitor(seams.port, 1, file);

    QCOMPARE(monitor.run(), 1);

    if (!output.isEmpty())
        std::fclose(file);
    QCOMPARE(seams.messages.size(), messages);
    QCOMPARE(Others::LastPortError.isEmpty(), messages == 0);
    for (const RecordedMessage& message : seams.messages)
        QCOMPARE(message.text, kPortErrorText);
    QVERIFY(memory.lines().isEmpty());
    QVERIFY(!seams.port.PortOpen());
}

void CtlCoreTest::scanProbe_data() {
    QTest::addColumn<QByteArray>("reply"); // what the port answers to "*"
    QTest::addColumn<int>("openError");
    QTest::addColumn<int>("outputError");
    QTest::addColumn<int>("stopAtPause"); // the pause that throws, 0 none
    QTest::addColumn<ScanResult::Status>("status");
    QTest::addColumn<QString>("detail"); // firmware when found, reason with error
    QTest::addColumn<QStringList>("exchange");

    using S = ScanResult::Status;
    const QByteArray sw6 = deviceReply({});
    const QStringList attempt{"open", "rts on", "sleep 200", "discard", "out 2A", "sleep 200"};
    const auto whole = [&](qsizetype in) {
        return attempt + QStringList{QStringLiteral("in %1").arg(in), "rts off", "close"};
    };

    QTest::newRow("relay SW 6") << sw6 << 0 << 0 << 0 << S::Found << "6" << whole(sw6.size());
    QTest::newRow("relay SW 3 shows as 2x3")
        << deviceReply({}, '3') << 0 << 0 << 0 << S::Found << "2x3" << whole(sw6.size());
    // One request, never the read's retries.
    QTest::newRow("silent") << QByteArray() << 0 << 0 << 0 << S::NoAnswer << "" << whole(0);
    QTest::newRow("55 characters")
        << sw6.left(55) << 0 << 0 << 0 << S::OtherReply << "" << whole(55);
    QTest::newRow("one character")
        << QByteArray("?") << 0 << 0 << 0 << S::OtherReply << "" << whole(1);
    const QByteArray badVariant = replyFromFields(defaultFields(), "001", 'X');
    QTest::newRow("long but not a parameter reply")
        << badVariant << 0 << 0 << 0 << S::OtherReply << "" << whole(badVariant.size());
    QTest::newRow("held by another program")
        << sw6 << int(comm::kPortAlreadyOpen) << 0 << 0 << S::Busy << "" << QStringList{};
    QTest::newRow("no permission")
        << sw6 << int(comm::kNoPermission) << 0 << 0 << S::NoPermission << "" << QStringList{};
    QTest::newRow("open fails otherwise") << sw6 << int(comm::kDeviceError) << 0 << 0 << S::Error
                                          << "scripted open failure" << QStringList{};
    QTest::newRow("write fails") << sw6 << 0 << int(comm::kDeviceError) << 0 << S::Error
                                 << "scripted write failure"
                                 << QStringList{"open",    "rts on",  "sleep 200",
                                                "discard", "rts off", "close"};
    QTest::newRow("stopped while waiting for the reply")
        << sw6 << 0 << 0 << 2 << S::Error << "stopped"
        << QStringList{"open",   "rts on",    "sleep 200", "discard",
                       "out 2A", "sleep 200", "rts off",   "close"};
}

void CtlCoreTest::scanProbe() {
    QFETCH(QByteArray, reply);
    QFETCH(int, openError);
    QFETCH(int, outputError);
    QFETCH(int, stopAtPause);
    QFETCH(ScanResult::Status, status);
    QFETCH(QString, detail);
    QFETCH(QStringList, exchange);

    ProbeRecord record;
    const auto makePort = [&](int16_t) {
        auto port = std::make_unique<ProbePort>(&record);
        port->replies.push_back(reply);
        if (openError)
            port->openError = openError;
        if (outputError)
            port->outputError = outputError;
        probeOnThisThread = port.get();
        return port;
    };
    int pauses = 0;
    const auto pause = [&](int ms) {
        probeOnThisThread->trace << QStringLiteral("sleep %1").arg(ms);
        if (++pauses == stopAtPause)
            throw 0;
    };

    const QList<ScanResult> results =
        scanPorts({{7, QStringLiteral("/dev/ttyUSB2")}}, kDefaultPortSettings, makePort, pause);

    QCOMPARE(results.size(), 1);
    const ScanResult& row = results[0];
    QCOMPARE(row.port, int16_t(7));
    QCOMPARE(row.device, QStringLiteral("/dev/ttyUSB2"));
    QCOMPARE(row.status, status);
    QCOMPARE(row.firmware, status == ScanResult::Status::Found ? detail : QString());
    QCOMPARE(row.reason, status == ScanResult::Status::Error ? detail : QString());
    QCOMPARE(exchangeOnly(record.trace), exchange);
    QCOMPARE(record.written, QByteArray(exchange.contains("out 2A") ? "*" : ""));
    QVERIFY(!record.leftOpen);
    QVERIFY(!record.leftRtsUp);
}

void CtlCoreTest::scanProbesEveryPortAtOnce() {
    constexpr int kPorts = 15;
    std::array<ProbeRecord, kPorts + 1> records;
    // Every probe waits in its first pause until all have reached theirs: a
    // scan that probes one port after another never gets them together.
    std::atomic<int> waiting{0};
    std::atomic<bool> gaveUp{false};
    std::array<int, kPorts + 1> together{};
    const auto makePort = [&](int16_t number) {
        auto port = std::make_unique<ProbePort>(&records[number]);
        if (number % 2 == 0)
            port->replies.push_back(deviceReply({}, number == 4 ? '3' : '6'));
        probeOnThisThread = port.get();
        return port;
    };
    const auto pause = [&](int ms) {
        ProbePort* port = probeOnThisThread;
        port->trace << QStringLiteral("sleep %1").arg(ms);
        if (port->trace.count(QStringLiteral("sleep 200")) != 1)
            return;
        ++waiting;
        QElapsedTimer clock;
        clock.start();
        while (waiting < kPorts && !gaveUp && clock.elapsed() < 5000)
            QThread::msleep(1);
        if (waiting < kPorts)
            gaveUp = true;
        together[port->CommPort()] = waiting;
    };
    QList<ScanPort> ports;
    for (int16_t n = 1; n <= kPorts; ++n)
        ports.append({n, QStringLiteral("/dev/com%1").arg(n)});
    const PortSettingsValues settings{9, 2, 19200, 0, 0};

    const QList<ScanResult> results = scanPorts(ports, settings, makePort, pause);

    QCOMPARE(results.size(), kPorts);
    for (int16_t n = 1; n <= kPorts; ++n) {
        const ScanResult& row = results[n - 1];
        QCOMPARE(row.port, n);
        QCOMPARE(together[n], kPorts);
        QCOMPARE(row.status, n % 2 == 0 ? ScanResult::Status::Found : ScanResult::Status::NoAnswer);
        QCOMPARE(row.firmware, n % 2 ? QString() : QString(n == 4 ? "2x3" : "6"));
        // Each probe's port is set up from the settings file's line, as
        // LoadPortSettings sets up the read's, on its own number.
        QCOMPARE(records[n].trace.mid(0, 5),
                 (QStringList{QStringLiteral("commport %1").arg(n), "handshaking 2",
                              "settings 19200,N,8,1", "inputmode 0", "dtr off"}));
        QCOMPARE(records[n].written, QByteArray("*"));
    }
}

// The statuses no simulator shows, and the columns lined up to the longest
// device name (the e2e scan test pins the rest).
void CtlCoreTest::scanOutputShapes() {
    using S = ScanResult::Status;
    const QList<ScanResult> results{
        {7, "/dev/ttyUSB2", S::NoPermission, {}, {}},
        {11, "/opt/ktr6/com11", S::Error, {}, "cannot set the RTS line: \"EIO\""},
    };
    const QByteArray json = R"([{"port":7,"device":"/dev/ttyUSB2","status":"no permission"},)"
                            R"({"port":11,"device":"/opt/ktr6/com11","status":"error",)"
                            R"("reason":"cannot set the RTS line: \"EIO\""}])"
                            "\n";
    QCOMPARE(scanJson(results), json);
    const QString table = "Port   Device           Status\n"
                          "COM7   /dev/ttyUSB2     no permission\n"
                          R"(COM11  /opt/ktr6/com11  error: cannot set the RTS line: "EIO")"
                          "\n";
    QCOMPARE(scanTable(results), table);
}

QTEST_GUILESS_MAIN(CtlCoreTest)
#include "test_ctl_core.moc"
