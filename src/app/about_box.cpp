#include "about_box.h"

#include "about_picture.h"
#include "corvane_version.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace corvane {

TForm3::TForm3(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Corvane -> About..."));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setModal(false);
    setFixedSize(313, 214);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(64, 8, 185, 41);
    Image1->setPixmap(QPixmap::fromImage(aboutPicture()));

    Label1 = new QLabel(QStringLiteral("Corvane v") + QLatin1String(kVersion), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont bold(QStringLiteral("Arial"), 10);
    bold.setBold(true);
    Label1->setFont(bold);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setGeometry(8, 56, 297, 20);

    const QStringList contact{
        QStringLiteral("The Corvane project"),
        QStringLiteral("Configuration tool for QTR-8D/6D/4D loggers"),
        QStringLiteral("Modbus RTU over RS-485"),
        QStringLiteral("Documentation: Help > User manual (UsrMan.pdf)"),
        QStringLiteral("Issues: the project's issue tracker"),
        QStringLiteral("Free to use for service and training"),
    };
    int top = 82;
    for (int i = 0; i < contact.size(); ++i) {
        auto *line = new QLabel(contact.at(i), this);
        line->setObjectName(QStringLiteral("Label%1").arg(i + 2));
        line->setAlignment(Qt::AlignCenter);
        line->setGeometry(8, top, 297, 15);
        top += 15;
    }

    BitBtn1 = new QPushButton(QStringLiteral("Close"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(96, 180, 121, 25);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::hide);
}

} // namespace corvane
