#pragma once
// The port settings dialog: port list, baud rate and handshaking. Choosing a
// port opens it at once so the operator learns whether it exists and is free;
// OK writes the settings file and applies it to the port again.

#include "serial/MSComm.h"
#include "serial/PortMap.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

// The baud rate a typed text stands for: one decimal number (blanks around it
// allowed, a fraction rounds half to even) within 1..32767, the range of the
// shared 16-bit BaudRate. Anything else gives no value.
std::optional<int16_t> baudRateFromText(const QString& text);

// The position in entries of the entry a typed port text names, without regard
// to letter case or blanks around it ("com7" names "COM7"); -1 when none.
int portEntryPosition(const QStringList& entries, const QString& typed);

// What a port list entry's tool tip says about the device its number maps to:
// "/dev/ttyUSB0 (not present)", "/tmp/x/com3 -> /dev/pts/4 (present)"; a
// Windows port name as it stands ("COM10").
QString portDeviceDescription(int number, const QString& device,
                              Platform platform = kBuildPlatform);

// The message the port dialog shows for a port error code.
QString portErrorMessage(int code);

class Rozhranie : public QDialog {
    Q_OBJECT
public:
    explicit Rozhranie(QWidget* parent = nullptr);

    // Fills and presets the controls; the preset port is opened as though the
    // operator had chosen it, so its failure messages come before the dialog
    // is shown.
    void load();

    // Configures the port for number nr from the shared BaudRate and
    // HandshakeMode and opens it. Every failing step is reported and the next
    // one still runs; true only when no step failed.
    bool Otvor_Port(int16_t nr);

    // True when OK wrote the file but reading it back failed: the program
    // cannot go on.
    bool settingsReloadFailed() const { return settingsReloadFailed_; }

    QLabel* Label2() const { return label2_; }
    QComboBox* ComBo() const { return comBo_; }
    QLabel* Label1() const { return label1_; }
    QComboBox* B_Rate() const { return bRate_; }
    QGroupBox* Frame2() const { return frame2_; }
    QRadioButton* HS_No() const { return hsNo_; }
    QRadioButton* HS_RTS() const { return hsRts_; }
    QRadioButton* HS_X() const { return hsX_; }
    QRadioButton* HS_XR() const { return hsXr_; }
    QPushButton* OKButton() const { return okButton_; }

    static constexpr int kClientWidth = 388;
    static constexpr int kClientHeight = 123;
    static constexpr int kPortCount = 15;

public slots:
    // Close box and Escape: nothing is written, the port is released. After
    // a port choice that failed, the port is set back to the shared port
    // number, baud rate and handshaking, so the next transaction uses the
    // last port that opened rather than the one that did not.
    void reject() override;

protected:
    // Enter in a field does not save: only OK itself takes Enter.
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct HandshakeButton {
        QRadioButton* button;
        comm::Handshake mode;
    };
    // In the order OK tests them.
    std::array<HandshakeButton, 4> handshakeButtons() const;
    bool isHandshakeButton(const QObject* object) const;

    void ComBo_Click(int position);
    void OKButton_Click();
    void closePortReporting();
    void restoreSharedPortSettings();
    void reportPortError(const comm::CommError& error);
    QStringList portEntries() const;

    QLabel* label2_ = nullptr;
    QComboBox* comBo_ = nullptr;
    QLabel* label1_ = nullptr;
    QComboBox* bRate_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QRadioButton* hsNo_ = nullptr;
    QRadioButton* hsRts_ = nullptr;
    QRadioButton* hsX_ = nullptr;
    QRadioButton* hsXr_ = nullptr;
    QPushButton* okButton_ = nullptr;
    bool settingsReloadFailed_ = false;
    bool lastChoiceFailed_ = false;
    bool centred_ = false;
    bool leavingOptionGroup_ = false;
};
