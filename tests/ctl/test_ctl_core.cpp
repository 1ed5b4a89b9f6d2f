// ktr6ctl's own parts: its command line, the parameter file it prints and
// ktr6ctl's own parts: its command line, the parameter file it prints and
// takes back and compares, the coefficient search, the monitor's CSV lines
// and the port scan on scripted ports.

#include "commissioning/Coefficient.h"
#include "commissioning/Commission.h"
#include "commissioning/ParameterJson.h"
#include "commissioning/RecordFiles.h"
#include "commissioning/Scan.h"
#include "protocol/ParameterBlock.h"
#include "support/FakeRelay.h"
#include "support/ScriptedPort.h"
#include "support/TestLocale.h"
#include "tools/ctl/CtlCommand.h"
#include "tools/ctl/Monitor.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <sys/stat.h>

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
    void planAmounts();
    void planFacts_data();
    void planFacts();
    void commissionJudgesTheReadBack_data();
    void commissionJudgesTheReadBack();
    void commissionStopTiming_data();
    void commissionStopTiming();
    void recordFilesNeverReplace();
    void journalKeepsEveryLineWhole();
    void reportShowsSignedAmounts();
    void setDifferences_data();
    void setDifferences();
    void closestFraction_data();
    void closestFraction();
    void fitOfAGivenFraction_data();
    void fitOfAGivenFraction();
    void amountRefused_data();
    void amountRefused();
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
    QTest::newRow("coefficient") << QStringList{"coefficient", "40/400"} << ""
                                 << int(C::Coefficient)
                                 << "json=0 file= port=- count=- amount=40/400 max=255/65535";
    QTest::newRow("coefficient, bounds and --json")
        << QStringList{"--max-divisor=1000", "coefficient", "0.1", "--json",
                       "--max-numerator",    "65535"}
        << "" << int(C::Coefficient) << "json=1 file= port=- count=- amount=0.1 max=65535/1000";
    QTest::newRow("coefficient, a negative amount is no option")
        << QStringList{"coefficient", "-0.1"} << "" << int(C::Coefficient)
        << "json=0 file= port=- count=- amount=-0.1 max=255/65535";
    QTest::newRow("diff FILE") << QStringList{"diff", "sheet.json"} << "" << int(C::Diff)
                               << "json=0 file=sheet.json port=- count=-";
    QTest::newRow("coefficient without amount")
        << QStringList{"coefficient"} << "coefficient needs an amount" << 0 << "";
    QTest::newRow("diff without file")
        << QStringList{"diff"} << "diff needs a parameter file" << 0 << "";
    QTest::newRow("max-numerator 0")
        << QStringList{"coefficient", "1", "--max-numerator", "0"}
        << "--max-numerator wants a whole number from 1 to 65535" << 0 << "";
    QTest::newRow("max-divisor 65536")
        << QStringList{"coefficient", "1", "--max-divisor=65536"}
        << "--max-divisor wants a whole number from 1 to 65535" << 0 << "";
    QTest::newRow("max-divisor text") << QStringList{"coefficient", "1", "--max-divisor", "many"}
                                      << "--max-divisor wants" << 0 << "";
    QTest::newRow("bounds on read") << QStringList{"read", "--max-divisor", "9"}
                                    << "--max-numerator and --max-divisor belong" << 0 << "";
    QTest::newRow("port on coefficient")
        << QStringList{"--port", "2", "coefficient", "1"} << "it uses no port" << 0 << "";
    QTest::newRow("json on diff") << QStringList{"diff", "f", "--json"} << "--json belongs" << 0
                                  << "";
    QTest::newRow("tolerance on write")
        << QStringList{"write", "f", "--tolerance=1e-3"} << "" << int(C::Write)
        << "json=0 file=f port=- count=- tolerance=1e-3";
    QTest::newRow("tolerance on coefficient, as a quotient")
        << QStringList{"coefficient", "1", "--tolerance", "1/2000"} << "" << int(C::Coefficient)
        << "json=0 file= port=- count=- amount=1 max=255/65535 tolerance=1/2000";
    QTest::newRow("tolerance over 1") << QStringList{"diff", "f", "--tolerance", "1.5"}
                                      << "--tolerance: \"1.5\" is over 1" << 0 << "";
    QTest::newRow("tolerance with a decimal comma")
        << QStringList{"commission", "f", "--tolerance", "0,001"}
        << "--tolerance: \"0,001\" has a decimal comma" << 0 << "";
    QTest::newRow("tolerance 0") << QStringList{"write", "f", "--tolerance=0"}
                                 << "--tolerance: " << 0 << "";
    QTest::newRow("tolerance on read")
        << QStringList{"read", "--tolerance", "1e-3"}
        << "--tolerance belongs to the write, coefficient, diff, commission and audit commands" << 0
        << "";
    QTest::newRow("two amounts") << QStringList{"coefficient", "1", "2"}
                                 << "unexpected argument \"2\"" << 0 << "";
    QTest::newRow("commission, every option")
        << QStringList{"commission",
                       "plan.json",
                       "--record",
                       "r.PDF",
                       "--site=Rozvodňa Žilina",
                       "--relay",
                       " KTR6 č. 0042 ",
                       "--by",
                       "J. Kováč",
                       "--journal",
                       "site.jsonl"}
        << "" << int(C::Commission)
        << "json=0 file=plan.json port=- count=- record=r.PDF journal=site.jsonl "
           "site=Rozvodňa Žilina relay=KTR6 č. 0042 by=J. Kováč";
    QTest::newRow("commission, 80 characters of two bytes")
        << QStringList{"commission", "-", "--site", QString(80, QChar(0x17D))} << ""
        << int(C::Commission)
        << "json=0 file=- port=- count=- record= journal= site=" + QString(80, QChar(0x17D)) +
               " relay= by=";
    QTest::newRow("commission without plan")
        << QStringList{"commission"} << "commission needs a plan" << 0 << "";
    QTest::newRow("site of 81 characters")
        << QStringList{"commission", "p", "--site", QString(81, QChar(0x17D))}
        << "--site is 81 characters long; at most 80" << 0 << "";
    QTest::newRow("relay with a newline")
        << QStringList{"commission", "p", "--relay", "A\nB"}
        << "--relay holds a control character (U+000A)" << 0 << "";
    QTest::newRow("technician with a tab") << QStringList{"commission", "p", "--by=J.\tK"}
                                           << "--by holds a control character (U+0009)" << 0 << "";
    QTest::newRow("record not a PDF") << QStringList{"commission", "p", "--record", "r.json"}
                                      << "--record wants a file name ending in .pdf" << 0 << "";
    QTest::newRow("record only a suffix") << QStringList{"commission", "p", "--record", "dir/.pdf"}
                                          << "--record wants a file name ending in .pdf" << 0 << "";
    QTest::newRow("journal empty")
        << QStringList{"commission", "p", "--journal="} << "--journal needs a file name" << 0 << "";
    QTest::newRow("site on write") << QStringList{"write", "p", "--site", "x"}
                                   << "belong to the commission and audit commands" << 0 << "";

    // The whole "does not belong" texts; with two misplaced options, the
    // first in the table's order is named.
    QTest::newRow("json on monitor")
        << QStringList{"monitor", "--json"}
        << "--json belongs to the read, scan, coefficient, counts and service commands" << 0 << "";
    // counts: its own --relay (a name, not commission's label), times with a
    // zone, and the CSV options only with --csv.
    QTest::newRow("counts, every option")
        << QStringList{"counts",
                       "--database",
                       "c.sqlite",
                       "--relay",
                       "T1",
                       "--from",
                       "2026-12-07T15:15:00+01:00",
                       "--to=2026-12-08T00:00:00Z",
                       "--csv",
                       "--separator",
                       ";",
                       "--decimal-comma"}
        << "" << int(C::Counts)
        << "json=0 file= port=- count=- counts=c.sqlite,T1,2026-12-07T15:15:00+01:00,"
           "2026-12-08T00:00:00Z,;,csv,comma";
    QTest::newRow("counts time without a zone")
        << QStringList{"counts", "--from", "2026-12-07T14:15:00"}
        << "--from wants a time such as 2026-12-07T14:15:00Z" << 0 << "";
    QTest::newRow("counts from after to")
        << QStringList{"counts", "--from", "2026-12-08T00:00Z", "--to", "2026-12-07T00:00Z"}
        << "--from is after --to" << 0 << "";
    QTest::newRow("counts csv and json") << QStringList{"counts", "--csv", "--json"}
                                         << "--csv and --json: give one of them" << 0 << "";
    QTest::newRow("counts separator without csv")
        << QStringList{"counts", "--separator", ";"} << "go with --csv" << 0 << "";
    QTest::newRow("counts comma twice")
        << QStringList{"counts", "--csv", "--decimal-comma", "--separator", ","}
        << "--decimal-comma needs another --separator" << 0 << "";
    QTest::newRow("counts separator a digit") << QStringList{"counts", "--csv", "--separator", "1"}
                                              << "--separator wants one character" << 0 << "";
    // service: an action, and a relay's name for pause and resume.
    QTest::newRow("service pause")
        << QStringList{"service", "pause", "T1", "--socket", "s"} << "" << int(C::Service)
        << "json=0 file= port=- count=- service=pause,T1,s";
    QTest::newRow("service status json")
        << QStringList{"service", "status", "--json"} << "" << int(C::Service)
        << "json=1 file= port=- count=- service=status,,";
    QTest::newRow("service resume without a name")
        << QStringList{"service", "resume"} << "service resume needs the relay's NAME" << 0 << "";
    QTest::newRow("service status with a name")
        << QStringList{"service", "status", "T1"} << "unexpected argument \"T1\"" << 0 << "";
    QTest::newRow("service unknown action")
        << QStringList{"service", "stop", "T1"} << "unknown action \"stop\"" << 0 << "";
    QTest::newRow("service without action")
        << QStringList{"service"} << "service needs an action" << 0 << "";
    QTest::newRow("counts set-total")
        << QStringList{"counts", "--set-total", "T1", "7", "1500.5"} << "" << int(C::Counts)
        << "json=0 file= port=- count=- counts=,,,, total=T1/7=1500.5";
    QTest::newRow("counts set-total channel 9")
        << QStringList{"counts", "--set-total", "T1", "9", "1"}
        << "--set-total: CHANNEL is 1..6 (inputs) or 7, 8" << 0 << "";
    QTest::newRow("counts set-total decimal comma")
        << QStringList{"counts", "--set-total", "T1", "1", "2,5"}
        << "--set-total: VALUE is a number with \".\" as the decimal point" << 0 << "";
    QTest::newRow("counts set-total and json")
        << QStringList{"counts", "--set-total", "T1", "1", "2", "--json"}
        << "--set-total prints nothing" << 0 << "";
    QTest::newRow("counts with a port")
        << QStringList{"counts", "--port", "3"} << "counts reads the database; it takes no --port"
        << 0 << "";
    QTest::newRow("save on coefficient") << QStringList{"coefficient", "1", "--save"}
                                         << "--save belongs to the scan command" << 0 << "";
    QTest::newRow("count on scan")
        << QStringList{"scan", "--count=3"} << "--count belongs to the monitor command" << 0 << "";
    QTest::newRow("max-numerator on commission")
        << QStringList{"commission", "p", "--max-numerator", "9"}
        << "--max-numerator and --max-divisor belong to the coefficient command" << 0 << "";
    QTest::newRow("journal on monitor")
        << QStringList{"monitor", "--journal", "j"}
        << "--journal and --by belong to the commission, audit, site commission and site audit "
           "commands"
        << 0 << "";
    QTest::newRow("record on monitor")
        << QStringList{"monitor", "--record", "r.pdf"}
        << "--record, --site and --relay belong to the commission and audit commands" << 0 << "";
    // A site's commands are two words.
    QTest::newRow("site commission, every option")
        << QStringList{"--by",      "J. Kováč",     "site",      "commission",
                       "site.json", "--folder=out", "--journal", "j"}
        << "" << int(C::SiteCommission)
        << "json=0 file=site.json port=- count=- folder=out by=J. Kováč";
    QTest::newRow("site alone") << QStringList{"site"} << "site needs what to do" << 0 << "";
    QTest::newRow("site of another word")
        << QStringList{"site", "erase", "s.json"} << "unknown command \"site erase\"" << 0 << "";
    QTest::newRow("site commission without a file")
        << QStringList{"site", "commission"} << "site commission needs a site file" << 0 << "";
    QTest::newRow("site commission with --port")
        << QStringList{"site", "commission", "s.json", "--port", "3"}
        << "takes each relay's port from the site file" << 0 << "";
    QTest::newRow("site audit, every option")
        << QStringList{"site", "audit", "site.json", "--folder", "out", "--by", "M. Horváth"} << ""
        << int(C::SiteAudit) << "json=0 file=site.json port=- count=- folder=out by=M. Horváth";
    QTest::newRow("site audit with --port")
        << QStringList{"site", "audit", "s.json", "--port=3"}
        << "site audit takes each relay's port from the site file" << 0 << "";
    QTest::newRow("site commission with --record")
        << QStringList{"site", "commission", "s.json", "--record", "r.pdf"}
        << "--record, --site and --relay belong to the commission and audit commands" << 0 << "";
    // The meter's facts stand for the amount.
    QTest::newRow("coefficient from meter facts")
        << QStringList{"coefficient", "--meter-constant", "10000",  "--ct=1500/5",
                       "--vt",        "22000/100",        "--unit", " kWh "}
        << "" << int(C::Coefficient)
        << "json=0 file= port=- count=- amount= max=255/65535 facts=10000,1500/5,22000/100,kWh";
    QTest::newRow("AMOUNT and --meter-constant")
        << QStringList{"coefficient", "0.1", "--meter-constant", "1000"}
        << "--meter-constant stands for AMOUNT: give one of them, not both" << 0 << "";
    QTest::newRow("ct zero") << QStringList{"coefficient", "--meter-constant", "1000", "--ct",
                                            "0/5"}
                             << "--ct: \"0/5\" is zero" << 0 << "";
    QTest::newRow("unit with a line separator")
        << QStringList{"coefficient", "--meter-constant", "1000", "--unit",
                       QString::fromUtf8("m\u2028\u00b3")}
        << "--unit holds a control character (U+2028)" << 0 << "";
    QTest::newRow("unit too long")
        << QStringList{"coefficient", "--meter-constant", "1000", "--unit", QString(17, u'x')}
        << "--unit wants a unit of 1 to 16 characters" << 0 << "";
    QTest::newRow("ct on read") << QStringList{"read", "--ct", "100/5"}
                                << "--meter-constant, --ct, --vt and --unit belong to the "
                                   "coefficient command"
                                << 0 << "";
    QTest::newRow("port on scan, whole") << QStringList{"scan", "--port=2"}
                                         << "scan probes every port; it takes no --port" << 0 << "";
    QTest::newRow("port on coefficient, whole")
        << QStringList{"coefficient", "1", "--port", "2"}
        << "--port does not belong to the coefficient command: it uses no port" << 0 << "";
    QTest::newRow("count and save on read") << QStringList{"read", "--count", "2", "--save"}
                                            << "--save belongs to the scan command" << 0 << "";

    // A help row's summary is the outline of the help it shows: the command,
    // the options of its synopsis, the options it lists, its exit statuses.
    QTest::newRow("read --help") << QStringList{"read", "--help"} << "" << int(C::Help)
                                 << "help read: --json --port; lists --help --json --port; "
                                    "exits 0 1 2 128+N";
    QTest::newRow("--help write")
        << QStringList{"--help", "write"} << "" << int(C::Help)
        << "help write: --port --tolerance; lists --help --port --tolerance; "
           "exits 0 1 2 128+N";
    QTest::newRow("monitor -h") << QStringList{"monitor", "-h"} << "" << int(C::Help)
                                << "help monitor: --count --port; lists --count --help --port; "
                                   "exits 0 1 2 128+N";
    QTest::newRow("scan --help") << QStringList{"scan", "--help"} << "" << int(C::Help)
                                 << "help scan: --json --save; lists --help --json --save; "
                                    "exits 0 2 128+N";
    QTest::newRow("-h coefficient, a negative amount")
        << QStringList{"-h", "coefficient", "-0.1"} << "" << int(C::Help)
        << "help coefficient: --ct --json --max-divisor --max-numerator --meter-constant "
           "--tolerance --unit --vt; lists --ct --help --json --max-divisor --max-numerator "
           "--meter-constant --tolerance --unit --vt; exits 0 2 128+N";
    QTest::newRow("diff FILE --help")
        << QStringList{"diff", "f", "--help"} << "" << int(C::Help)
        << "help diff: --port --tolerance; lists --help --port --tolerance; "
           "exits 0 1 2 3 128+N";
    QTest::newRow("commission --help")
        << QStringList{"commission", "--help", "--port", "3"} << "" << int(C::Help)
        << "help commission: --by --journal --port --record --relay --site --tolerance; lists --by "
           "--help --journal --port --record --relay --site --tolerance; exits 0 1 2 3 4 128+N";
    QTest::newRow("audit --help")
        << QStringList{"audit", "--help"} << "" << int(C::Help)
        << "help audit: --by --journal --port --record --relay --site --tolerance; lists --by "
           "--help --journal --port --record --relay --site --tolerance; exits 0 1 2 3 4 128+N";
    QTest::newRow("--help of no command: the whole help")
        << QStringList{"--help", "erase"} << "" << int(C::Help)
        << "help COMMAND: --port; lists --by --folder --help --journal --json --port --record "
           "--relay --site --socket --tolerance --version; exits 0 1 2 3 4 128+N";
    QTest::newRow("site commission --help")
        << QStringList{"site", "commission", "--help"} << "" << int(C::Help)
        << "help site: --by --folder --journal; lists --by --folder --help --journal; "
           "exits 0 1 2 3 4 128+N";
}

