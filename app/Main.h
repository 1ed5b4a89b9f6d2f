#pragma once
// The main window: the device picture, the menu that opens the four
// secondary windows, and the serial-port object for the whole run.

#include <QMainWindow>
#include <QPointer>

class MSComm;
#include "views/OnLine.h"
class QAction;

class Main : public QMainWindow {
    Q_OBJECT
public:
    // port: the port object this window owns for the whole run (a
    // QtSerialComm in the program, a scripted one in tests).
    explicit Main(MSComm* port, QWidget* parent = nullptr);
    ~Main() override;

    // Loads the port settings and shows the window centred. Returns false,
    // with nothing shown, when the settings file is missing or unusable: the
    // program must then end.
    bool startUp();

    MSComm& port() const { return *port_; }
    QAction* mnuParam() const { return mnuParam_; }
    QAction* nmuStatus() const { return nmuStatus_; }
    QAction* mnuComPort() const { return mnuComPort_; }
    QAction* nmuInfo() const { return nmuInfo_; }
    // The on-line view while it is loaded, else null.
    OnLine* onLineView() const { return onLine_; }

    static constexpr int kClientWidth = 383;
    static constexpr int kClientHeight = 260;
    static constexpr int kPictureHeight = 257;

signals:
    // A secondary window has been created and loaded (tests answer it).
    void secondaryWindowLoaded(QWidget* window);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void openParameter();
    void openStatus();
    void openComPort();
    void openInfo();
    void MSComm1_OnComm();

    MSComm* port_;
    QAction* mnuParam_ = nullptr;
    QAction* nmuStatus_ = nullptr;
    QAction* mnuComPort_ = nullptr;
    QAction* nmuInfo_ = nullptr;
    QPointer<OnLine> onLine_;
};
