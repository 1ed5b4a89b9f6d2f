#include "OnlineStream.h"

#include "core/NumText.h"
#include "core/Others.h"

#include <algorithm>
#include <cmath>

std::vector<int> RecordAssembler::feed(const QByteArray& chunk) {
    std::vector<int> channels;
    for (const char c : chunk) {
        if (c == '\r') {
            if (inRecord_ && first_ >= '1' && first_ <= '8')
                channels.push_back(first_ - '1');
            inRecord_ = false;
            continue;
        }
        // A line feed right after a CR is a CR LF line end (some adapters and
        // terminal servers add one), not the start of the next record: taken
        // as its first character it would swallow that record.
        if (!inRecord_ && c != '\n') {
            inRecord_ = true;
            first_ = c;
        }
    }
    return channels;
}

void RecordAssembler::reset() {
    inRecord_ = false;
    first_ = 0;
}

namespace {

bool isOutput(int channel) {
    return channel >= Others::kInputs;
}

} // namespace

bool countsRecord(int channel, const Others::ParameterTable& table) {
    if (channel < 0 || channel >= kChannels)
        return false;
    return isOutput(channel) || table[channel][Others::kDivisorColumn] != 0;
}

namespace {

// In long double, so that a base added to it is rounded to a double once.
long double exactAmount(int64_t records, int channel, const Others::ParameterTable& table,
                        uint8_t output) {
    if (channel < 0 || channel >= kChannels || records == 0)
        return 0.0L;
    if (isOutput(channel))
        return static_cast<long double>(records) * output;
    const auto& row = table[channel];
    if (row[Others::kDivisorColumn] == 0)
        return 0.0L;
    const long double amount = static_cast<long double>(records) * row[Others::kNumeratorColumn] /
                               row[Others::kDivisorColumn];
    return row[Others::kSignColumn] == 1 ? amount : -amount;
}

} // namespace

double channelAmount(int64_t records, int channel, const Others::ParameterTable& table,
                     uint8_t output) {
    return static_cast<double>(exactAmount(records, channel, table, output));
}

bool ChannelTotals::count(int channel) {
    if (!countsRecord(channel, table()))
        return false;
    ++counts_[channel];
    // Beyond the range of a double the total stays at the last value it
    // could count rather than show "inf".
    if (!std::isfinite(value(channel))) {
        --counts_[channel];
        return false;
    }
    return true;
}

double ChannelTotals::value(int channel) const {
    return static_cast<double>(static_cast<long double>(bases_[channel]) +
                               exactAmount(counts_[channel], channel, table(), output()));
}

QString ChannelTotals::text(int channel, const QLocale& locale) const {
    if (isOutput(channel))
        return formatWholeOrEmpty(value(channel), locale);
    return formatTwoDecimals(value(channel), locale);
}

void ChannelTotals::setBase(int channel, const QString& text, const QLocale& locale) {
    bases_[channel] = parseLocaleNumber(text, locale).value_or(0.0);
    counts_[channel] = 0;
}

bool ChannelTotals::takeTyped(int channel, const QString& text, const QLocale& locale,
                              int64_t kept) {
    const std::optional<double> typed = parseLocaleNumber(text, locale);
    if (!typed)
        return false;
    bases_[channel] = *typed;
    counts_[channel] = std::clamp<int64_t>(kept, 0, counts_[channel]);
    return true;
}

void ChannelTotals::fold() {
    for (int k = 0; k < kChannels; ++k) {
        bases_[k] = value(k);
        counts_[k] = 0;
    }
}

void ChannelTotals::useSet(const Others::ParameterTable& table, uint8_t output) {
    fixed_ = Fixed{table, output};
}

const Others::ParameterTable& ChannelTotals::table() const {
    return fixed_ ? fixed_->table : Others::ParamTable;
}

uint8_t ChannelTotals::output() const {
    return fixed_ ? fixed_->output : Others::OutputParam;
}

void ChannelTotals::clear() {
    bases_.fill(0.0);
    counts_.fill(0);
}