namespace {

// The outline of a help text: the command its synopsis names and the options
// in it, the options its Options section lists and the exit statuses it gives.
QString helpOutline(const QString& help) {
    const QString synopsis = help.section(QRegularExpression("\\n(?! )"), 0, 0);
    const QString command = QString(synopsis)
                                .remove(QRegularExpression("\\[[^]]*\\]"))
                                .section(QRegularExpression("\\s+"), 2, 2);
    auto matches = [](const QString& text, const char* pattern, bool sorted) {
        QStringList found;
        for (const auto& m :
             QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text))
            found << m.captured(1).remove(' ');
        if (sorted)
            std::sort(found.begin(), found.end());
        return found.join(' ');
    };
    const QString options = help.section("\nOptions:\n", 1).section("\n\n", 0, 0);
    const QString exits = help.section("\nExit status:\n", 1);
    return QStringLiteral("help %1: %2; lists %3; exits %4")
        .arg(command, matches(synopsis, "\\[(--[a-z-]+)", true),
             matches(options, "^  (?:-h, )?(--[a-z-]+)", true),
             matches(exits, "^  (\\d+(?: \\+ N)?)", false));
}

} // namespace

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
    if (summary.startsWith(QLatin1String("help "))) {
        QCOMPARE(helpOutline(usageText(o.helpCommand)), summary);
        return;
    }
    const QString parsed = QStringLiteral("json=%1 file=%2 port=%3 count=%4")
                               .arg(int(o.json))
                               .arg(o.file, o.port ? QString::number(*o.port) : QStringLiteral("-"),
                                    o.count ? QString::number(*o.count) : QStringLiteral("-"));
    QString extra;
    if (o.command == CtlOptions::Command::Coefficient)
        extra = QStringLiteral(" amount=%1 max=%2/%3")
                    .arg(o.amount, QString::number(o.maxNumerator), QString::number(o.maxDivisor));
    if (!o.facts.meterConstant.isEmpty())
        extra += QStringLiteral(" facts=%1,%2,%3,%4")
                     .arg(o.facts.meterConstant, o.facts.ct, o.facts.vt, o.facts.unit);
    if (o.command == CtlOptions::Command::Commission)
        extra = QStringLiteral(" record=%1 journal=%2 site=%3 relay=%4 by=%5")
                    .arg(o.record.pdf, o.record.journal, o.record.site, o.record.relay,
                         o.record.technician);
    if (o.command == CtlOptions::Command::SiteCommission ||
        o.command == CtlOptions::Command::SiteAudit)
        extra = QStringLiteral(" folder=%1 by=%2").arg(o.record.folder, o.record.technician);
    if (o.command == CtlOptions::Command::Counts)
        extra = QStringLiteral(" counts=%1,%2,%3,%4,%5%6%7")
                    .arg(o.counts.database, o.counts.relay, o.counts.from, o.counts.to,
                         o.counts.separator, o.csv ? QStringLiteral(",csv") : QString(),
                         o.decimalComma ? QStringLiteral(",comma") : QString()) +
                (o.counts.setTotalRelay.isEmpty() ? QString()
                                                  : QStringLiteral(" total=%1/%2=%3")
                                                        .arg(o.counts.setTotalRelay)
                                                        .arg(o.counts.setTotalChannel)
                                                        .arg(o.counts.setTotalValue));
    if (o.command == CtlOptions::Command::Service)
        extra = QStringLiteral(" service=%1,%2,%3")
                    .arg(o.serviceAction, o.service.relay, o.service.socket);
    if (o.save)
        extra += QStringLiteral(" save");
    if (!o.tolerance.isEmpty())
        extra += QStringLiteral(" tolerance=") + o.tolerance;
    QCOMPARE(parsed + extra, summary);
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

    // The set diff compares with: the same table and output, no firmware.
    const auto set = parameterSetFromJson(kSampleJson, &error);
    QVERIFY2(set, qPrintable(error));
    ParameterSet expected = sampleSet();
    expected.firmwareVersion.clear();
    QVERIFY(*set == expected);
    QVERIFY(!parameterSetFromJson(QByteArray(kSampleJson).replace("65535", "65536"), &error));
    QVERIFY2(error.contains("inputs[2] (IN 3) divisor is 65536"), qPrintable(error));
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
    QTest::newRow("input not an object")
        << replaced(R"({"numerator":1,"divisor":4,"minus":true})", "7")
        << "inputs[1] (IN 2) must be an object";
    QTest::newRow("divisor missing")
        << replaced(R"("divisor":4,)", "") << "inputs[1] (IN 2) divisor is missing";
    QTest::newRow("minus as number") << replaced(R"("minus":true)", R"("minus":1)")
                                     << "inputs[1] (IN 2) minus must be true or false";
    QTest::newRow("misspelt key") << replaced(R"("minus":true)", R"("minus":true,"sign":1)")
                                  << "inputs[1] (IN 2): unknown entry \"sign\"";
    QTest::newRow("output 256") << replaced(R"("output":5)", R"("output":256)")
                                << "\"output\" is 256, outside 0..255";
    QTest::newRow("output missing") << replaced(R"(,"output":5)", "") << "\"output\" is missing";
    // The intended amount: what coefficient refuses, refused here alike.
    QTest::newRow("amount negative")
        << replaced(R"("minus":true)", R"("minus":true,"amount":"-0.25")")
        << "inputs[1] (IN 2) amount: \"-0.25\" is negative; give the size";
    QTest::newRow("amount a negative number")
        << replaced(R"("minus":true)", R"("minus":true,"amount":-0.25)")
        << "inputs[1] (IN 2) amount: \"-0.25\" is negative";
    QTest::newRow("amount decimal comma")
        << replaced(R"("numerator":16,)", R"("numerator":16,"amount":"0,1",)")
        << "inputs[0] (IN 1) amount: \"0,1\" has a decimal comma; write \"0.1\"";
    QTest::newRow("amount zero") << replaced(R"("numerator":16,)", R"("numerator":16,"amount":0,)")
                                 << "inputs[0] (IN 1) amount: \"0\" is zero";
    QTest::newRow("amount beyond 1e9")
        << replaced(R"("numerator":16,)", R"("numerator":16,"amount":2e9,)")
        << "inputs[0] (IN 1) amount: \"2e+09\" lies outside 1e-9..1e9";
    QTest::newRow("amount empty") << replaced(R"("numerator":16,)",
                                              R"("numerator":16,"amount":"",)")
                                  << "inputs[0] (IN 1) amount: the amount is empty";
    QTest::newRow("amount true") << replaced(R"("numerator":16,)",
                                             R"("numerator":16,"amount":true,)")
                                 << "inputs[0] (IN 1) amount must be a text such as \"0.1\"";
    // What an input counts: a label and a unit are one line, the facts give
    // an amount as coefficient works it out.
    QTest::newRow("amount of 201 characters")
        << replaced(R"("numerator":16,)",
                    "\"numerator\":16,\"amount\":\"16." + QByteArray(198, '0') + "\",")
        << "inputs[0] (IN 1) amount: the amount is longer than 200 characters";
    QTest::newRow("label with a paragraph separator")
        << replaced(R"("numerator":16,)", "\"numerator\":16,\"label\":\"T1\u2029import\",")
        << "inputs[0] (IN 1) label holds a control character (U+2029)";
    QTest::newRow("label a number")
        << replaced(R"("numerator":16,)", R"("numerator":16,"label":1,)")
        << "inputs[0] (IN 1) label must be a text";
    QTest::newRow("label of 81 characters")
        << replaced(R"("numerator":16,)",
                    "\"numerator\":16,\"label\":\"" + QByteArray(81, 'x') + "\",")
        << "inputs[0] (IN 1) label is 81 characters long; at most 80";
    QTest::newRow("unit of 17 characters")
        << replaced(R"("numerator":16,)",
                    "\"numerator\":16,\"unit\":\"" + QByteArray(17, 'x') + "\",")
        << "inputs[0] (IN 1) unit is 17 characters long; at most 16";
    QTest::newRow("ct without a meter constant")
        << replaced(R"("numerator":16,)", R"("numerator":16,"ct":"1500/5",)")
        << "inputs[0] (IN 1): \"ct\" and \"vt\" need a \"meter_constant\"";
    QTest::newRow("meter constant zero")
        << replaced(R"("numerator":16,)", R"("numerator":16,"meter_constant":0,)")
        << "inputs[0] (IN 1) meter_constant: \"0\" is zero";
    QTest::newRow("vt with a decimal comma")
        << replaced(R"("numerator":16,)",
                    R"("numerator":16,"meter_constant":1000,"vt":"22000/100,5",)")
        << "inputs[0] (IN 1) vt: \"22000/100,5\" has a decimal comma";
    QTest::newRow("ct with cubic metres")
        << replaced(
               R"("numerator":16,)",
               "\"numerator\":16,\"meter_constant\":100,\"ct\":\"100/5\",\"unit\":\"m\u00b3\",")
        << "inputs[0] (IN 1): a transformer ratio goes with an amount of energy (Wh, kWh or MWh)";
    QTest::newRow("facts giving more than 1e9 Wh")
        << replaced(R"("numerator":16,)",
                    R"("numerator":16,"meter_constant":"1e-3","ct":"2000/1","unit":"Wh",)")
        << "inputs[0] (IN 1): the amount per impulse these facts give, 2000000000, lies outside";
    QTest::newRow("amount on the set")
        << replaced(R"(,"output":5)", R"(,"output":5,"amount":"1")") << "unknown entry \"amount\"";
}

