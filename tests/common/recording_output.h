#pragma once

#include "named_controls.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace corvane::test {

// Keeps everything the core shows, under the window's object names, so tests can compare it
// with the expected texts.
class RecordingOutput : public NamedControlsView {
public:
    void log(const QString &line) override { logLines << line; }
    void traffic(const QString &line) override { trafficLines << line; }
    void setStatus(int panel, const QString &text) override { status[panel] = text; }

    bool isEnabled(const QString &control, bool fallback = true) const {
        return enabled_.value(control, fallback);
    }
    bool isVisible(const QString &control, bool fallback = true) const {
        return visible_.value(control, fallback);
    }
    void clear() {
        logLines.clear();
        trafficLines.clear();
        status.clear();
        texts.clear();
        enabled_.clear();
        visible_.clear();
    }

    QStringList logLines;
    QStringList trafficLines;
    QHash<int, QString> status;
    QHash<QString, QString> texts;

protected:
    void setControlText(const QString &control, const QString &text) override {
        texts[control] = text;
    }
    void setControlEnabled(const QString &control, bool enabled) override {
        enabled_[control] = enabled;
    }
    void setControlVisible(const QString &control, bool visible) override {
        visible_[control] = visible;
    }

private:
    QHash<QString, bool> enabled_;
    QHash<QString, bool> visible_;
};

// Control texts and check boxes as a test sets them, by the window's object names.
class FakeControls : public NamedControlReader {
public:
    QHash<QString, QString> texts;
    QHash<QString, bool> checked;

protected:
    QString controlText(const QString &control) const override { return texts.value(control); }
    bool isControlChecked(const QString &control) const override { return checked.value(control); }
};

} // namespace corvane::test
