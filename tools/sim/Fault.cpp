#include "Fault.h"

#include <array>

namespace ktr6sim {

namespace {

enum class Arg { None, Optional, Required };

struct FaultInfo {
    FaultKind kind;
    const char* name;
    Arg arg;
    int defaultArg;
    int minArg;
    int maxArg;
    const char* help;
};

// The reply is at least 56 characters, so a "short" one may have at most 55.
constexpr std::array<FaultInfo, 10> kFaults{{
    {FaultKind::None, "none", Arg::None, 0, 0, 0, "none: behave normally"},
    {FaultKind::Silence, "silence", Arg::None, 0, 0, 0, "silence: never answer \"*\""},
    {FaultKind::Short, "short", Arg::Optional, 20, 0, 55,
     "short[=N]: answer with only the first N (20) characters"},
    {FaultKind::Late, "late", Arg::Optional, 300, 0, 600000,
     "late[=MS]: answer MS (300) ms after the \"*\""},
    {FaultKind::MissingComma, "missing-comma", Arg::Required, 0, 1, 25,
     "missing-comma=K: leave out the comma after field K (1..25)"},
    {FaultKind::BadVariant, "bad-variant", Arg::None, 0, 0, 0,
     "bad-variant: \"X\" instead of the variant digit"},
    {FaultKind::Output256, "output-256", Arg::None, 0, 0, 0, "output-256: report output 256"},
    {FaultKind::StoreDifferent, "store-different", Arg::None, 0, 0, 0,
     "store-different: after a write keep numerator of IN 1 plus one"},
    {FaultKind::Hangup, "hangup", Arg::Optional, 0, 0, 1 << 30,
     "hangup[=N]: drop the port on the next \"*\" (or after N more received bytes)"},
    {FaultKind::Garbage, "garbage", Arg::Optional, 65536, 1, 16 << 20,
     "garbage[=N]: answer \"*\" with N (65536) random bytes"},
}};

const FaultInfo& infoFor(FaultKind kind) {
    for (const FaultInfo& info : kFaults) {
        if (info.kind == kind)
            return info;
    }
    return kFaults[0];
}

std::optional<Fault> reject(QString* error, const QString& message) {
    if (error)
        *error = message;
    return std::nullopt;
}

} // namespace

std::optional<Fault> parseFault(const QString& text, QString* error) {
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    const QString name = (eq < 0 ? text : text.left(eq)).trimmed().toLower();
    for (const FaultInfo& info : kFaults) {
        if (name != QLatin1String(info.name))
            continue;
        Fault fault{info.kind, info.defaultArg};
        if (eq < 0) {
            if (info.arg == Arg::Required)
                return reject(error, QStringLiteral("fault %1 needs =ARG").arg(name));
            return fault;
        }
        if (info.arg == Arg::None)
            return reject(error, QStringLiteral("fault %1 takes no argument").arg(name));
        bool ok = false;
        fault.arg = text.mid(eq + 1).trimmed().toInt(&ok);
        if (!ok || fault.arg < info.minArg || fault.arg > info.maxArg) {
            return reject(
                error, QStringLiteral("fault %1: argument must be %2..%3")
                           .arg(name, QString::number(info.minArg), QString::number(info.maxArg)));
        }
        return fault;
    }
    return reject(error, QStringLiteral("unknown fault \"%1\"").arg(name));
}

QString faultToString(const Fault& fault) {
    const FaultInfo& info = infoFor(fault.kind);
    if (info.arg == Arg::None)
        return QLatin1String(info.name);
    return QStringLiteral("%1=%2").arg(QLatin1String(info.name), QString::number(fault.arg));
}

QString faultHelp() {
    QString text;
    // "name[=ARG]: what it does" as two columns, like the option lists: a
    // reader (and help2man, which makes the man page) sees a table.
    for (const FaultInfo& info : kFaults) {
        const QString help = QLatin1String(info.help);
        const qsizetype colon = help.indexOf(QLatin1String(": "));
        const QString name = help.left(colon);
        text += QStringLiteral("  %1 %2\n").arg(name.leftJustified(19), help.mid(colon + 2));
    }
    return text;
}

} // namespace ktr6sim
