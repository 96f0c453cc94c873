// Renders the main window's three pages, the Options dialog and the About box to PNG files,
// without a display: QT_QPA_PLATFORM=offscreen corvane-screenshot OUTPUT_FOLDER
#include "about_box.h"
#include "desktop_services.h"
#include "main_window.h"
#include "options_dialog.h"
#include "sleeper.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

class NoBoxes : public corvane::MessageBoxes {
public:
    void inform(const QString &, const QString &) override {}
    bool confirm(const QString &, const QString &) override { return false; }
};

class NoDialogs : public corvane::FileDialogs {
public:
    QString saveFileName(const QString &, const QString &) override { return {}; }
    QString openFileName(const QString &) override { return {}; }
};

class NoOpener : public corvane::DesktopOpener {
public:
    void open(const QString &, Failure) override {}
};

bool save(QWidget *widget, const QString &path) {
    const bool ok = widget->grab().save(path);
    QTextStream(stdout) << (ok ? "wrote " : "could not write ") << path << '\n';
    return ok;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QFont font = QApplication::font();
    font.setPixelSize(11);
    QApplication::setFont(font);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    QTemporaryDir scratch;

    NoBoxes boxes;
    NoDialogs dialogs;
    NoOpener opener;
    corvane::AppServices services;
    services.boxes = &boxes;
    services.dialogs = &dialogs;
    services.opener = &opener;
    services.sleeper = &corvane::defaultSleeper();
    services.settingsPath = scratch.filePath(QStringLiteral("corvane.ini"));
    services.autostartEntryPath = scratch.filePath(QStringLiteral("Corvane.desktop"));
    services.manualFolder = scratch.path();

    corvane::TForm1 window(services);
    window.show();
    const char *pages[] = {"main-parameters.png", "main-read-only.png", "main-service.png"};
    bool ok = true;
    for (int page = 0; page < 3; ++page) {
        window.ui.PageControl1->setCurrentIndex(page);
        QApplication::processEvents();
        ok = save(&window, QDir(out).filePath(QString::fromLatin1(pages[page]))) && ok;
    }
    window.Form2->show();
    window.Form2->LoadOptions();
    QApplication::processEvents();
    ok = save(window.Form2, QDir(out).filePath(QStringLiteral("options.png"))) && ok;
    window.Form3->show();
    QApplication::processEvents();
    ok = save(window.Form3, QDir(out).filePath(QStringLiteral("about.png"))) && ok;
    return ok ? 0 : 1;
}
