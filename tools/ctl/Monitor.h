#pragma once
// ktr6ctl monitor: keeps the port open with receive notifications on and
// prints one CSV line per counted record until stopped.

#include "protocol/OnlineStream.h"
#include "protocol/ParameterBlock.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <cstdio>

class MSComm;

class Monitor : public QObject {
    Q_OBJECT
public:
    // Counts with set's amounts. limit: stop after this many printed
    // records; 0 runs until a signal.
    Monitor(MSComm& port, const ParameterSet& set, qint64 limit, FILE* out);

    // Opens the port and runs until SIGINT/SIGTERM, the limit, the device
    // vanishing or the output failing. Returns the exit status (0, or 1 after
    // a port failure, reported through the message seam, or a failed write of
    // the output, reported on stderr).
    int run();
    // Why the port failed, after run() returned 1 for a port failure; empty
    // otherwise.
    QString portError() const { return portError_; }

    // The first line printed, naming the columns.
    static constexpr char kCsvHeader[] = "time,channel,total";
    // The line printed for one counted record, without its newline: local
    // time to the millisecond, "IN 1".."IN 6", "V1" or "V2", and the total.
    static QByteArray csvLine(const QDateTime& time, int channel, const QString& total);
    // A channel's total as the CSV carries it: at least nine significant
    // digits, a whole total exactly, "." as the decimal point in every locale.
    static QString totalText(double total);

private:
    void onComm();
    void readWaiting();
    // Prints one line; a failed write reports itself and ends the watch.
    bool writeLine(const QByteArray& line);
    void finish(int status);

    MSComm& port_;
    qint64 limit_;
    FILE* out_;
    qint64 printed_ = 0;
    RecordAssembler assembler_;
    ChannelTotals totals_;
    QEventLoop loop_;
    // A record's carriage return that arrives alone stays under the receive
    // threshold; this picks it up without waiting for the next record.
    QTimer partialPoll_;
    int status_ = 0;
    QString portError_;
};
