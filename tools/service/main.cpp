// ktr6d: counts the records of every configured relay into the counts
// database, for months, whatever happens to the relays or the database.

#include "Service.h"
#include "ServiceConfig.h"

#include "core/Seams.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitConfig = 2;

const char kUsage[] =
    "Usage: ktr6d [--config FILE] [--database FILE]\n"
    "Counts the records of every relay in FILE into the counts database.\n"
    "\n"
    "  --config FILE    the relays, default /etc/ktr6/ktr6d.conf\n"
    "  --database FILE  the counts, default /var/lib/ktr6/counts.sqlite\n"
    "  --socket PATH    the control socket of ktr6ctl service, default\n"
    "                   /run/ktr6/ktr6d.sock\n"
    "  -h, --help       show this text\n"
    "  --version        show the program's version\n"
    "\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT, 1 failed at start (the database\n"
    "cannot be opened or written), 2 bad usage or a bad configuration.\n";

struct Arguments {
    QString config = QStringLiteral("/etc/ktr6/ktr6d.conf");
    QString database = QStringLiteral("/var/lib/ktr6/counts.sqlite");
    QString socket = QStringLiteral("/run/ktr6/ktr6d.sock");
    bool help = false;
    bool version = false;
    QString error;
};

Arguments parseArguments(const QStringList& args) {
    Arguments a;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        QString* target = arg == QLatin1String("--config")     ? &a.config
                          : arg == QLatin1String("--database") ? &a.database
                          : arg == QLatin1String("--socket")   ? &a.socket
                                                               : nullptr;
        if (target) {
            if (i + 1 >= args.size() || args[i + 1].isEmpty()) {
                a.error = QStringLiteral("%1 needs a file name").arg(arg);
                return a;
            }
            *target = args[++i];
        } else if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            a.help = true;
        } else if (arg == QLatin1String("--version")) {
            a.version = true;
        } else {
            a.error = QStringLiteral("unknown argument \"%1\"").arg(arg);
            return a;
        }
    }
    return a;
}

int signalPipe[2] = {-1, -1};

void onStopSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so the last counts are committed.
void watchStopSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A ktr6ctl that goes away before its answer must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
}

// The feed of the [mqtt] section, connecting in the background; none
// without the section, nor (with *error naming the setting) when the link
// cannot use its settings.
std::unique_ptr<MqttFeed> makeFeed(const ServiceConfig& config, const QString& configPath,
                                   QString* error) {
    if (!config.mqtt)
        return nullptr;
    auto feed = std::make_unique<MqttFeed>(*config.mqtt, logLine);
    QString why;
    if (!feed->start(&why)) {
        *error = QStringLiteral("%1: [mqtt]: %2").arg(configPath, why);
        return nullptr;
    }
    return feed;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ktr6d"));
    const Arguments args = parseArguments(app.arguments().mid(1));
    if (!args.error.isEmpty()) {
        std::fprintf(stderr, "ktr6d: %s\nTry 'ktr6d --help'.\n", qPrintable(args.error));
        return kExitConfig;
    }
    if (args.help || args.version) {
        std::fputs(args.help ? kUsage : "ktr6d " KTR6_VERSION "\n", stdout);
        return kExitOk;
    }
    const ConfigResult config = loadServiceConfig(args.config);
    if (!config.config) {
        logLine(config.error);
        return kExitConfig;
    }
    // The comN links beside the program, or where KTR6_PROGRAM_DIR says.
    const QString programDir = qEnvironmentVariable("KTR6_PROGRAM_DIR");
    seams::setProgramDirectory(programDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                                    : programDir);
    QString error;
    // Made before the service, so that it outlives the service's last commit.
    const std::unique_ptr<MqttFeed> feed = makeFeed(*config.config, args.config, &error);
    if (!error.isEmpty()) {
        logLine(error);
        return kExitConfig;
    }
    Service service(*config.config);
    if (!service.open(args.database, &error) || (feed && !feed->open(args.database, &error))) {
        logLine(QStringLiteral("cannot use the database %1").arg(error));
        return kExitFailure;
    }
    service.setFeed(feed.get());
    watchStopSignals(app);
    service.start();
    // Without the socket the relays are counted all the same; only
    // ktr6ctl service cannot reach the service.
    ControlServer control([&service](const QString& request, ControlServer::Reply reply) {
        service.handle(request, reply);
    });
    if (!control.listen(args.socket, &error))
        logLine(QStringLiteral("no control socket: %1").arg(error));
    logLine(QStringLiteral("counting %1 relay(s) into %2")
                .arg(config.config->relays.size())
                .arg(args.database));
    app.exec();
    service.stop();
    // A clean "offline" on PREFIX/status, after the last totals.
    if (feed)
        feed->stop();
    logLine(QStringLiteral("stopped"));
    return kExitOk;
}
