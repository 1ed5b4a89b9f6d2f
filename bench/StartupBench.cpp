// The main window built in this process, and where its "Status" entry lies.

#include "BenchSupport.h"
#include "Benches.h"
#include "OnlineRig.h"
#include "Report.h"

#include "app/Main.h"
#include "core/Seams.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"

#include <QAction>
#include <QElapsedTimer>
#include <QEvent>
#include <QMenuBar>
#include <QTemporaryDir>

#include <memory>

namespace bench {

namespace {

// Notes when the window first paints.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(const QElapsedTimer& clock) : clock_(clock) {}
    qint64 atNs = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && atNs < 0)
            atNs = clock_.nsecsElapsed();
        return QObject::eventFilter(watched, event);
    }

private:
    const QElapsedTimer& clock_;
};

void prepareProgramDirectory(QTemporaryDir& dir) {
    if (!dir.isValid())
        fail(QStringLiteral("cannot create a temporary directory"));
    seams::setProgramDirectory(dir.path());
    QString error;
    if (!writePortSettings({1, 0, kBaud9600, 0, 0}, &error))
        fail(error);
}

} // namespace

void benchStartup(int repeats) {
    QTemporaryDir dir;
    prepareProgramDirectory(dir);
    QtSerialComm port;
    seams::bindPort(&port);

    QList<double> built, painted;
    for (int r = 0; r < repeats; ++r) {
        QElapsedTimer clock;
        clock.start();
        auto window = std::make_unique<Main>(&port);
        FirstPaint paint(clock);
        window->installEventFilter(&paint);
        if (!window->startUp())
            fail(QStringLiteral("the main window did not start"));
        built << clock.nsecsElapsed() / 1e6;
        if (!OnlineRig::runUntil([&] { return paint.atNs >= 0; }, 10000, 1))
            fail(QStringLiteral("the main window never painted"));
        painted << paint.atNs / 1e6;
        window.reset();
        OnlineRig::runUntil([] { return false; }, 50);
    }
    seams::bindPort(nullptr);

    const QList<double> warmBuilt = built.mid(1);
    const QList<double> warmPainted = painted.mid(1);
    QList<QStringList> rows;
    rows.append({QStringLiteral("construct `Main` + `startUp()` (settings read, window shown)"),
                 fixed(built.first(), 1), fixed(median(warmBuilt), 1),
                 fixed(maximum(warmBuilt), 1)});
    rows.append({QStringLiteral("... to the window's first paint"), fixed(painted.first(), 1),
                 fixed(median(warmPainted), 1), fixed(maximum(warmPainted), 1)});
    out() << "In-process, offscreen platform, resources registered and `QApplication` already "
             "built (so library loading, the platform plugin and the application object are "
             "excluded): the main window built "
          << repeats
          << " times one after another. The first time includes one-time costs (fonts, style, "
             "SVG renderer); the others show a warm start.\n\n";
    printTable({QStringLiteral("Step"), QStringLiteral("First (ms)"),
                QStringLiteral("Later, median (ms)"), QStringLiteral("Later, max (ms)")},
               rows);
}

void printMenuPosition() {
    QTemporaryDir dir;
    prepareProgramDirectory(dir);
    QtSerialComm port;
    seams::bindPort(&port);
    {
        Main window(&port);
        if (!window.startUp())
            fail(QStringLiteral("the main window did not start"));
        QElapsedTimer clock;
        clock.start();
        FirstPaint paint(clock);
        window.installEventFilter(&paint);
        OnlineRig::runUntil([&] { return paint.atNs >= 0; }, 10000, 1);
        const QRect entry = window.menuBar()->actionGeometry(window.nmuStatus());
        const QPoint centre = window.menuBar()->mapTo(&window, entry.center());
        out() << centre.x() << ' ' << centre.y() << '\n';
        out().flush();
    }
    seams::bindPort(nullptr);
}

} // namespace bench
