// Renders the main window's three pages, the Options dialog and the About box to PNG files,
// without a display, then the monitor's group after a minute of watching two simulated loggers
// (its clock running 30 times faster): QT_QPA_PLATFORM=offscreen corvane-screenshot OUTPUT_FOLDER
#include "about_box.h"
#include "clock_source.h"
#include "desktop_services.h"
#include "logger_simulator.h"
#include "main_window.h"
#include "options_dialog.h"
#include "sleeper.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
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

// The desktop replaced by nothing, the settings in a scratch folder.
struct Desktop {
    explicit Desktop(const QString &folder) {
        services.boxes = &boxes;
        services.dialogs = &dialogs;
        services.opener = &opener;
        services.sleeper = &corvane::defaultSleeper();
        services.settingsPath = folder + QStringLiteral("/corvane.ini");
        services.autostartEntryPath = folder + QStringLiteral("/Corvane.desktop");
        services.manualFolder = folder;
    }
    NoBoxes boxes;
    NoDialogs dialogs;
    NoOpener opener;
    corvane::AppServices services;
};

bool save(QWidget *widget, const QString &path) {
    const bool ok = widget->grab().save(path);
    QTextStream(stdout) << (ok ? "wrote " : "could not write ") << path << '\n';
    return ok;
}

// Flows that change as a meter's would, so that the chart shows something to read.
bool saveMonitor(const QString &out) {
    corvane::LoggerSimulator sim;
    sim.setClockSource(std::make_shared<corvane::SystemClockSource>(30.0));
    // Two loggers and an address where none answers, as the table shows a line of them.
    sim.addSlave(1, corvane::Model::Qtr8d);
    sim.addSlave(3, corvane::Model::Qtr4d);
    const double rates[] = {2.0, 1.2, 0.6, 3.1, 0.0, 1.8, 2.4, 0.9};
    for (int input = 1; input <= 8; ++input) {
        sim.setPulseRate(1, input, rates[input - 1]);
        if (input <= 4)
            sim.setPulseRate(3, input, rates[8 - input]);
    }
    if (!sim.start({}))
        return false;
    QTemporaryDir scratch;
    Desktop desktop(scratch.path());
    QFile file(desktop.services.settingsPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QStringLiteral("[Com port]\nName=%1\nSpeed=9600\nParity=None\nAutoOpen=1\n"
                              "[Misc]\nFastReplies=1\n")
                   .arg(sim.slavePath())
                   .toUtf8());
    file.close();
    corvane::TForm1 window(desktop.services);
    window.show();
    window.ui.PageControl1->setCurrentIndex(3);
    QElapsedTimer clock;
    clock.start();
    while (!window.portOpen() && clock.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    window.ui.Spin_monitor_interval->setValue(1);
    window.ui.Edit_monitor_addresses->setText(QStringLiteral("1-3"));
    window.ui.Combo_monitor_quantity->setCurrentIndex(1);
    window.ui.BitBtn_monitor_start->click();
    clock.restart();
    while (clock.elapsed() < 40000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    window.ui.Combo_monitor_quantity->setCurrentIndex(2);
    QApplication::processEvents();
    const bool ok =
        save(window.ui.GroupBox_monitor, QDir(out).filePath(QStringLiteral("monitor.png")));
    window.ui.BitBtn_monitor_stop->click();
    QApplication::processEvents();
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
    Desktop desktop(scratch.path());
    corvane::AppServices &services = desktop.services;

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
    window.Form3->hide();
    window.Form2->hide();
    return (saveMonitor(out) && ok) ? 0 : 1;
}
