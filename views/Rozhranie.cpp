#include "Rozhranie.h"

#include "views/CentreOnScreen.h"

#include "core/NumText.h"
#include "core/Others.h"
#include "core/Seams.h"
#include "serial/MSComm.h"
#include "serial/PortMap.h"
#include "serial/SettingsFile.h"
#include "views/ControlLayout.h"

#include <QComboBox>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>

using comm::CommError;

namespace {

const QString kBaudField = QStringLiteral("Baud Rate");
const QString kPortField = QStringLiteral("COM");
constexpr int kMaxBaud = 32767;

using views::ControlBox;
using views::Fit;

// The option buttons cross the frame clear of its border, 16 pixels apart so
// each keeps to its own row. The lists keep their own height.
constexpr int kOptionWidth = 113 - 16 - 4;
constexpr ControlBox kLayout[] = {
    {"Label2", QRect(14, 7, 57, 15)},
    {"ComBo", QRect(14, 21, 71, 0), Fit::OwnHeight},
    {"Label1", QRect(105, 7, 97, 17)},
    {"B_Rate", QRect(105, 21, 89, 0), Fit::OwnHeight},
    {"Frame2", QRect(203, 7, 113, 96)},
    {"HS_No", QRect(16, 24, kOptionWidth, 16)},
    {"HS_RTS", QRect(16, 40, kOptionWidth, 16)},
    {"HS_X", QRect(16, 56, kOptionWidth, 16)},
    {"HS_XR", QRect(16, 72, kOptionWidth, 16)},
    {"OKButton", QRect(322, 21, 61, 25)},
};

} // namespace

std::optional<int16_t> baudRateFromText(const QString& text) {
    // The whole text must be the number: "96OO" or "9600 8" is a typing
    // error, not 96 or 96008.
    static const QRegularExpression wholeNumber(
        QStringLiteral(R"(^\s*[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\s*$)"));
    if (!wholeNumber.match(text).hasMatch())
        return std::nullopt;
    const double rounded = roundHalfEven(numberFromText(QStringView(text)));
    if (!(rounded >= 1 && rounded <= kMaxBaud))
        return std::nullopt;
    return static_cast<int16_t>(rounded);
}

int portEntryPosition(const QStringList& entries, const QString& typed) {
    const QString wanted = typed.trimmed();
    if (wanted.isEmpty())
        return -1;
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString portDeviceDescription(int number, const QString& device, Platform platform) {
    if (device.isEmpty())
        return QStringLiteral("%1 maps to no device on this computer").arg(portName(number));
    if (!isDeviceFile(device, platform))
        return device; // only opening a Windows port name tells whether it is there
    const QFileInfo info(device);
    QString text = device;
    if (info.isSymLink())
        text += QStringLiteral(" -> ") + info.symLinkTarget();
    text += info.exists() ? QStringLiteral(" (present)") : QStringLiteral(" (not present)");
    return text;
}

QString portErrorMessage(int code) {
    switch (code) {
    case comm::kPortIsOpen:
        return QStringLiteral("Port is opened");
    case comm::kInvalidPortNumber:
        return QStringLiteral("Invalid Port Number");
    case comm::kPortAlreadyOpen:
        return QStringLiteral("Port already open");
    default:
        return QStringLiteral("Port Error ") + decimalText(code);
    }
}

Rozhranie::Rozhranie(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("Rozhranie"));
    setWindowTitle(QStringLiteral("COM Port "));
    setFixedSize(kClientWidth, kClientHeight);

    label2_ = new QLabel(QStringLiteral("COM:"), this);
    label2_->setObjectName(QStringLiteral("Label2"));

    comBo_ = new QComboBox(this);
    comBo_->setObjectName(QStringLiteral("ComBo"));
    comBo_->setEditable(true);
    // Typed text must never grow the list: only COM1..COM15 are ports.
    comBo_->setInsertPolicy(QComboBox::NoInsert);
    comBo_->setMaxVisibleItems(kPortCount);

    label1_ = new QLabel(QStringLiteral("Baud Rate"), this);
    label1_->setObjectName(QStringLiteral("Label1"));

    bRate_ = new QComboBox(this);
    bRate_->setObjectName(QStringLiteral("B_Rate"));
    bRate_->setEditable(true);
    bRate_->setInsertPolicy(QComboBox::NoInsert);
    bRate_->addItem(QStringLiteral("19200"));

    frame2_ = new QGroupBox(QStringLiteral("Handshaking"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));

    // Auto-exclusive buttons in one frame form one group that may start with
    // none on (a handshaking value the dialog has no button for).
    auto makeOption = [this](const char* name, const QString& text) {
        auto* button = new QRadioButton(text, frame2_);
        button->setObjectName(QLatin1String(name));
        button->setAutoExclusive(true);
        button->installEventFilter(this);
        return button;
    };
    hsNo_ = makeOption("HS_No", QStringLiteral("No"));
    hsRts_ = makeOption("HS_RTS", QStringLiteral("RTS / CTS"));
    hsX_ = makeOption("HS_X", QStringLiteral("XON/XOFF"));
    hsXr_ = makeOption("HS_XR", QStringLiteral("RTS, XON"));

    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setObjectName(QStringLiteral("OKButton"));
    // Not the dialog's default button: Enter in a field must not save.
    okButton_->setAutoDefault(false);
    views::placeControls(this, kLayout);

    views::chainFocus({okButton_, bRate_, hsNo_, hsRts_, hsX_, hsXr_, comBo_});
    okButton_->setFocus();

    connect(comBo_, &QComboBox::activated, this, &Rozhranie::ComBo_Click);
    connect(comBo_, &QComboBox::currentIndexChanged, this, [this](int position) {
        comBo_->setToolTip(position >= 0 ? comBo_->itemData(position, Qt::ToolTipRole).toString()
                                         : QString());
    });
    connect(okButton_, &QPushButton::clicked, this, &Rozhranie::OKButton_Click);
}