void CtlCoreTest::badParameterFile() {
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    QString message;
    QVERIFY(!editorFieldsFromJson(json, &message));
    QVERIFY2(message.contains(error), qPrintable(message));
}

void CtlCoreTest::planAmounts() {
    QByteArray json = kSampleJson;
    json.replace(R"("numerator":16,)", R"("numerator":16,"amount":" 40/400 ",)");
    json.replace(R"("minus":true},{"numerator":300)",
                 R"("minus":true,"amount":0.25},{"numerator":300)");
    json.replace(R"("numerator":0,)", R"("numerator":0,"amount":null,)");
    json.replace(R"("numerator":2,)", R"("numerator":2,"amount":1e-9,)");
    json.replace(R"("numerator":5,)", R"("numerator":5,"amount":"5",)");
    QString error;
    const auto plan = parameterPlanFromJson(json, &error);
    QVERIFY2(plan, qPrintable(error));
    QCOMPARE(QStringList(plan->amounts.begin(), plan->amounts.end()),
             (QStringList{" 40/400 ", "0.25", "", "", "1e-09", "5"}));
    // The same file passes write's check and diff's.
    QVERIFY(editorFieldsFromJson(json, &error));
    QVERIFY(parameterSetFromJson(json, &error));
    QCOMPARE(plan->set.firmwareVersion, QStringLiteral("6"));

    // 16/1 against 0.1, 1/4 against 0.25 exactly, 2/3 against 1e-9, 5/0.
    QCOMPARE(intendedAmount(*plan, 0)->relativeError.value(), 159.0);
    QVERIFY(intendedAmount(*plan, 0)->outOfReach);
    QCOMPARE(intendedAmount(*plan, 1)->relativeError.value(), 0.0);
    QVERIFY(!intendedAmount(*plan, 1)->outOfReach);
    QVERIFY(!intendedAmount(*plan, 2));
    QCOMPARE(intendedAmount(*plan, 4)->relativeError.value(), 666666665.6666666);
    QVERIFY(intendedAmount(*plan, 5) && !intendedAmount(*plan, 5)->relativeError);
}

