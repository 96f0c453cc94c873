#pragma once

// The main window offscreen, with every desktop service replaced by a recorder and its settings
// and autostart entry in a scratch folder.

#include "desktop_services.h"
#include "error_display.h"
#include "main_window.h"
#include "sleeper.h"

#include <QDateTime>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace corvane::test {

class RecordingBoxes : public MessageBoxes {
public:
    void inform(const QString &caption, const QString &text) override {
        informed << caption + QStringLiteral(": ") + text;
    }
    bool confirm(const QString &caption, const QString &text) override {
        confirmed << caption + QStringLiteral(": ") + text;
        return answer;
    }
    QStringList informed;
    QStringList confirmed;
    bool answer = false;
};

class ScriptedDialogs : public FileDialogs {
public:
    QString saveFileName(const QString &, const QString &defaultSuffix) override {
        asked << QStringLiteral("save ") + defaultSuffix;
        return savePath;
    }
    QString openFileName(const QString &) override {
        asked << QStringLiteral("open");
        return openPath;
    }
    QString savePath;
    QString openPath;
    // "open", or "save" and the suffix offered, for every dialog asked for.
    QStringList asked;
};

class RecordingOpener : public DesktopOpener {
public:
    void open(const QString &path, Failure failed) override {
        opened << path;
        if (forward)
            forward->open(path, std::move(failed));
    }
    QStringList opened;
    // The real opener behind the recorder, when a test wants the desktop's answer.
    DesktopOpener *forward = nullptr;
};

// Sleeps no time: the tests drive the port with pseudo-terminals that need no pauses.
class NoSleep : public Sleeper {
public:
    void sleep(std::chrono::microseconds) override {}
};

struct WindowFixture {
    // makeSettings, when given, makes the settings file itself (a FIFO, say) before the window
    // reads it.
    explicit WindowFixture(const QByteArray &ini = QByteArray(),
                           const std::function<void(const QString &)> &makeSettings = {}) {
        settingsPath = dir.filePath(QStringLiteral("corvane.ini"));
        if (makeSettings)
            makeSettings(settingsPath);
        if (!ini.isNull()) {
            QFile file(settingsPath);
            if (file.open(QIODevice::WriteOnly))
                file.write(ini);
        }
        previousSink = setErrorSink([this](const QString &m) { errors << m; });
        services.boxes = &boxes;
        services.dialogs = &dialogs;
        services.opener = &opener;
        services.sleeper = &sleeper;
        services.settingsPath = settingsPath;
        services.autostartEntryPath = dir.filePath(QStringLiteral("autostart/Corvane.desktop"));
        services.executablePath = dir.filePath(QStringLiteral("corvane"));
        services.manualFolder = dir.path();
        services.locale = QLocale(QLocale::English, QLocale::UnitedStates);
        services.now = [this] {
            return fixedNow.isValid() ? fixedNow : QDateTime::currentDateTime();
        };
        window = std::make_unique<TForm1>(services);
    }
    ~WindowFixture() {
        window.reset();
        setErrorSink(previousSink);
    }

    QString status(int panel) const { return window->ui.statusPanels[panel]->text(); }
    QStringList logLines() const {
        window->flushLogs();
        return window->ui.Memo_log->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    QString settingsPath;
    RecordingBoxes boxes;
    ScriptedDialogs dialogs;
    RecordingOpener opener;
    NoSleep sleeper;
    QStringList errors;
    // The window's clock when set.
    QDateTime fixedNow;
    ErrorSink previousSink;
    AppServices services;
    std::unique_ptr<TForm1> window;
};

} // namespace corvane::test
