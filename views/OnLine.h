#pragma once
// The on-line status view: a running total and an indicator per channel
// (IN 1..IN 6, Out V1, Out V2), fed by the device's record stream while the
// view holds the port open.

#include "protocol/OnlineStream.h"
#include "protocol/ParameterBlock.h"
#include "views/FixedDialog.h"
#include "views/ValueBox.h"

#include <QColor>
#include <array>

class Lamp;
class MSComm;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

class OnLine : public FixedDialog {
    Q_OBJECT
public:
    explicit OnLine(QWidget* parent = nullptr);
    ~OnLine() override;

    // Reads the parameters, then opens the port for the record stream. On
    // any failure ReadFailed is set and the view must be dropped unshown.
    void load();
    // The port's notification, passed on by the main window while this view
    // is loaded.
    void onComm(MSComm& port);

    // k = 0..5 inputs IN 1..IN 6, 6 Out V1, 7 Out V2.
    ValueBox* Text1(int k) const { return text1_.at(k); }
    QLabel* Label1(int k) const { return label1_.at(k); }
    QLabel* Label2(int k) const { return label2_.at(k); }
    Lamp* Shape1(int k) const { return shape1_.at(k); }
    // The indicator timer of channel k (Timer1 for k = 0).
    QTimer* Timer(int k) const { return timers_.at(k); }
    QPushButton* btClear() const { return btClear_; }
    QGroupBox* Frame1() const { return frame1_; }
    QGroupBox* Frame2() const { return frame2_; }
    QLabel* Picture1() const { return picture1_; }

    void done(int result) override;

    static const QColor kLightPeach;
    static const QColor kRed;
    static const QColor kGreen;
    static constexpr int kFlashMs = 200;
    // After the device was lost, how often the view tries the port.
    static constexpr int kRetryMs = 2000;
    static constexpr int kClientWidth = 370;
    static constexpr int kClientHeight = 234;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Caption, indicator, coefficient, value box and indicator timer of
    // channel k.
    void makeChannel(int k);
    void clearScreen();
    // Puts a total into value box k, its leading digits in view.
    void showTotal(int k, const QString& text);
    void editEnded(int k, bool committed);
    // The coefficients of the set the view counts with, beside the totals.
    void showCoefficients();
    QString caption() const;
    void deviceLost(MSComm& port);
    // After the device was lost: reads the set again, quietly, and counts on
    // if the device answers. Run every kRetryMs while the view stays open.
    void retryDevice();
    // Opens the port for the records; false when it cannot be opened.
    bool openForRecords(MSComm& port);
    void resumeWith(const ParameterSet& set);
    void closePort();

    std::array<ValueBox*, kChannels> text1_{};
    std::array<QLabel*, kChannels> label1_{};
    std::array<QLabel*, kChannels> label2_{};
    std::array<Lamp*, kChannels> shape1_{};
    std::array<QTimer*, kChannels> timers_{};
    QGroupBox* frame1_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QPushButton* btClear_ = nullptr;
    QLabel* picture1_ = nullptr;

    RecordAssembler assembler_;
    ChannelTotals totals_;
    // Records are counted only between a successful open and the end of the
    // line (device lost) or of the view.
    bool counting_ = false;
    bool portOpened_ = false;
    // The records box k had counted when its edit began.
    std::array<int64_t, kChannels> editStart_{};
    // The set the view counts with: read at load, again after a lost device.
    ParameterSet set_;
    bool lost_ = false;
    QTimer* retry_ = nullptr;
    // RThreshold is 1 while a record is unfinished.
    bool thresholdLowered_ = false;
};