void CtlCoreTest::planFacts_data() {
    QTest::addColumn<QByteArray>("in1");      // IN 1's entries before "minus"
    QTest::addColumn<QString>("tolerance");   // empty: the default
    QTest::addColumn<QString>("amount");      // the amount IN 1 intends
    QTest::addColumn<QString>("problem");     // a part of the plan's problem, empty: none
    QTest::addColumn<QByteArray>("planJson"); // a part of the plan's JSON, empty: not checked

    QTest::newRow("kWh from CT, VT and meter constant")
        << QByteArray(R"("numerator":33,"divisor":5,"label":" Incomer T1, import ","unit":"kWh",)"
                      R"("meter_constant":10000,"ct":"1500/5","vt":"22000/100",)")
        << ""
        << "6.6"
        << ""
        << QByteArray(R"("minus":false,"amount":"6.6","relative_error":0,"label":"Incomer T1, )"
                      R"(import","unit":"kWh","meter_constant":"10000","ct":"1500/5",)"
                      R"("vt":"22000/100"})");
    QTest::newRow("Wh: a meter of 1000 impulses per kWh")
        << QByteArray(R"("numerator":1,"divisor":1,"unit":"Wh","meter_constant":"1000",)") << ""
        << "1"
        << "" << QByteArray();
    QTest::newRow("MWh through a CT")
        << QByteArray(R"("numerator":3,"divisor":4000,"unit":"MWh","meter_constant":400,)"
                      R"("ct":"1500/5",)")
        << ""
        << "0.00075"
        << "" << QByteArray();
    QTest::newRow("cubic metres: impulses per m3")
        << QByteArray(
               "\"numerator\":1,\"divisor\":100,\"unit\":\"m\u00b3\",\"meter_constant\":100,")
        << ""
        << "0.01"
        << "" << QByteArray();
    QTest::newRow("no unit: per the register's unit")
        << QByteArray(R"("numerator":8,"divisor":1,"meter_constant":"2.5","ct":"100/5",)") << ""
        << "8"
        << "" << QByteArray();
    QTest::newRow("amount within the tolerance of the facts")
        << QByteArray(R"("numerator":33,"divisor":5,"amount":"6.6001","meter_constant":10000,)"
                      R"("ct":"1500/5","vt":"22000/100",)")
        << ""
        << "6.6001"
        << "" << QByteArray();
    QTest::newRow("amount ten times off the facts")
        << QByteArray(R"("numerator":33,"divisor":50,"amount":"0.66","meter_constant":10000,)"
                      R"("ct":"1500/5","vt":"22000/100",)")
        << ""
        << "0.66"
        << "inputs[0] (IN 1): the stated amount \"0.66\" is off the amount its meter facts "
           "give, 6.6, by a relative error of 0.9, over the tolerance 1e-4"
        << QByteArray();
    QTest::newRow("amount off the facts over a finer tolerance")
        << QByteArray(R"("numerator":33,"divisor":5,"amount":"6.6001","meter_constant":10000,)"
                      R"("ct":"1500/5","vt":"22000/100",)")
        << "1e-5"
        << "6.6001"
        << "off the amount its meter facts give, 6.6" << QByteArray();
    // The longest amount a plan may state, and fractions in it as coefficient
    // reads them: two negatives make a positive.
    QTest::newRow("amount of 200 characters")
        << QByteArray("\"numerator\":16,\"divisor\":1,\"amount\":\"16." + QByteArray(197, '0') +
                      "\",")
        << ""
        << "16." + QString(197, u'0') << "" << QByteArray();
    QTest::newRow("a quotient of two negatives")
        << QByteArray(R"("numerator":1,"divisor":2,"amount":"-1/-2","meter_constant":"-4/-2",)")
        << ""
        << "-1/-2"
        << "" << QByteArray(R"("amount":"-1/-2","relative_error":0,"meter_constant":"-4/-2"})");
    QTest::newRow("fraction off the facts' amount")
        << QByteArray(R"("numerator":6,"divisor":1,"meter_constant":10000,"ct":"1500/5",)"
                      R"("vt":"22000/100",)")
        << ""
        << "6.6"
        << "the fraction 6/1 for the stated amount \"6.6\" is off" << QByteArray();
}

