#pragma once
// The parameter editor: reads the device's parameter set when it opens and
// on "Load", writes the edited fields with "Save".

#include "protocol/ParameterBlock.h"
#include "views/FixedDialog.h"

#include <array>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class Parameter : public FixedDialog {
    Q_OBJECT
public:
    explicit Parameter(QWidget* parent = nullptr);

    // The Load action: reads the device and, when that succeeded, fills the
    // caption and every field and says so.
    void load();

    // Rows 0..5 are IN 1..IN 6; Text1(6) is the output box.
    QLineEdit* Text1(int row) const { return text1_.at(row); }
    QLineEdit* Text2(int row) const { return text2_.at(row); }
    QCheckBox* Check1(int row) const { return check1_.at(row); }
    QLabel* Label1(int row) const { return label1_.at(row); }
    QLabel* Label2(int row) const { return label2_.at(row); }
    QPushButton* btLoad() const { return btLoad_; }
    QPushButton* btSave() const { return btSave_; }
    QGroupBox* Frame1() const { return frame1_; }
    QGroupBox* Frame2() const { return frame2_; }

    // The fields exactly as they stand, as the write takes them.
    EditorFields fields() const;

    static constexpr int kClientWidth = 381;
    static constexpr int kClientHeight = 183;

    // The question Save asks while no read has filled the fields.
    static const QString kUnreadSaveQuestion;

private:
    void save();

    // True until a Load fills the fields from the device: until then they
    // hold the design's placeholders or what was typed over them, and a Save
    // would replace the device's set with them.
    bool fieldsUnread_ = true;

    std::array<QLineEdit*, Others::kInputs + 1> text1_{};
    std::array<QLineEdit*, Others::kInputs> text2_{};
    std::array<QCheckBox*, Others::kInputs> check1_{};
    std::array<QLabel*, Others::kInputs> label1_{};
    std::array<QLabel*, Others::kInputs> label2_{};
    QGroupBox* frame1_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QPushButton* btLoad_ = nullptr;
    QPushButton* btSave_ = nullptr;
};
