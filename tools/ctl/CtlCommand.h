#pragma once
// The command line of ktr6ctl: which command, its options, and the help text.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

struct CtlOptions {
    enum class Command {
        Help,
        Version,
        Read,
        Write,
        Monitor,
        Scan,
        Coefficient,
        Diff,
        Commission,
        Audit,
        SiteCommission,
        SiteAudit,
        Counts,
        Service
    };
    Command command = Command::Help;
    bool json = false; // read, scan, coefficient: JSON instead of the table
    bool save = false; // scan: write the one relay's port into the settings file
    QString file;   // write, diff, commission, audit: the parameter file, "-" for stdin; site: the
                    // site file
    QString amount; // coefficient: the amount per impulse as written
    int maxNumerator = 0; // coefficient: the bounds of the fraction (defaults: CommandTable)
    int maxDivisor = 0;
    // coefficient, write, diff, commission: the relative error a fraction may
    // show against its amount, as written; empty: the default (1e-4)
    QString tolerance;
    struct Facts {             // coefficient: the meter's facts instead of an amount
        QString meterConstant; // empty: an amount is given
        QString ct;
        QString vt;
        QString unit;
    } facts;
    std::optional<int16_t> port; // overrides the settings file's port number
    std::optional<qint64> count; // monitor: stop after this many records
    struct Record {              // commission, audit: where the record goes, and its labels
        QString pdf;             // empty: a name of its own in the current folder
        QString journal;         // empty: no journal
        QString site;            // empty: not given
        QString relay;
        QString technician;
        QString folder; // site commission, site audit: where the records go; empty: a new one
    } record;
    struct Counts {       // counts: what to show from the counts database
        QString database; // empty: the package's path
        QString relay;    // empty: every relay
        QString from;     // ISO 8601 with Z or an offset; empty: from the first
        QString to;       // empty: to the last
        QString separator;
        // --set-total NAME CHANNEL VALUE: the service sets that total.
        QString setTotalRelay; // empty: no --set-total
        int setTotalChannel = 0;
        QString setTotalValue;
    } counts;
    QString serviceAction; // service: status, pause or resume
    struct Service {       // service: what to ask ktr6d
        QString relay;     // pause, resume: the relay's name
        QString socket;    // empty: the package's path
    } service;
    bool csv = false;          // counts: CSV instead of the table
    bool decimalComma = false; // counts --csv: "," as the decimal point
    QString helpCommand;       // help: the command whose help is asked for; empty: the whole help
};

struct CtlParseResult {
    std::optional<CtlOptions> options;
    QString error; // when options is empty: what is wrong, for the user
};

// Parses the arguments after the program name, as the command table
// (CommandTable.h) describes them. Options may stand before or after the
// command; "--opt VALUE" and "--opt=VALUE" are both accepted.
CtlParseResult parseCommandLine(const QStringList& arguments);

// The help of the named command; of every command when none is named.
QString usageText(const QString& command = {});

// "ktr6ctl 1.0.2": the program's name and the release the desktop program's
// about box shows (there as "1.02").
QString versionText();