void CtlCoreTest::planFacts() {
    QFETCH(QByteArray, in1);
    QFETCH(QString, tolerance);
    QFETCH(QString, amount);
    QFETCH(QString, problem);
    QFETCH(QByteArray, planJson);

    QByteArray json = kSampleJson;
    json.replace(R"("numerator":16,"divisor":1,)", in1);
    QString error;
    auto plan = parameterPlanFromJson(json, &error);
    QVERIFY2(plan, qPrintable(error));
    if (!tolerance.isEmpty())
        plan->tolerance = *parseTolerance(tolerance, nullptr);
    QCOMPARE(plan->amounts[0], amount);
    const QString found = planAmountProblem(*plan);
    if (problem.isEmpty())
        QVERIFY2(found.isEmpty(), qPrintable(found));
    else
        QVERIFY2(found.contains(problem), qPrintable(found));
    if (!planJson.isEmpty())
        QVERIFY2(parameterPlanJson(*plan).contains(planJson), parameterPlanJson(*plan).constData());
}

void CtlCoreTest::commissionJudgesTheReadBack_data() {
    QTest::addColumn<QString>("relay");         // how the device behaves
    QTest::addColumn<int>("outcome");           // Outcome
    QTest::addColumn<QString>("result");        // reason, or the differences joined by "; "
    QTest::addColumn<int>("blocks");            // blocks the device stored
    QTest::addColumn<bool>("writeSaysWritten"); // the write's own box: "All Parameter writen"

    QTest::newRow("verified") << "holds another set" << int(Outcome::Verified) << "" << 1 << true;
    QTest::newRow("unchanged") << "holds the plan" << int(Outcome::Unchanged) << "" << 0 << false;
    QTest::newRow("the output value alone differs")
        << "keeps output + 1" << int(Outcome::NotVerified) << "output: device 8, file 7" << 1
        << true;
    QTest::newRow("a numerator differs") << "keeps IN 1 numerator + 1" << int(Outcome::NotVerified)
                                         << "IN 1 numerator: device 41, file 40" << 1 << false;
    QTest::newRow("silent") << "silent" << int(Outcome::Failed)
                            << "reading the device: no complete reply from the device on COM1 "
                               "(/dev/scripted) after 3 attempts"
                            << 0 << false;
    QTest::newRow("silent after the write")
        << "silent after a write" << int(Outcome::Failed)
        << "reading back what was written: no complete reply from the device on COM1 "
           "(/dev/scripted) after 3 attempts"
        << 1 << false;
    QTest::newRow("port taken after the read")
        << "port taken after the read" << int(Outcome::Failed)
        << "writing the parameters: COM1 (/dev/scripted): " << 0 << false;
}

void CtlCoreTest::commissionJudgesTheReadBack() {
    QFETCH(QString, relay);
    QFETCH(int, outcome);
    QFETCH(QString, result);
    QFETCH(int, blocks);
    QFETCH(bool, writeSaysWritten);
    TestSeams seams;
    FakeRelay device(seams.port);
    QByteArray json = kSampleJson;
    json.replace(R"("numerator":16)", R"("numerator":40)")
        .replace(R"("output":5)", R"("output":7)");
    QString error;
    const auto plan = parameterPlanFromJson(json, &error);
    QVERIFY2(plan, qPrintable(error));
    const auto& table = plan->set.table;
    for (int i = 0; i < 6; ++i)
        device.setRow(i, table[i][0], table[i][1], table[i][2]);
    device.stored.output = 7;
    if (relay != QLatin1String("holds the plan"))
        device.stored.numerators[0] = 16;
    if (relay == QLatin1String("keeps output + 1"))
        device.corrupt = [](RelayParams& p) { ++p.output; };
    if (relay == QLatin1String("keeps IN 1 numerator + 1"))
        device.corrupt = [](RelayParams& p) { ++p.numerators[0]; };
    if (relay == QLatin1String("silent after a write"))
        device.corrupt = [&device](RelayParams&) { device.silent = true; };
    device.silent = relay == QLatin1String("silent");
    if (relay == QLatin1String("port taken after the read"))
        device.refuseOpenAfterRead = comm::kPortAlreadyOpen;

    const DeviceOutcome done = commissionDevice(*plan, seams.port, Sleep, nullptr);

    QCOMPARE(int(done.outcome), outcome);
    const QString told =
        outcome == int(Outcome::Failed) ? done.reason : done.differences.join(QStringLiteral("; "));
    QVERIFY2(result.isEmpty() ? told.isEmpty() : told.startsWith(result), qPrintable(told));
    QCOMPARE(device.blocksStored, blocks);
    // The write's own check (the table only) is returned, and no box shown.
    QCOMPARE(done.write == WriteOutcome::Result::Verified, writeSaysWritten);
    QCOMPARE(seams.messages.size(), 0);
    // The before set is the first read; the after set the write's read-back
    // (the read itself when nothing was written): never a third read.
    QCOMPARE(done.before.has_value(), relay != QLatin1String("silent"));
    if (done.before)
        QCOMPARE(done.before->table[0][Others::kNumeratorColumn],
                 relay == QLatin1String("holds the plan") ? 40 : 16);
    QCOMPARE(done.after.has_value(), outcome != int(Outcome::Failed));
    if (outcome == int(Outcome::Verified))
        QVERIFY(parameterSetDifferences(*done.after, plan->set).isEmpty());
    const qsizetype reads = seams.port.trace.count(QStringLiteral("out 2A"));
    QCOMPARE(reads,
             relay.startsWith(QLatin1String("silent")) ? (blocks ? 4 : 3)
             : relay == QLatin1String("holds the plan") || relay.startsWith(QLatin1String("port"))
                 ? 1
                 : 2);
}