std::array<Rozhranie::HandshakeButton, 4> Rozhranie::handshakeButtons() const {
    return {{{hsNo_, comm::kHandshakeNone},
             {hsRts_, comm::kHandshakeRtsCts},
             {hsX_, comm::kHandshakeXonXoff},
             {hsXr_, comm::kHandshakeRtsCtsXonXoff}}};
}

QStringList Rozhranie::portEntries() const {
    QStringList entries;
    for (int i = 0; i < comBo_->count(); ++i)
        entries << comBo_->itemText(i);
    return entries;
}

void Rozhranie::load() {
    MSComm& port = MSComm1();
    for (int n = 1; n <= kPortCount; ++n) {
        comBo_->addItem(portName(n));
        comBo_->setItemData(n - 1,
                            portDeviceDescription(n, port.DeviceFor(static_cast<int16_t>(n))),
                            Qt::ToolTipRole);
    }
    // Adding the first entry made it current; the preset below decides.
    comBo_->setCurrentIndex(-1);

    closePortReporting();

    for (const HandshakeButton& option : handshakeButtons()) {
        if (option.mode == Others::HandshakeMode)
            option.button->setChecked(true);
    }

    bRate_->setCurrentIndex(-1);
    bRate_->setEditText(decimalText(Others::BaudRate));

    const int position = Others::PortNumber - 1;
    if (position >= 0 && position < kPortCount) {
        comBo_->setCurrentIndex(position);
        ComBo_Click(position);
    }
}

void Rozhranie::reportPortError(const CommError& error) {
    MsgBox(portErrorMessage(error.code()), MsgIcon::None);
}

void Rozhranie::closePortReporting() {
    if (const int code = closePortQuietly(MSComm1()))
        MsgBox(portErrorMessage(code), MsgIcon::None);
}

void Rozhranie::ComBo_Click(int position) {
    if (position < 0)
        return;
    closePortReporting();
    const auto number = static_cast<int16_t>(position + 1);
    lastChoiceFailed_ = !Otvor_Port(number);
    if (!lastChoiceFailed_)
        Others::PortNumber = number;
}

bool Rozhranie::Otvor_Port(int16_t nr) {
    MSComm& port = MSComm1();
    bool result = true;
    auto step = [&](auto&& action) {
        try {
            action();
        } catch (const CommError& error) {
            reportPortError(error);
            result = false;
        }
    };

    step([&] {
        bool open = true;
        try {
            open = port.PortOpen();
        } catch (const CommError& error) {
            // Not knowing whether the port is open, close it all the same.
            reportPortError(error);
            result = false;
        }
        if (open)
            port.PortOpen(false);
    });
    step([&] { port.CommPort(nr); });
    step([&] { port.Settings(lineSettingsText(Others::BaudRate)); });
    step([&] { port.Handshaking(Others::HandshakeMode); });
    step([&] { port.PortOpen(true); });
    return result;
}

