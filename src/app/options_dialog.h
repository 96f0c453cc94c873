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

    // The port names offered besides COM1..COM8: the serial devices present now.
    static QStringList presentSerialDevices();

    QComboBox *Combo_com_name = nullptr;
    QComboBox *Combo_com_speed = nullptr;
    QComboBox *Combo_com_parity = nullptr;
    QComboBox *Combo_com_databits = nullptr;
    QComboBox *Combo_com_sbits = nullptr;
    QCheckBox *Check_auto_open = nullptr;
    QCheckBox *Check_rts = nullptr;
    QLineEdit *Edit_dec_separator = nullptr;
    QLineEdit *Edit_response_time = nullptr;
    QSpinBox *UD_response_time = nullptr;
    QLineEdit *Edit_export = nullptr;
    QCheckBox *Check_autoload = nullptr;
    QCheckBox *Check_fast = nullptr;
    QCheckBox *Check_last = nullptr;
    QPushButton *BitBtn2 = nullptr;
    QPushButton *BitBtn1 = nullptr;

public Q_SLOTS:
    void LoadOptions();
    void BitBtn1Click();
    void BitBtn2Click();
    void Check_autoloadClick(bool checked);

protected:
    bool event(QEvent *event) override;

private:
    TForm1 &m_main;
    QString m_autostartEntryPath;
    QString m_executablePath;
};

} // namespace corvane