void CtlCoreTest::commissionStopTiming_data() {
    QTest::addColumn<int>("stopAt"); // the pause that asks for the stop
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("blocks"); // blocks the device stored
    QTest::addColumn<int>("reads");  // "*" sent

    // Pauses 0 and 1 are the first read's; 2 comes before the write's ",",
    // 3 right after it, 4..29 after each octet, 30 is the device's store
    // time, 31 and 32 the read-back's.
    QTest::newRow("in the first read") << 1 << true << 0 << 1;
    QTest::newRow("before the \",\"") << 2 << true << 0 << 1;
    QTest::newRow("in the block") << 12 << false << 1 << 2;
    QTest::newRow("in the read-back") << 32 << false << 1 << 2;
}

// A stop before the write's "," ends the run with nothing sent; once the ","
// has gone the block, its read-back and the verdict all come.
void CtlCoreTest::commissionStopTiming() {
    QFETCH(int, stopAt);
    QFETCH(bool, stopped);
    QFETCH(int, blocks);
    QFETCH(int, reads);
    TestSeams seams;
    FakeRelay device(seams.port);
    QByteArray json = kSampleJson;
    QString error;
    const auto plan =
        parameterPlanFromJson(json.replace(R"("numerator":16)", R"("numerator":40)"), &error);
    QVERIFY2(plan, qPrintable(error));
    StopRequest stop;
    int pauses = 0;
    const Pause pause = [&](int ms) {
        if (pauses++ == stopAt)
            stop.request();
        Sleep(ms);
    };

    const DeviceOutcome done = commissionDevice(*plan, seams.port, pause, &stop);

    QCOMPARE(done.stopped, stopped);
    QCOMPARE(done.blockSent, blocks == 1);
    QCOMPARE(device.blocksStored, blocks);
    QCOMPARE(seams.port.trace.count(QStringLiteral("out 2A")), reads);
    QCOMPARE(int(done.outcome), int(stopped ? Outcome::Failed : Outcome::Verified));
    QCOMPARE(done.after.has_value(), !stopped);
    QVERIFY(!seams.port.PortOpen());
}

void CtlCoreTest::recordFilesNeverReplace() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("record.pdf"));
    QString error;
    QVERIFY2(recordfiles::canCreate(path, &error), qPrintable(error));
    const mode_t mask = ::umask(022);
    QCOMPARE(recordfiles::writeNewFile(path, "first", &error), recordfiles::Placed::Written);
    ::umask(mask);
    struct stat info {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &info) == 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0644));

    // A file at the path, or a link pointing nowhere, is left as it is.
    QVERIFY(!recordfiles::canCreate(path, &error));
    QVERIFY2(error.contains(QLatin1String("record.pdf already exists")), qPrintable(error));
    QCOMPARE(recordfiles::writeNewFile(path, "second", &error), recordfiles::Placed::Exists);
    QFile kept(path);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("first"));
    const QString link = dir.filePath(QStringLiteral("twin.json"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), link));
    QVERIFY(!recordfiles::canCreate(link, &error));
    QCOMPARE(recordfiles::writeNewFile(link, "{}", &error), recordfiles::Placed::Exists);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("nowhere"))));

    // No temporary file stays behind.
    QCOMPARE(QDir(dir.path())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{"record.pdf", "twin.json"}));
    QVERIFY(!recordfiles::canCreate(dir.filePath(QStringLiteral("no/such/folder/r.pdf")), &error));
    QVERIFY2(error.contains(QLatin1String("cannot create a file in")), qPrintable(error));
}

void CtlCoreTest::journalKeepsEveryLineWhole() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("site.jsonl"));
    QString error;
    {
        recordfiles::Journal journal;
        QVERIFY2(journal.open(path, &error), qPrintable(error)); // created when missing
        QVERIFY2(journal.append(R"({"n":1})", &error), qPrintable(error));
    }
    // A crash cut the next line short.
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(R"({"n":2,"tim)");
    file.close();
    for (const char* line : {R"({"n":3})", R"({"n":4})"}) {
        recordfiles::Journal journal;
        QVERIFY2(journal.open(path, &error) && journal.append(line, &error), qPrintable(error));
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("{\"n\":1}\n{\"n\":2,\"tim\n{\"n\":3}\n{\"n\":4}\n"));

    recordfiles::Journal folder;
    QVERIFY(!folder.open(dir.path(), &error));
    QVERIFY2(error.contains(QLatin1String("cannot open the journal")), qPrintable(error));
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

void CtlCoreTest::setDifferences_data() {
    QTest::addColumn<QList<int>>("change"); // input (0..5) and column, or -1 for the output; value
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("firmware"); // the file's; the device has "6"

    QTest::newRow("equal, the file names no firmware") << QList<int>{} << QStringList{} << "";
    QTest::newRow("equal, the same firmware") << QList<int>{} << QStringList{} << "6";
    QTest::newRow("another firmware")
        << QList<int>{} << QStringList{"firmware: device 6, file 2x3"} << "2x3";
    QTest::newRow("the firmware first")
        << QList<int>{0, 1, 17}
        << QStringList{"firmware: device 6, file 2x3", "IN 1 numerator: device 16, file 17"}
        << "2x3";
    QTest::newRow("numerator") << QList<int>{0, 1, 17}
                               << QStringList{"IN 1 numerator: device 16, "
                                              "file 17"}
                               << "";
    QTest::newRow("divisor") << QList<int>{2, 2, 31}
                             << QStringList{"IN 3 divisor: device 65535, file 31"} << "";
    QTest::newRow("sign to plus") << QList<int>{1, 0, 1}
                                  << QStringList{"IN 2 sign: device minus, file plus"} << "";
    QTest::newRow("sign to minus")
        << QList<int>{5, 0, 0} << QStringList{"IN 6 sign: device plus, file minus"} << "";
    QTest::newRow("output alone") << QList<int>{-1, 0, 6} << QStringList{"output: device 5, file 6"}
                                  << "";
    QTest::newRow("several, in input order")
        << QList<int>{-1, 0, 255, 4, 2, 4, 1, 1, 2, 4, 0, 1}
        << QStringList{"IN 2 numerator: device 1, file 2", "IN 5 divisor: device 3, file 4",
                       "IN 5 sign: device minus, file plus", "output: device 5, file 255"}
        << "";
}

void CtlCoreTest::setDifferences() {
    QFETCH(QList<int>, change);
    QFETCH(QStringList, lines);
    QFETCH(QString, firmware);
    const ParameterSet device = sampleSet();
    QCOMPARE(device.firmwareVersion, QStringLiteral("6"));
    ParameterSet file = sampleSet();
    file.firmwareVersion = firmware;
    for (qsizetype i = 0; i + 2 < change.size(); i += 3) {
        if (change[i] < 0)
            file.output = uint8_t(change[i + 2]);
        else
            file.table[change[i]][change[i + 1]] = change[i + 2];
    }
    QCOMPARE(parameterSetDifferences(device, file), lines);
}

