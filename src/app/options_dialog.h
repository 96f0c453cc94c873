#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace corvane {

class TForm1;

// The Options dialog: shows the settings every time it becomes active, writes them back on
// Apply. "Start with Windows" acts the moment its box changes, independently of Apply.
class TForm2 : public QDialog {
    Q_OBJECT
public:
    TForm2(TForm1 &main, QString autostartEntryPath, QString executablePath,
           QWidget *parent = nullptr);

    // Where the port list looks for serial devices; tests point it at folders of their own.
    struct DeviceFolders {
        QString byId = QStringLiteral("/dev/serial/by-id");
        QString dev = QStringLiteral("/dev");
    };
    // A port offered besides COM1..COM8: the text shown and the name stored when it is chosen.
    struct PortItem {
        QString text;
        QString name;
    };
    // The serial devices present now: each by-id link with the device it leads to, as
    // "/dev/serial/by-id/usb-...-port0 (ttyUSB0)", then the ttyUSB and ttyACM devices. A link
    // that leads nowhere is left out.
    static QList<PortItem> presentSerialDevices(const DeviceFolders &folders);
    void setDeviceFolders(DeviceFolders folders) { m_folders = std::move(folders); }

    QComboBox *Combo_com_name = nullptr;
    QComboBox *Combo_com_speed = nullptr;
    QComboBox *Combo_com_parity = nullptr;
    QComboBox *Combo_com_databits = nullptr;
    QComboBox *Combo_com_sbits = nullptr;
    QCheckBox *Check_auto_open = nullptr;
    QCheckBox *Check_rts = nullptr;
    QCheckBox *Check_reopen = nullptr;
    QComboBox *Combo_direction = nullptr;
    QCheckBox *Check_echo = nullptr;
    QLineEdit *Edit_dec_separator = nullptr;
    QLineEdit *Edit_response_time = nullptr;
    QSpinBox *UD_response_time = nullptr;
    QLineEdit *Edit_export = nullptr;
    QCheckBox *Check_autoload = nullptr;
    QCheckBox *Check_fast = nullptr;
    QSpinBox *UD_retries = nullptr;
    QCheckBox *Check_last = nullptr;
    QCheckBox *Check_log_time = nullptr;
    QCheckBox *Check_log_sent = nullptr;
    QSpinBox *UD_log_lines = nullptr;
    QPushButton *BitBtn2 = nullptr;
    QPushButton *BitBtn1 = nullptr;

public Q_SLOTS:
    void LoadOptions();
    void BitBtn1Click();
    void BitBtn2Click();
    void Check_autoloadClick(bool checked);

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // The list as the devices stand now, the text in the box kept.
    void refreshPortList();
    // The port name the box stands for: a listed device's name rather than its item text.
    QString chosenPortName() const;

    DeviceFolders m_folders;
    TForm1 &m_main;
    QString m_autostartEntryPath;
    QString m_executablePath;
};

} // namespace corvane
