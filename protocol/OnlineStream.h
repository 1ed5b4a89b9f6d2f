#pragma once
// The on-line record stream: the device sends one record per event, a channel
// digit "1".."8", optional filler and a carriage return. RecordAssembler
// frames records out of arbitrary chunks; ChannelTotals keeps each channel's
// running total exactly.

#include "core/Others.h"

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

inline constexpr int kChannels = 8; // IN 1..IN 6, V1, V2

// Frames records across notifications. Only the first character of an
// incomplete record is kept, so memory stays constant however long a device
// goes without sending a carriage return.
class RecordAssembler {
public:
    // Appends received characters; returns the channel index (0..7) of every
    // record completed by them, in arrival order. Records whose first
    // character is not "1".."8" (or that are empty) are skipped; line feeds
    // in front of a record's first character are ignored.
    std::vector<int> feed(const QByteArray& chunk);
    // Forgets any incomplete record.
    void reset();
    bool hasPartialRecord() const { return inRecord_; }

private:
    bool inRecord_ = false;
    char first_ = 0;
};

// The counting rule every watcher shares (the on-line view, ktr6ctl monitor,
// the counting service). Whether a record on channel k (0..7) counts with
// this set: an input with divisor 0 counts nothing.
bool countsRecord(int channel, const Others::ParameterTable& table);
// The amount `records` records on channel k add with this set: each input
// record its numerator/divisor (subtracted for an input whose sign is 0), each
// output record the output value. One division of the exact product, so no
// error accumulates over records; 0 for a channel that counts nothing.
double channelAmount(int64_t records, int channel, const Others::ParameterTable& table,
                     uint8_t output);

// Per-channel totals that cannot drift: a base value plus the number of
// counted records times the channel's amount, computed afresh for display.
class ChannelTotals {
public:
    // Counts one record on channel k, with the amount of the set given to
    // useSet, or else of the shared parameter set (ParamTable, OutputParam),
    // as it stands when the value is taken. An input with divisor 0 is
    // not counted, nor a record that would take the total beyond the range
    // of a double; returns whether the total changed.
    bool count(int channel);
    // The value the channel shows now.
    double value(int channel) const;
    // The text the channel's box shows: "##0.0#" for inputs, "####" for
    // outputs, in the given locale.
    QString text(int channel, const QLocale& locale) const;
    // The operator typed into the box: its number becomes the new base and
    // counting continues from it. Text that is not a number counts as 0.
    void setBase(int channel, const QString& text, const QLocale& locale);
    // The operator committed a total typed while records kept coming: its
    // number becomes the base, and the last `kept` records counted (those
    // that came during the typing) are added to it. Text that is not a
    // number changes nothing; returns whether the text was taken.
    bool takeTyped(int channel, const QString& text, const QLocale& locale, int64_t kept);
    // Each total as it stands becomes its channel's base, its count 0: a
    // new set given to useSet counts on from there.
    void fold();
    // Every base and count back to 0.
    void clear();
    int64_t records(int channel) const { return counts_[channel]; }
    // Counts with this set from now on, whatever the shared set holds.
    void useSet(const Others::ParameterTable& table, uint8_t output);

private:
    struct Fixed {
        Others::ParameterTable table;
        uint8_t output;
    };
    const Others::ParameterTable& table() const;
    uint8_t output() const;

    std::optional<Fixed> fixed_;
    std::array<double, kChannels> bases_{};
    std::array<int64_t, kChannels> counts_{};
};