namespace {

using Int128 = __int128;

Int128 int128(const QString& digits) {
    Int128 value = 0;
    for (const QChar c : digits)
        value = value * 10 + (c.unicode() - u'0');
    return value;
}

Int128 absolute(Int128 v) {
    return v < 0 ? -v : v;
}

// The closest n/d to p/q by trying every divisor: for each d the two
// numerators around p·d/q; a later candidate wins only when strictly
// closer, so ties keep the smallest divisor, then the smallest numerator.
std::pair<Int128, Int128> bruteForce(Int128 p, Int128 q, Int128 maxN, Int128 maxD) {
    Int128 bestN = 0, bestD = 0;
    for (Int128 d = 1; d <= maxD; ++d) {
        const Int128 below = p * d / q;
        for (Int128 n : {below, below + 1}) {
            n = std::clamp<Int128>(n, 1, maxN);
            // |n/d - p/q| against |bestN/bestD - p/q|, both over q.
            if (bestD == 0 || absolute(n * q - d * p) * bestD < absolute(bestN * q - bestD * p) * d)
                bestN = n, bestD = d;
        }
    }
    return {bestN, bestD};
}

} // namespace

void CtlCoreTest::closestFraction_data() {
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("p"); // the amount exactly as p/q, for the brute force;
    QTest::addColumn<QString>("q"); // empty where it is too large for it
    QTest::addColumn<int>("maxN");
    QTest::addColumn<int>("maxD");
    QTest::addColumn<QString>("expected"); // n/d, empty: whatever the brute force finds

    const int N = int(kDefaultMaxNumerator);
    const int M = int(kDefaultMaxDivisor);
    // Exact amounts.
    QTest::newRow("0.15") << "0.15"
                          << "15"
                          << "100" << N << M << "3/20";
    QTest::newRow("40/400") << "40/400"
                            << "40"
                            << "400" << N << M << "1/10";
    QTest::newRow("2.5") << "2.5"
                         << "5"
                         << "2" << N << M << "5/2";
    QTest::newRow("255") << "255"
                         << "255"
                         << "1" << N << M << "255/1";
    QTest::newRow("1/65535") << "1/65535"
                             << "1"
                             << "65535" << N << M << "1/65535";
    QTest::newRow("0.4/3") << " 0.4 / 3 "
                           << "4"
                           << "30" << N << M << "2/15";
    QTest::newRow("1.5e-3") << "1.5e-3"
                            << "15"
                            << "10000" << N << M << "3/2000";
    QTest::newRow("+1.5E+3, signs written") << "+1.5E+3"
                                            << "1500"
                                            << "1" << 65535 << M << "1500/1";
    QTest::newRow("65535/7 wide") << "65535/7"
                                  << "65535"
                                  << "7" << 65535 << M << "65535/7";
    // Not within reach exactly.
    QTest::newRow("0.333...") << "0.33333333333333333333"
                              << "33333333333333333333"
                              << "100000000000000000000" << N << M << "1/3";
    QTest::newRow("pi") << "3.1415926535897932384"
                        << "31415926535897932384"
                        << "10000000000000000000" << N << M << "";
    QTest::newRow("pi, wide") << "3.1415926535897932384"
                              << "31415926535897932384"
                              << "10000000000000000000" << 65535 << M << "";
    QTest::newRow("pi, d up to 7") << "3.1415926535897932384"
                                   << "31415926535897932384"
                                   << "10000000000000000000" << N << 7 << "22/7";
    QTest::newRow("pi, d up to 110") << "3.1415926535897932384"
                                     << "31415926535897932384"
                                     << "10000000000000000000" << 65535 << 110 << "";
    QTest::newRow("sqrt 2") << "1.4142135623730950488"
                            << "14142135623730950488"
                            << "10000000000000000000" << N << M << "";
    QTest::newRow("sqrt 2, small bounds") << "1.4142135623730950488"
                                          << "14142135623730950488"
                                          << "10000000000000000000" << 10 << 10 << "";
    QTest::newRow("e/1000, small bounds") << "0.0027182818284590452"
                                          << "27182818284590452"
                                          << "10000000000000000000" << 5 << 3000 << "";
    QTest::newRow("0.1 with d up to 5") << "0.1"
                                        << "1"
                                        << "10" << 3 << 5 << "1/5";
    // Beyond either bound.
    QTest::newRow("1e9") << "1e9"
                         << "1000000000"
                         << "1" << N << M << "255/1";
    QTest::newRow("1e9 wide") << "1e9"
                              << "1000000000"
                              << "1" << 65535 << M << "65535/1";
    QTest::newRow("300 over 255") << "300"
                                  << "300"
                                  << "1" << N << M << "255/1";
    QTest::newRow("1e-9") << "1e-9"
                          << "1"
                          << "1000000000" << N << M << "1/65535";
    QTest::newRow("1e-9, d up to 100") << "0.000000001"
                                       << "1"
                                       << "1000000000" << N << 100 << "1/100";
    QTest::newRow("1/70000") << "1/70000"
                             << "1"
                             << "70000" << N << M << "1/65535";
    // Ties: the smaller divisor, then the smaller numerator.
    QTest::newRow("tie 1.25, d up to 2") << "1.25"
                                         << "5"
                                         << "4" << N << 2 << "1/1";
    QTest::newRow("tie 7/12, d up to 3") << "7/12"
                                         << "7"
                                         << "12" << N << 3 << "1/2";
    QTest::newRow("tie 1.5, d 1") << "1.5"
                                  << "3"
                                  << "2" << N << 1 << "1/1";
    QTest::newRow("255.5, n up to 255, d 1") << "255.5"
                                             << "511"
                                             << "2" << N << 1 << "255/1";
    // Sizes beyond any fixed-width integer.
    QTest::newRow("1e300/1e299") << "1e300/1e299"
                                 << ""
                                 << "" << N << M << "10/1";
    QTest::newRow("30 digits") << "0.333333333333333333333333333333"
                               << ""
                               << "" << N << M << "1/3";
    QTest::newRow("40 digits over 40 digits")
        << "1234567890123456789012345678901234567890/4938271560493827156049382715604938271560"
        << ""
        << "" << N << M << "1/4";
    QTest::newRow("1e-300/1e-309") << "1e-300/1e-309"
                                   << ""
                                   << "" << N << M << "255/1";
}

void CtlCoreTest::closestFraction() {
    QFETCH(QString, amount);
    QFETCH(QString, p);
    QFETCH(QString, q);
    QFETCH(int, maxN);
    QFETCH(int, maxD);
    QFETCH(QString, expected);

    QString error;
    const auto exact = parseAmount(amount, &error);
    QVERIFY2(exact, qPrintable(error));
    const FractionFit fit =
        bestFraction(*exact, uint32_t(maxN), uint32_t(maxD), defaultTolerance());
    const QString found =
        QStringLiteral("%1/%2").arg(QString::number(fit.numerator), QString::number(fit.divisor));
    if (!expected.isEmpty())
        QCOMPARE(found, expected);
    QCOMPARE(fit.value, double(fit.numerator) / double(fit.divisor));
    if (p.isEmpty())
        return;

    const Int128 P = int128(p), Q = int128(q);
    const auto [n, d] = bruteForce(P, Q, maxN, maxD);
    QCOMPARE(found,
             QStringLiteral("%1/%2").arg(QString::number(qint64(n)), QString::number(qint64(d))));
    // The error, |n/d - p/q| / (p/q) = |nq - dp| / dp, exactly here.
    const Int128 off = absolute(n * Q - d * P);
    const Int128 scale = d * P;
    const long double reference = (long double)off / (long double)scale;
    QVERIFY2(std::abs(fit.relativeError - double(reference)) <= 1e-15 * double(reference),
             qPrintable(QString::number(fit.relativeError, 'g', 17)));
    QCOMPARE(fit.outOfReach, off * 10000 > scale); // the default tolerance, 1e-4
}

