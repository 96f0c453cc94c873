#include "named_controls.h"

namespace corvane {

void NamedControlsView::showModel(const QString &deviceType) {
    const QString label = QStringLiteral("Device type: ") + deviceType;
    setControlText(QStringLiteral("Label24"), label);
    setControlText(QStringLiteral("Label21"), label);
}

void NamedControlsView::showIdentification(const QString &text) {
    setControlText(QStringLiteral("Label20"), text);
}

void NamedControlsView::showClock(const QString &time, const QString &date) {
    setControlText(QStringLiteral("Label6"), QStringLiteral("Time: ") + time);
    setControlText(QStringLiteral("Label7"), QStringLiteral("Date: ") + date);
    setControlText(QStringLiteral("Label17"),
                   QStringLiteral("Time and Date: ") + time + QStringLiteral(",  ") + date);
}

void NamedControlsView::showBattery(const QString &level) {
    const QString text = QStringLiteral("Battery status: ") + level;
    setControlText(QStringLiteral("Label5"), text);
    setControlText(QStringLiteral("Label16"), text);
}

void NamedControlsView::showInputStatus(int bits) {
    setControlText(QStringLiteral("Label_input_status"),
                   QStringLiteral("Current input status: 0x") +
                       QStringLiteral("%1").arg(bits & 0xff, 2, 16, QLatin1Char('0')).toUpper());
}

void NamedControlsView::showMenuCode(const QString &code) {
    setControlText(QStringLiteral("Edit1"), code);
}

void NamedControlsView::showPulseLength(const QString &length) {
    setControlText(QStringLiteral("Combo_pulses"), length);
    setControlText(QStringLiteral("Label15"), QStringLiteral("Pulse length: ") + length);
}

void NamedControlsView::showLanguage(const QString &language) {
    setControlText(QStringLiteral("Label14"), QStringLiteral("Language: ") + language);
}

void NamedControlsView::showLockState(bool locked) {
    setControlText(QStringLiteral("Label19"), locked ? QStringLiteral("Current state: Locked")
                                                     : QStringLiteral("Current state: Unlocked"));
}

void NamedControlsView::showInfoAddress(int address) {
    setControlText(QStringLiteral("Label13"),
                   QStringLiteral("Мрежов адрес: ") + QString::number(address));
}

void NamedControlsView::enableModelPages() {
    setControlEnabled(QStringLiteral("GroupBox1"), true);
    setControlEnabled(QStringLiteral("GroupBox2"), true);
}

QString NamedControlsView::buttonName(Command command) {
    switch (command) {
    case Command::Read:
        return QStringLiteral("BitBtn1");
    case Command::Write:
        return QStringLiteral("BitBtn2");
    case Command::Counters:
        return QStringLiteral("BitBtn6");
    case Command::Flow:
        return QStringLiteral("BitBtn31");
    case Command::DeviceInfo:
        return QStringLiteral("BitBtn24");
    }
    return {};
}

void NamedControlsView::setCommandEnabled(Command command, bool enabled) {
    setControlEnabled(buttonName(command), enabled);
}

void NamedControlsView::showPasswordRefused() {
    setControlText(QStringLiteral("MaskEdit1"), QString());
    setControlVisible(QStringLiteral("GroupBox4"), false);
}

void NamedControlsView::showServicePageOpen() {
    setControlVisible(QStringLiteral("GroupBox4"), true);
    setControlVisible(QStringLiteral("MaskEdit1"), false);
    setControlVisible(QStringLiteral("BitBtn18"), false);
    setControlVisible(QStringLiteral("Label8"), false);
}

QString NamedControlReader::fieldName(Field field) {
    switch (field) {
    case Field::DeviceId:
        return QStringLiteral("Edit_id");
    case Field::Speed:
        return QStringLiteral("ComboBox1");
    case Field::Parity:
        return QStringLiteral("ComboBox2");
    case Field::MenuCode:
        return QStringLiteral("Edit1");
    case Field::InputCount:
        return QStringLiteral("Combo_inputs");
    case Field::Polarity:
        return QStringLiteral("Combo_polarity");
    case Field::NewAddress:
        return QStringLiteral("Edit_address");
    case Field::PulseLength:
        return QStringLiteral("Combo_pulses");
    }
    return {};
}

QString NamedControlReader::checkBoxName(WriteGroup group) {
    switch (group) {
    case WriteGroup::Unit:
        return QStringLiteral("Check_unit");
    case WriteGroup::Constant:
        return QStringLiteral("Check_constant");
    case WriteGroup::User:
        return QStringLiteral("Check_user");
    case WriteGroup::FreeText:
        return QStringLiteral("Check_info");
    case WriteGroup::Tariffs:
        return QStringLiteral("Check_tariffs");
    case WriteGroup::Initial:
        return QStringLiteral("Check_initial");
    }
    return {};
}

QString NamedControlReader::text(Field field) const {
    return controlText(fieldName(field));
}

bool NamedControlReader::isChecked(WriteGroup group) const {
    return isControlChecked(checkBoxName(group));
}

} // namespace corvane
