#pragma once
// The about box: program title and version, what the two firmware variants
// do, and who makes the device.

#include "views/FixedDialog.h"

class QLabel;
class QPushButton;

class frmAbout : public FixedDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);

    QLabel* picIcon() const { return picIcon_; }
    QLabel* lblTitle() const { return lblTitle_; }
    QLabel* lblVersion() const { return lblVersion_; }
    QLabel* lblDescription() const { return lblDescription_; }
    QWidget* Line1() const { return line1_; }
    QLabel* lblDisclaimer() const { return lblDisclaimer_; }
    QPushButton* cmdOK() const { return cmdOK_; }

    // "Software Version: 1.02": no separator between minor and revision.
    static QString versionText(int major, int minor, int revision);
    static QString descriptionText();
    static QString disclaimerText();

    static constexpr int kClientWidth = 382;
    static constexpr int kClientHeight = 237;

private:
    QLabel* picIcon_ = nullptr;
    QLabel* lblTitle_ = nullptr;
    QLabel* lblVersion_ = nullptr;
    QLabel* lblDescription_ = nullptr;
    QWidget* line1_ = nullptr;
    QLabel* lblDisclaimer_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
};
