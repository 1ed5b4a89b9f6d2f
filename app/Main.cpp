#include "Main.h"

#include "core/Others.h"
#include "core/Seams.h"
#include "serial/MSComm.h"
#include "serial/SettingsFile.h"
#include "views/CentreOnScreen.h"
#include "views/OnLine.h"
#include "views/Parameter.h"
#include "views/Rozhranie.h"
#include "views/frmAbout.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QScreen>
#include <QSvgWidget>
#include <QVBoxLayout>

Main::Main(MSComm* port, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      port_(port) {
    setObjectName(QStringLiteral("Main"));
    setWindowTitle(QStringLiteral(" KTR"));
    setWindowIcon(QIcon(QStringLiteral(":/icon.svg")));

    // The picture keeps its size when the window grows; the rest of the
    // client area shows the plain window background.
    auto* client = new QWidget(this);
    auto* picture = new QSvgWidget(QStringLiteral(":/device.svg"), client);
    picture->setObjectName(QStringLiteral("Picture"));
    picture->setGeometry(0, 0, kClientWidth, kPictureHeight);
    setCentralWidget(client);

    QMenuBar* bar = menuBar();
    mnuParam_ = bar->addAction(QStringLiteral("Parameter"));
    mnuParam_->setObjectName(QStringLiteral("mnuParam"));
    nmuStatus_ = bar->addAction(QStringLiteral("Status"));
    nmuStatus_->setObjectName(QStringLiteral("nmuStatus"));
    mnuComPort_ = bar->addAction(QStringLiteral("Com Port"));
    mnuComPort_->setObjectName(QStringLiteral("mnuComPort"));
    nmuInfo_ = bar->addAction(QStringLiteral("Info"));
    nmuInfo_->setObjectName(QStringLiteral("nmuInfo"));
    connect(mnuParam_, &QAction::triggered, this, &Main::openParameter);
    connect(nmuStatus_, &QAction::triggered, this, &Main::openStatus);
    connect(mnuComPort_, &QAction::triggered, this, &Main::openComPort);
    connect(nmuInfo_, &QAction::triggered, this, &Main::openInfo);

    connect(port_, &MSComm::OnComm, this, &Main::MSComm1_OnComm);

    // Client area of 383 x 260 below the menu bar.
    resize(kClientWidth, kClientHeight + bar->sizeHint().height());
}

Main::~Main() {
    closePortQuietly(*port_);
}

bool Main::startUp() {
    // Several settings files under different letter cases: the operator
    // learns once which one the program uses, before anything else.
    const QString notice = settingsFileNotice();
    if (!notice.isEmpty())
        MsgBox(notice, MsgIcon::Warning);
    if (!LoadPortSettings())
        return false;
    centreOnScreen(this);
    show();
    return true;
}

void Main::closeEvent(QCloseEvent* event) {
    // Closing the main window ends the program at once, whatever is open.
    event->accept();
    closePortQuietly(*port_);
    QCoreApplication::exit(0);
}

void Main::openParameter() {
    Parameter window(this);
    window.load();
    emit secondaryWindowLoaded(&window);
    window.exec();
}

void Main::openStatus() {
    auto* view = new OnLine(this);
    onLine_ = view;
    view->load();
    if (Others::ReadFailed != Others::False) {
        // The operator has seen the read's "ERROR" box; the view is dropped
        // without being shown.
        onLine_ = nullptr;
        delete view;
        Others::ReadFailed = Others::False;
        return;
    }
    emit secondaryWindowLoaded(view);
    view->exec();
    onLine_ = nullptr;
    delete view;
}

void Main::openComPort() {
    Rozhranie dialog(this);
    dialog.load();
    emit secondaryWindowLoaded(&dialog);
    dialog.exec();
    if (dialog.settingsReloadFailed()) {
        // The settings just written could not be read back: the program
        // cannot go on, as at start-up without a settings file.
        close();
    }
}

void Main::openInfo() {
    frmAbout about(this);
    emit secondaryWindowLoaded(&about);
    about.exec();
}

void Main::MSComm1_OnComm() {
    if (onLine_) {
        onLine_->onComm(*port_);
        return;
    }
    // No on-line view: nothing may count these, but they must not pile up.
    if (port_->CommEvent() == comm::kEvReceive && port_->PortOpen()) {
        try {
            port_->Input();
        } catch (const comm::CommError&) {
        }
    }
}