void CtlCoreTest::fitOfAGivenFraction_data() {
    QTest::addColumn<QString>("amount");
    QTest::addColumn<int>("numerator");
    QTest::addColumn<int>("divisor");
    QTest::addColumn<double>("relativeError");
    QTest::addColumn<bool>("outOfReach");
    QTest::addColumn<QString>("tolerance"); // empty: the default, 1e-4

    const QString wide = QStringLiteral("1e-3");
    QTest::newRow("exact") << "40/400" << 1 << 10 << 0.0 << false << "";
    QTest::newRow("one in 9999") << "0.3333" << 1 << 3 << 1.0 / 9999 << false << wide;
    QTest::newRow("just 0.001 is within reach") << "1" << 1001 << 1000 << 0.001 << false << wide;
    QTest::newRow("just over 0.001") << "1" << 10011 << 10000 << 0.0011 << true << wide;
    QTest::newRow("below by half") << "2" << 1 << 1 << 0.5 << true << "";
    QTest::newRow("numerator 0") << "0.1" << 0 << 1 << 1.0 << true << "";
    QTest::newRow("divisor 0") << "0.1" << 1 << 0 << qInf() << true << "";
    // The default is ten times finer than 0.001.
    QTest::newRow("one in 9999 misses 1e-4") << "0.3333" << 1 << 3 << 1.0 / 9999 << true << "";
    QTest::newRow("86/1 for 85.9375 misses 1e-4")
        << "85.9375" << 86 << 1 << 0.0625 / 85.9375 << true << "";
    QTest::newRow("just 1e-4 is within reach") << "1" << 10001 << 10000 << 1e-4 << false << "";
    QTest::newRow("a third, exactly at it")
        << "3" << 4 << 1 << 1.0 / 3 << false << QStringLiteral("1/3");
    QTest::newRow("a third, just over it")
        << "3" << 4 << 1 << 1.0 / 3 << true << QStringLiteral("0.333333");
}

void CtlCoreTest::fitOfAGivenFraction() {
    QFETCH(QString, amount);
    QFETCH(int, numerator);
    QFETCH(int, divisor);
    QFETCH(double, relativeError);
    QFETCH(bool, outOfReach);
    const auto exact = parseAmount(amount, nullptr);
    QVERIFY(exact);
    QFETCH(QString, tolerance);
    const auto bound =
        tolerance.isEmpty() ? defaultTolerance() : parseTolerance(tolerance, nullptr);
    QVERIFY(bound);
    const FractionFit fit = fitFraction(*exact, uint32_t(numerator), uint32_t(divisor), *bound);
    QCOMPARE(fit.relativeError, relativeError);
    QCOMPARE(fit.outOfReach, outOfReach);
}

void CtlCoreTest::amountRefused_data() {
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty") << ""
                           << "the amount is empty";
    QTest::newRow("blanks") << "  "
                            << "the amount is empty";
    QTest::newRow("zero") << "0.000"
                          << "\"0.000\" is zero";
    QTest::newRow("zero over 5") << "0/5"
                                 << "\"0/5\" is zero";
    QTest::newRow("negative") << "-0.1"
                              << "\"-0.1\" is negative";
    QTest::newRow("negative divisor") << "40/-400"
                                      << "\"40/-400\" is negative";
    QTest::newRow("word") << "abc"
                          << "\"abc\" is not a decimal number or a quotient of two";
    QTest::newRow("trailing unit") << "0.1kWh"
                                   << "\"0.1kWh\" is not a decimal";
    QTest::newRow("two points") << "1.2.3"
                                << "\"1.2.3\" is not a decimal";
    QTest::newRow("exponent without digits") << "1e"
                                             << "\"1e\" is not a decimal";
    QTest::newRow("exponent sign without digits") << "1e-"
                                                  << "\"1e-\" is not a decimal";
    QTest::newRow("two slashes") << "1/2/3"
                                 << "\"1/2/3\" is not a decimal";
    QTest::newRow("no divisor") << "40/"
                                << "\"40/\" is not a decimal";
    QTest::newRow("infinity") << "inf"
                              << "\"inf\" is not a decimal";
    QTest::newRow("nan") << "nan"
                         << "\"nan\" is not a decimal";
    QTest::newRow("hexadecimal") << "0x10"
                                 << "\"0x10\" is not a decimal";
    QTest::newRow("Arabic-Indic digits") << QString::fromUtf8("\u0661") << "is not a decimal";
    QTest::newRow("decimal comma") << "0,1"
                                   << "\"0,1\" has a decimal comma; write \"0.1\"";
    QTest::newRow("decimal commas in a quotient") << "0,4/3,5"
                                                  << "has a decimal comma; write \"0.4/3.5\"";
    QTest::newRow("divides by zero") << "40/0"
                                     << "\"40/0\" divides by zero";
    QTest::newRow("zero over zero") << "0/0.0"
                                    << "\"0/0.0\" divides by zero";
    QTest::newRow("above 1e9") << "1000000000.000000000000000000001"
                               << "\"1000000000.000000000000000000001\" lies outside 1e-9..1e9";
    QTest::newRow("below 1e-9") << "0.999999999999e-9"
                                << "lies outside 1e-9..1e9";
    QTest::newRow("1e10") << "1e10"
                          << "lies outside";
    QTest::newRow("1e300/1e290") << "1e300/1e290"
                                 << "lies outside";
    QTest::newRow("1/1e-9 over 1e9") << "1.000001/1e-9"
                                     << "lies outside";
    QTest::newRow("huge exponent") << "1e99999999999999999999999"
                                   << "lies outside";
    QTest::newRow("tiny exponent") << "1e-99999999999999999999999"
                                   << "lies outside";
    QTest::newRow("too long") << QStringLiteral("0.") + QString(199, u'1')
                              << "the amount is longer than 200 characters";
}

void CtlCoreTest::amountRefused() {
    QFETCH(QString, amount);
    QFETCH(QString, error);
    QString message;
    QVERIFY(!parseAmount(amount, &message));
    QVERIFY2(message.contains(error), qPrintable(message));
}

void CtlCoreTest::monitorPrintsCountedRecords() {
    TestSeams seams;
    const ParameterSet set = sampleSet();
    MemoryFile out;
    Monitor monitor(seams.port, set, 4, out.file());

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
    ParameterSet set;
    set.table[0] = {1, 1, 1};
    MemoryFile out;
    Monitor monitor(seams.port, set, 0, out.file());
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
    ParameterSet set;
    set.table[0] = {1, 1, 1};
    seams.port.deliver("1\r");
    MemoryFile memory;
    FILE* file = output.isEmpty() ? memory.file() : std::fopen(qPrintable(output), "w");
    QVERIFY(file);
    Monitor monitor(seams.port, set, 1, file);

    QCOMPARE(monitor.run(), 1);

    if (!output.isEmpty())
        std::fclose(file);
    QCOMPARE(seams.messages.size(), messages);
    QCOMPARE(monitor.portError().isEmpty(), messages == 0);
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
        scanPorts({{7, QStringLiteral("/dev/ttyUSB2"), {}}}, kDefaultPortSettings, makePort, pause);

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
        ports.append({n, QStringLiteral("/dev/com%1").arg(n), {}});
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
    QList<ScanResult> results{
        {7, "/dev/ttyUSB2", S::NoPermission, {}, {}, {}},
        {11, "/opt/ktr6/com11", S::Error, {}, "cannot set the RTS line: \"EIO\"", {}},
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

    // One device reached by several numbers: one row, the port column as
    // wide as its names.
    results.prepend({3, "/dev/ttyUSB0", S::Found, "6", {}, {5, 12}});
    QCOMPARE(scanJson(results).left(85),
             QByteArray(R"([{"port":3,"aliases":[5,12],"device":"/dev/ttyUSB0","status":"found",)"
                        R"("firmware":"6"},)"));
    QCOMPARE(scanTable(results),
             "Port               Device           Status\n"
             "COM3, COM5, COM12  /dev/ttyUSB0     found, firmware SW 6\n"
             "COM7               /dev/ttyUSB2     no permission\n"
             R"(COM11              /opt/ktr6/com11  error: cannot set the RTS line: "EIO")"
             "\n");
}

QTEST_GUILESS_MAIN(CtlCoreTest)
#include "test_ctl_core.moc"