void Rozhranie::OKButton_Click() {
    closePortReporting();

    const int position = portEntryPosition(portEntries(), comBo_->currentText());
    if (position < 0) {
        MsgBox(QStringLiteral("%1: \"%2\" is not a port of the list; choose one of COM1 to COM%3.")
                   .arg(kPortField, comBo_->currentText(), decimalText(kPortCount)),
               MsgIcon::Warning);
        comBo_->setFocus();
        comBo_->lineEdit()->selectAll();
        return;
    }
    const std::optional<int16_t> baud = baudRateFromText(bRate_->currentText());
    if (!baud) {
        MsgBox(QStringLiteral("%1: \"%2\" is not a baud rate between 1 and %3.")
                   .arg(kBaudField, bRate_->currentText(), decimalText(kMaxBaud)),
               MsgIcon::Warning);
        bRate_->setFocus();
        bRate_->lineEdit()->selectAll();
        return;
    }

    int16_t mode = Others::HandshakeMode;
    for (const HandshakeButton& option : handshakeButtons()) {
        if (option.button->isChecked())
            mode = option.mode;
    }

    // The shared values change only once the file holds them: a refused write
    // must not leave the program claiming settings that are not on disk.
    const PortSettingsValues values{static_cast<int16_t>(position + 1), mode, *baud,
                                    Others::WaitTime, Others::TimeDelay};
    QString error;
    if (!writePortSettings(values, &error)) {
        MsgBox(error, MsgIcon::Warning);
        return;
    }
    Others::HandshakeMode = mode;
    Others::BaudRate = *baud;

    accept();
    try {
        if (!LoadPortSettings())
            settingsReloadFailed_ = true;
    } catch (const CommError& failure) {
        reportPortError(failure);
    }
}

void Rozhranie::reject() {
    // The port was opened only to try it; nobody else may find it held.
    closePortReporting();
    if (lastChoiceFailed_)
        restoreSharedPortSettings();
    QDialog::reject();
}

void Rozhranie::restoreSharedPortSettings() {
    const PortSettingsValues values{Others::PortNumber, Others::HandshakeMode, Others::BaudRate,
                                    Others::WaitTime, Others::TimeDelay};
    try {
        applyPortSettings(MSComm1(), values);
    } catch (const CommError& error) {
        reportPortError(error);
    }
}

void Rozhranie::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter) {
        QDialog::keyPressEvent(event);
        return;
    }
    // A field or an option button lets Enter through to here; only OK with
    // the focus acts on it.
    event->accept();
    if (focusWidget() == okButton_)
        okButton_->click();
}

bool Rozhranie::isHandshakeButton(const QObject* object) const {
    for (const HandshakeButton& option : handshakeButtons()) {
        if (option.button == object)
            return true;
    }
    return false;
}

bool Rozhranie::focusNextPrevChild(bool next) {
    // The option group is one stop on the way, whichever way round: leaving
    // it passes over its other buttons (arrow keys move within it).
    if (!isHandshakeButton(focusWidget()))
        return QDialog::focusNextPrevChild(next);
    leavingOptionGroup_ = true;
    for (int i = 0; i <= int(handshakeButtons().size()) && isHandshakeButton(focusWidget()); ++i)
        QDialog::focusNextPrevChild(next);
    leavingOptionGroup_ = false;
    return true;
}

bool Rozhranie::eventFilter(QObject* watched, QEvent* event) {
    // Tabbing into the option group lands on the button that is on.
    if (event->type() == QEvent::FocusIn && !leavingOptionGroup_) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        auto* target = qobject_cast<QRadioButton*>(watched);
        if (target && !target->isChecked() &&
            (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason)) {
            for (const HandshakeButton& option : handshakeButtons()) {
                if (option.button->isChecked()) {
                    option.button->setFocus(reason);
                    break;
                }
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Rozhranie::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    centreOnScreen(this);
}
