#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace corvane {

// The About box: the picture, the version and how to reach the project.
class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(QWidget *parent = nullptr);

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QPushButton *BitBtn1 = nullptr;
};

} // namespace corvane
