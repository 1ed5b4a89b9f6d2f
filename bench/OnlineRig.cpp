#include "OnlineRig.h"

#include "app/Main.h"
#include "core/Others.h"
#include "core/Seams.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"
#include "views/OnLine.h"

#include <QAction>
#include <QEventLoop>
#include <QTimer>

namespace bench {

ktr6sim::ParamSet relayParams(const std::array<std::array<int, 3>, 6>& rows, int output) {
    ktr6sim::ParamSet params;
    params.signMask = 0;
    for (int i = 0; i < 6; ++i) {
        if (rows[i][0] == 1)
            params.signMask |= quint8(1 << i);
        params.numerators[i] = quint16(rows[i][1]);
        params.divisors[i] = quint16(rows[i][2]);
    }
    params.output = quint8(output);
    return params;
}

OnlineRig::OnlineRig() = default;

OnlineRig::~OnlineRig() {
    main_.reset();
    seams::bindPort(nullptr);
    port_.reset();
    if (sim_)
        sim_->stop();
    sim_.reset();
    seams::bindMessage({});
    seams::setProgramDirectory(QString());
}

bool OnlineRig::start(const ktr6sim::ParamSet& params, int baud, QString* error) {
    if (!dir_.isValid()) {
        *error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    Others::resetAll();
    seams::setProgramDirectory(dir_.path());
    seams::bindSleep({}); // real pauses: the relay answers in real time
    seams::bindMessage([this](const QString& text, const QString& title, MsgIcon) {
        messages_ << title + QStringLiteral(": ") + text;
    });

    ktr6sim::SimConfig config;
    config.params = params;
    config.trace = [this](ktr6sim::TraceDirection direction, QByteArrayView bytes) {
        if (direction == ktr6sim::TraceDirection::Sent)
            tally_.feed(bytes.data(), bytes.size());
    };
    sim_ = std::make_unique<ktr6sim::SimDevice>(std::move(config));
    if (!sim_->start(dir_.path(), QStringLiteral("com1"), error))
        return false;

    if (!writePortSettings({1, 0, int16_t(baud), 0, 0}, error))
        return false;
    port_ = std::make_unique<QtSerialComm>();
    seams::bindPort(port_.get());
    main_ = std::make_unique<Main>(port_.get());
    if (!main_->startUp()) {
        *error = QStringLiteral("the main window did not start: %1").arg(messages_.join('\n'));
        return false;
    }
    return true;
}

bool OnlineRig::withStatusView(const std::function<void(OnLine&)>& body) {
    bool shown = false;
    const auto connection = QObject::connect(main_.get(), &Main::secondaryWindowLoaded, main_.get(),
                                             [&](QWidget* window) {
                                                 auto* view = qobject_cast<OnLine*>(window);
                                                 if (!view)
                                                     return;
                                                 shown = true;
                                                 QTimer::singleShot(0, view, [&body, view] {
                                                     body(*view);
                                                     view->close();
                                                 });
                                             });
    main_->nmuStatus()->trigger();
    QObject::disconnect(connection);
    return shown;
}

void OnlineRig::divertNotifications(std::function<void(MSComm&)> handler) {
    QObject::disconnect(port_.get(), &MSComm::OnComm, main_.get(), nullptr);
    QObject::connect(port_.get(), &MSComm::OnComm, &divertContext_,
                     [this, handler = std::move(handler)] { handler(*port_); });
}

bool OnlineRig::runUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(pollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return done();
}

} // namespace bench
