#include "CommandTable.h"

#include <limits>

namespace ctltable {

namespace {

using C = CtlOptions::Command;

const Option kOptions[] = {
    {.id = Opt::Json,
     .name = "--json",
     .alias = nullptr,
     .metavar = nullptr,
     .kind = Kind::Flag,
     .help = "print JSON instead of the table",
     .flag = &CtlOptions::json},
    {.id = Opt::Save,
     .name = "--save",
     .alias = nullptr,
     .metavar = nullptr,
     .kind = Kind::Flag,
     .help = "when exactly one relay was found, write its port into KTR.INI (only the Port "
             "line changes; a missing file is made); with none or several, it writes nothing "
             "and ends with 1",
     .flag = &CtlOptions::save},
    {.id = Opt::Port,
     .name = "--port",
     .alias = nullptr,
     .metavar = "N",
     .kind = Kind::Port,
     .min = 1,
     .max = 32767,
     .help = "use port N (1 = COM1) instead of the settings file's",
     .setNumber = [](CtlOptions& o, qint64 n) { o.port = int16_t(n); }},
    {.id = Opt::MaxNumerator,
     .name = "--max-numerator",
     .alias = nullptr,
     .metavar = "N",
     .kind = Kind::Bound,
     .min = 1,
     .max = 65535,
     .byDefault = 255,
     .help = "the largest numerator n",
     .setNumber = [](CtlOptions& o, qint64 n) { o.maxNumerator = int(n); }},
    {.id = Opt::MaxDivisor,
     .name = "--max-divisor",
     .alias = nullptr,
     .metavar = "M",
     .kind = Kind::Bound,
     .min = 1,
     .max = 65535,
     .byDefault = 65535,
     .help = "the largest divisor d",
     .setNumber = [](CtlOptions& o, qint64 n) { o.maxDivisor = int(n); }},
    {.id = Opt::Tolerance,
     .name = "--tolerance",
     .alias = nullptr,
     .metavar = "R",
     .kind = Kind::Ratio,
     .help = "the relative error |n/d - amount| / amount a fraction may show against its "
             "amount",
     .text = [](CtlOptions& o) { return &o.tolerance; }},
    {.id = Opt::MeterConstant,
     .name = "--meter-constant",
     .alias = nullptr,
     .metavar = "K",
     .kind = Kind::Fact,
     .help = "instead of AMOUNT: the meter's constant, impulses per kWh (for Wh, kWh, MWh) or "
             "per --unit; the amount is CT x VT / K",
     .text = [](CtlOptions& o) { return &o.facts.meterConstant; }},
    {.id = Opt::Ct,
     .name = "--ct",
     .alias = nullptr,
     .metavar = "A/B",
     .kind = Kind::Fact,
     .help = "with --meter-constant: the current transformer's ratio, such as 1500/5",
     .text = [](CtlOptions& o) { return &o.facts.ct; }},
    {.id = Opt::Vt,
     .name = "--vt",
     .alias = nullptr,
     .metavar = "C/D",
     .kind = Kind::Fact,
     .help = "with --meter-constant: the voltage transformer's ratio, such as 22000/100",
     .text = [](CtlOptions& o) { return &o.facts.vt; }},
    {.id = Opt::Unit,
     .name = "--unit",
     .alias = nullptr,
     .metavar = "U",
     .kind = Kind::Unit,
     .help = "with --meter-constant: the amount's unit, Wh, kWh (the default with --ct or --vt), "
             "MWh or any other, such as L (then no --ct or --vt)",
     .text = [](CtlOptions& o) { return &o.facts.unit; }},
    {.id = Opt::Record,
     .name = "--record",
     .alias = nullptr,
     .metavar = "FILE.pdf",
     .kind = Kind::PdfFile,
     .help = "the record's PDF; its JSON twin is FILE.json beside it",
     .text = [](CtlOptions& o) { return &o.record.pdf; }},
    {.id = Opt::Journal,
     .name = "--journal",
     .alias = nullptr,
     .metavar = "FILE",
     .kind = Kind::File,
     .help = "append one JSON line per run to FILE",
     .text = [](CtlOptions& o) { return &o.record.journal; }},
    {.id = Opt::Site,
     .name = "--site",
     .alias = nullptr,
     .metavar = "TEXT",
     .kind = Kind::Label,
     .help = "the site",
     .text = [](CtlOptions& o) { return &o.record.site; }},
    {.id = Opt::Relay,
     .name = "--relay",
     .alias = nullptr,
     .metavar = "TEXT",
     .kind = Kind::Label,
     .help = "the relay's label",
     .text = [](CtlOptions& o) { return &o.record.relay; }},
    {.id = Opt::By,
     .name = "--by",
     .alias = nullptr,
     .metavar = "TEXT",
     .kind = Kind::Label,
     .help = "the technician",
     .text = [](CtlOptions& o) { return &o.record.technician; }},
    {.id = Opt::Folder,
     .name = "--folder",
     .alias = nullptr,
     .metavar = "DIR",
     .kind = Kind::File,
     .help = "leave the records and the summary in DIR, a new or an empty folder (default: a new "
             "folder ktr6-site-YYYYMMDD-HHMMSS beside the site file)",
     .text = [](CtlOptions& o) { return &o.record.folder; }},
    {.id = Opt::Count,
     .name = "--count",
     .alias = nullptr,
     .metavar = "N",
     .kind = Kind::Count,
     .min = 1,
     .max = std::numeric_limits<qint64>::max(),
     .help = "stop after N records",
     .setNumber = [](CtlOptions& o, qint64 n) { o.count = n; }},
    {.id = Opt::Database,
     .name = "--database",
     .alias = nullptr,
     .metavar = "FILE",
     .kind = Kind::File,
     .help = "the counts database; default /var/lib/ktr6/counts.sqlite",
     .text = [](CtlOptions& o) { return &o.counts.database; }},
    {.id = Opt::RelayName,
     .name = "--relay",
     .alias = nullptr,
     .metavar = "NAME",
     .kind = Kind::Label,
     .help = "only the relay NAME of the service's configuration",
     .text = [](CtlOptions& o) { return &o.counts.relay; }},
    {.id = Opt::From,
     .name = "--from",
     .alias = nullptr,
     .metavar = "T",
     .kind = Kind::Time,
     .help = "only intervals that start at T or later",
     .text = [](CtlOptions& o) { return &o.counts.from; }},
    {.id = Opt::To,
     .name = "--to",
     .alias = nullptr,
     .metavar = "T",
     .kind = Kind::Time,
     .help = "only intervals that end at T or earlier",
     .text = [](CtlOptions& o) { return &o.counts.to; }},
    {.id = Opt::Csv,
     .name = "--csv",
     .alias = nullptr,
     .metavar = nullptr,
     .kind = Kind::Flag,
     .help = "print CSV instead of the table",
     .flag = &CtlOptions::csv},
    {.id = Opt::Separator,
     .name = "--separator",
     .alias = nullptr,
     .metavar = "C",
     .kind = Kind::Char,
     .help = "with --csv: the field separator, default \",\" (\";\" for spreadsheets in comma "
             "locales)",
     .text = [](CtlOptions& o) { return &o.counts.separator; }},
    {.id = Opt::DecimalComma,
     .name = "--decimal-comma",
     .alias = nullptr,
     .metavar = nullptr,
     .kind = Kind::Flag,
     .help = "with --csv: \",\" as the decimal point",
     .flag = &CtlOptions::decimalComma},
    {.id = Opt::Socket,
     .name = "--socket",
     .alias = nullptr,
     .metavar = "PATH",
     .kind = Kind::File,
     .help = "the service's control socket; default /run/ktr6/ktr6d.sock",
     .text = [](CtlOptions& o) { return &o.service.socket; }},
    {.id = Opt::SetTotal,
     .name = "--set-total",
     .alias = nullptr,
     .metavar = "NAME CHANNEL VALUE",
     .kind = Kind::Label,
     .help = "instead of printing: the running service sets relay NAME's CHANNEL (1..8) to "
             "VALUE (\".\" as the decimal point), to match a meter's register; stored as an "
             "adjustment with its time, counting goes on from VALUE",
     .text = [](CtlOptions& o) { return &o.counts.setTotalRelay; }},
    {.id = Opt::Help,
     .name = "--help",
     .alias = "-h",
     .metavar = nullptr,
     .kind = Kind::Flag,
     .help = "show this text; with a COMMAND, that command's help"},
    {.id = Opt::Version,
     .name = "--version",
     .alias = nullptr,
     .metavar = nullptr,
     .kind = Kind::Flag,
     .help = "show the program's version"},
};

const Command kCommands[] = {
    {.name = "read",
     .id = C::Read,
     .argument = nullptr,
     .destination = nullptr,
     .missing = "",
     .summary = "read the parameter set and print it as a table",
     .details = "--json: one line of JSON:\n"
                "{\"firmware\":\"6\",\"inputs\":[{\"numerator\":16,\"divisor\":1,\n"
                "\"minus\":false}, ... six ...],\"output\":5}",
     .options = {Opt::Port, Opt::Json, Opt::Help},
     .refusals = {},
     .columns = {},
     .exitNote = ""},
    {.name = "write",
     .id = C::Write,
     .argument = "FILE",
     .destination = &CtlOptions::file,
     .missing = "write needs a parameter file (or - for standard input)",
     .summary = "write the parameter set in FILE and verify it by reading it back",
     .details = "FILE: the JSON of read --json; - reads standard input. numerator and divisor "
                "0..65535, output 0..255, all six inputs required; at most 1 MiB. With "
                "\"firmware\" the device is read first and a set for the other variant is not "
                "written (exit 1). An input may add \"amount\", the amount per impulse it is "
                "meant to count (\"0.1\", \"40/400\" or a number, read as coefficient reads "
                "it): a fraction off its amount by more than the tolerance is refused, with the "
                "closest fraction, before the port is opened",
     .options = {Opt::Port, Opt::Tolerance, Opt::Help},
     .refusals = {},
     .columns = {},
     .exitNote = ""},
    {.name = "monitor",
     .id = C::Monitor,
     .argument = nullptr,
     .destination = nullptr,
     .missing = "",
     .summary = "read the parameter set, then print each counted record",
     .details = "First the header line time,channel,total, then one CSV line per counted "
                "record until Ctrl+C, SIGTERM or N records",
     .options = {Opt::Port, Opt::Count, Opt::Help},
     .refusals = {},
     .columns = {{"time", "local time, 2024-05-17T14:03:07.250"},
                 {"channel", "IN 1..IN 6 (inputs), V1 or V2 (outputs)"},
                 {"total", "the channel's sum since the watch began: numerator/divisor per "
                           "input record (minus subtracts), the output value per output "
                           "record; 9 significant digits or more, whole sums exact, \".\" as "
                           "the decimal point"}},
     .exitNote = "monitor ends with 0 on Ctrl+C, SIGTERM or when the reader of its output goes "
                 "away (monitor | head)."},
    {.name = "scan",
     .id = C::Scan,
     .argument = nullptr,
     .destination = nullptr,
     .missing = "",
     .summary = "find the relay: probe every port whose device exists",
     .details =
         "It probes COM1..COM15 all at the same time, with one \"*\" each (KTR.INI's baud "
         "rate and handshaking; 9600 baud and none without KTR.INI), and prints port, device "
         "and status: found (with the firmware), no answer, other reply, busy (held by another "
         "program; nothing sent), no permission, or error (with the reason). --json: a list of "
         "{\"port\":4,\"device\":\"/dev/ttyUSB0\",\n\"status\":\"found\",\"firmware\":\"6\"}",
     .options = {Opt::Json, Opt::Save, Opt::Help},
     .refusals = {{Opt::Port, "scan probes every port; it takes no --port"}},
     .columns = {},
     .exitNote = "scan ends with 0 when a relay was found, 1 when none, 2 for a damaged KTR.INI."},
    {.name = "coefficient",
     .id = C::Coefficient,
     .argument = "AMOUNT",
     .destination = &CtlOptions::amount,
     .missing = "coefficient needs an amount, such as 0.1 or 40/400",
     .summary = "the fraction n/d closest to AMOUNT, the amount per impulse",
     .details = "AMOUNT: a decimal number (0.1, 1.5e-3) or a quotient of two (40/400) in "
                "1e-9..1e9, \".\" as the decimal point, at most 200 characters. Prints n, d, "
                "the fraction's value and its relative error |n/d - AMOUNT| / AMOUNT; an error "
                "over the tolerance adds a warning on stderr, naming the fraction with a "
                "numerator up to 65535 that meets it when there is one. --json prints "
                "{\"numerator\":3,\"divisor\":20,\"value\":0.15,\n\"relative_error\":0}. "
                "With --meter-constant instead of AMOUNT the amount is worked out exactly from "
                "the meter's facts, and --json prints a plan's input that write takes as it "
                "stands: {\"numerator\":33,\"divisor\":5,\"minus\":false,\"amount\":\"6.6\",\n"
                "\"unit\":\"kWh\",\"meter_constant\":\"10000\",\"ct\":\"1500/5\",\"vt\":"
                "\"22000/100\"}. Needs no port and no KTR.INI",
     .options = {Opt::MaxNumerator, Opt::MaxDivisor, Opt::Tolerance, Opt::MeterConstant, Opt::Ct,
                 Opt::Vt, Opt::Unit, Opt::Json, Opt::Help},
     .refusals = {{Opt::Port, "--port does not belong to the coefficient command: it uses no "
                              "port"}},
     .columns = {},
     .exitNote = "",
     .insteadOfArgument = Opt::MeterConstant},
    {.name = "diff",
     .id = C::Diff,
     .argument = "FILE",
     .destination = &CtlOptions::file,
     .missing = "diff needs a parameter file (or - for standard input)",
     .summary = "read the parameter set and compare it with FILE",
     .details = "FILE: as write takes it and checks it. One line per difference on "
                "stdout, such as \"firmware: device 2x3, file 6\" (when FILE names one), "
                "\"IN 3 divisor: device 30, file 31\", \"IN 2 sign: device minus, "
                "file plus\" or \"output: "
                "device 5, file 6\"; a summary line on stderr",
     .options = {Opt::Port, Opt::Tolerance, Opt::Help},
     .refusals = {},
     .columns = {},
     .exitNote = ""},
    {.name = "commission",
     .id = C::Commission,
     .argument = "PLAN",
     .destination = &CtlOptions::file,
     .missing = "commission needs a plan, a parameter file (or - for standard input)",
     .summary = "write PLAN, verify it and leave a record to print and sign",
     .details = "PLAN: a file as write takes it; - reads standard input. The device is read "
                "first, PLAN written unless the device holds it already (a PLAN naming another "
                "firmware variant than the device's is not written: failed), and the write's "
                "read-back compared with PLAN as diff does. The record: the PDF FILE.pdf and its "
                "JSON twin FILE.json (by default ktr6-record-YYYYMMDD-HHMMSS-COM<N>.pdf and "
                ".json in the current folder). Their paths go to stdout, the PDF first; an "
                "existing file is never replaced. Needs no display",
     .options = {Opt::Port, Opt::Record, Opt::Site, Opt::Relay, Opt::By, Opt::Journal,
                 Opt::Tolerance, Opt::Help},
     .refusals = {},
     .columns = {},
     .exitNote = "commission ends with 0 when the set is verified, or the device held PLAN "
                 "already (nothing written); with 1 when the device or the port failed (that "
                 "too is recorded); with 2, nothing sent and nothing written, for bad usage or "
                 "input, an existing record file or a journal that cannot be opened."},
    {.name = "audit",
     .id = C::Audit,
     .argument = "PLAN",
     .destination = &CtlOptions::file,
     .missing = "audit needs a plan, a parameter file (or - for standard input)",
     .summary = "read the device, compare it with PLAN and leave a record; nothing is written",
     .details = "PLAN: a file as write takes it; - reads standard input. The device is read "
                "and compared with PLAN as diff does (its firmware variant too when PLAN names "
                "one); it is sent nothing but the parameter request. The outcome, matches, "
                "differs (the differences on stderr) or failed, goes into a record as "
                "commission's: FILE.pdf and FILE.json (by default "
                "ktr6-audit-YYYYMMDD-HHMMSS-COM<N>.pdf and .json in the current folder), "
                "headed \"KTR6 audit record\". Their paths go to stdout, the PDF first; an "
                "existing file is never replaced. Needs no display",
     .options = {Opt::Port, Opt::Record, Opt::Site, Opt::Relay, Opt::By, Opt::Journal,
                 Opt::Tolerance, Opt::Help},
     .refusals = {},
     .columns = {},
     .exitNote = "audit ends with 0 when the device holds PLAN, 3 when it holds another set, 1 "
                 "when the device or the port failed (each recorded); with 2, nothing sent and "
                 "nothing written, for bad usage or input, an existing record file or a journal "
                 "that cannot be opened."},
    {.name = "site commission",
     .id = C::SiteCommission,
     .argument = "SITE.json",
     .destination = &CtlOptions::file,
     .missing = "site commission needs a site file",
     .summary = "commission every relay of a site at the same time, and sum them up",
     .details = "SITE.json: {\"site\": \"Substation R2\", \"relays\": [{\"label\": "
                "\"KTR6 0042\", \"port\": 4, \"plan\": \"plans/0042.json\"}, ...]}; each "
                "\"plan\" a plan file (relative to SITE.json) or the plan itself, as commission "
                "takes it; \"baud\" and \"handshaking\" instead of KTR.INI's where given; at most "
                "64 relays. A port used twice, two ports reaching one device, a label used twice, "
                "a plan write would refuse or an unknown key refuse the whole site (exit 2), "
                "nothing sent. Each relay is commissioned on its own port and thread as "
                "commission does it; its record and twin go to the folder under commission's "
                "default names, then site-summary.pdf and site-summary.json. Paths on stdout; "
                "on stderr a line per relay as it finishes and the counts",
     .options = {Opt::Folder, Opt::By, Opt::Journal, Opt::Help},
     .refusals = {{Opt::Port, "site commission takes each relay's port from the site file; it "
                              "takes no --port"}},
     .columns = {},
     .exitNote = "site commission ends with the first that applies: 2 the site file was refused "
                 "(nothing sent), 128 + N a stop signal (the relays that had begun writing are "
                 "finished and recorded), 4 a record, journal line or the summary not written, 1 a "
                 "relay failed, 3 a relay not verified, 0 all verified or unchanged."},
    {.name = "site audit",
     .id = C::SiteAudit,
     .argument = "SITE.json",
     .destination = &CtlOptions::file,
     .missing = "site audit needs a site file",
     .summary = "audit every relay of a site at the same time, and sum them up; nothing is written",
     .details = "SITE.json: as site commission takes it, refused alike (exit 2, nothing sent). "
                "Each relay is audited on its own port and thread as audit does it: read, "
                "compared with its plan, sent nothing but the parameter request; its record and "
                "twin go to the folder under audit's default names "
                "(ktr6-audit-YYYYMMDD-HHMMSS-COM<N>.pdf), then site-summary.pdf, headed as an "
                "audit, and site-summary.json. Paths on stdout; on stderr a line per relay as it "
                "finishes and the counts",
     .options = {Opt::Folder, Opt::By, Opt::Journal, Opt::Help},
     .refusals = {{Opt::Port, "site audit takes each relay's port from the site file; it "
                              "takes no --port"}},
     .columns = {},
     .exitNote = "site audit ends with the first that applies: 2 the site file was refused "
                 "(nothing sent), 128 + N a stop signal (the relays already read are recorded), 4 "
                 "a record, journal line or the summary not written, 1 a relay failed, 3 a relay "
                 "differs, 0 all match."},
    {.name = "counts",
     .id = C::Counts,
     .argument = nullptr,
     .destination = nullptr,
     .missing = "",
     .summary = "print the closed intervals the counting service ktr6d stored",
     .details = "One row per relay, channel and interval, the oldest first; it reads the "
                "database while the service runs and changes nothing. Times are in UTC. "
                "--json: a list of {\"relay\":\"T1\",\"channel\":1,\"start\":\n"
                "\"2026-12-07T14:15:00Z\",\"end\":\"2026-12-07T14:30:00Z\",\"count\":12,\n"
                "\"amount\":1.2,\"total\":3051.7}, channel 1..6 for the inputs, 7 and 8 for V1, "
                "V2. T: 2026-12-07T14:15:00Z or 2026-12-07T15:15:00+01:00",
     .options = {Opt::Database, Opt::RelayName, Opt::From, Opt::To, Opt::Json, Opt::Csv,
                 Opt::Separator, Opt::DecimalComma, Opt::SetTotal, Opt::Socket, Opt::Help},
     .refusals = {{Opt::Port, "counts reads the database; it takes no --port"}},
     .columns = {{"count", "the records counted in the interval"},
                 {"amount", "what they add: numerator/divisor per input record (minus "
                            "subtracts), the output value per output record, with the "
                            "parameter set the relay had when each was counted"},
                 {"total", "the channel's total at the interval's end, cumulative since "
                           "the service first counted the relay, totals set by hand included"},
                 {"offline", "(table and CSV) the seconds of the interval in which the relay "
                             "was not counted: unplugged, not answering, service stopped"}},
     .exitNote = "counts ends with 0 when it printed (or the total was set), 1 when the "
                 "database or, for --set-total, the service cannot be reached, 2 for bad usage "
                 "or a relay the database (or the service) does not know."},
    {.name = "service",
     .id = C::Service,
     .argument = "ACTION",
     .destination = &CtlOptions::serviceAction,
     .missing = "service needs an action: status, pause NAME or resume NAME",
     .summary = "ask the counting service ktr6d: status, pause NAME or resume NAME",
     .details = "status lists each relay: counting, offline (since when, and why) or paused, "
                "whether the database is written, and its eight totals (IN 1..IN 6, V1, V2). "
                "pause NAME makes the service release the relay's port, so that ktr6 or "
                "ktr6ctl can use it (stored as an offline period \"paused\"; a restart of the "
                "service keeps it paused); resume NAME takes it back and reads its set again. "
                "--json: status as the service gives it, one line",
     .options = {Opt::Socket, Opt::Json, Opt::Help},
     .refusals = {{Opt::Port, "service talks to ktr6d; it takes no --port"}},
     .columns = {},
     .exitNote = "service ends with 0 when done, 1 when the service cannot be reached or a "
                 "resumed relay is not counting (its port still busy), 2 for bad usage or a "
                 "relay the service does not know.",
     .secondArgument = "[NAME]",
     .secondDestination = [](CtlOptions& o) { return &o.service.relay; }},
};

const ExitStatus kExitStatuses[] = {
    {"0", "success", {}},
    {"1",
     "the device or the port failed",
     {C::Read, C::Write, C::Monitor, C::Diff, C::Commission, C::Audit, C::SiteCommission,
      C::SiteAudit}},
    {"2", "bad usage or input (nothing was sent)", {}},
    {"3",
     "diff: the device holds another set than FILE;\ncommission: not verified (the differences "
     "on stderr);\naudit: the device differs from PLAN (the differences on stderr)",
     {C::Diff, C::Commission, C::Audit, C::SiteCommission, C::SiteAudit}},
    {"4",
     "commission, audit: the record or the journal could not be written (the outcome is on "
     "stderr)",
     {C::Commission, C::Audit, C::SiteCommission, C::SiteAudit}},
    {"128 + N",
     "stopped by signal N (the port is closed first; a write finishes sending its block)",
     {}},
};

} // namespace

std::span<const Option> options() {
    return kOptions;
}

std::span<const Command> commands() {
    return kCommands;
}

std::span<const ExitStatus> exitStatuses() {
    return kExitStatuses;
}

const Option& option(Opt id) {
    for (const Option& o : kOptions) {
        if (o.id == id)
            return o;
    }
    Q_UNREACHABLE();
}

const Command* findCommand(const QString& name) {
    for (const Command& command : kCommands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

bool takes(const Command& command, Opt id) {
    return std::find(command.options.begin(), command.options.end(), id) != command.options.end();
}

std::vector<const Command*> commandsTaking(Opt id) {
    std::vector<const Command*> taking;
    for (const Command& command : kCommands) {
        if (takes(command, id))
            taking.push_back(&command);
    }
    return taking;
}

} // namespace ctltable
