#include "autostart.h"
#include "corvane_version.h"
#include "desktop_services.h"
#include "error_display.h"
#include "main_window.h"
#include "manual_renderer.h"
#include "settings_file.h"
#include "sleeper.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QMessageBox>

#include <csignal>

int main(int argc, char *argv[]) {
    // A file grown to its size limit fails its write, which the window reports; the signal
    // would end the program without a word and lose the unsaved tables.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setApplicationVersion(QLatin1String(corvane::kVersion));
    // The window is laid out in fixed pixels; this size lets every caption fit.
    QFont font = QApplication::font();
    font.setPixelSize(11);
    QApplication::setFont(font);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/corvane/icons/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    QApplication::setDesktopFileName(QStringLiteral("corvane"));

    corvane::DesktopMessageBoxes boxes;
    corvane::DesktopFileDialogs dialogs;
    corvane::DesktopUrlOpener opener;
    corvane::AppServices services;
    services.boxes = &boxes;
    services.dialogs = &dialogs;
    services.opener = &opener;
    services.sleeper = &corvane::defaultSleeper();
    services.executablePath = QApplication::applicationFilePath();
    services.settingsPath = corvane::SettingsFile::defaultPath();
    services.autostartEntryPath = corvane::Autostart::defaultEntryPath();
    services.manualFolder = corvane::manualFolder(QApplication::applicationDirPath());

    corvane::TForm1 Form1(services);
    boxes.setParent(&Form1);
    dialogs.setParent(&Form1);
    corvane::setErrorSink([&Form1](const QString &message) {
        QMessageBox::critical(&Form1, QStringLiteral("Corvane"), message);
    });
    Form1.show();
    const int result = app.exec();
    corvane::setErrorSink({});
    return result;
}
