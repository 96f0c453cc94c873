#pragma once

#include "output.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace corvane::test {

// Keeps everything the core shows, so tests can compare it with the expected texts.
class RecordingOutput : public Output {
public:
    void log(const QString &line) override { logLines << line; }
    void traffic(const QString &line) override { trafficLines << line; }
    void setStatus(int panel, const QString &text) override { status[panel] = text; }
    void setText(const QString &control, const QString &text) override { texts[control] = text; }
    void setEnabled(const QString &control, bool enabled) override { enabled_[control] = enabled; }
    void setVisible(const QString &control, bool visible) override { visible_[control] = visible; }

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

private:
    QHash<QString, bool> enabled_;
    QHash<QString, bool> visible_;
};

// Control texts and check boxes as a test sets them.
class FakeControls : public ControlReader {
public:
    QString text(const QString &control) const override { return texts.value(control); }
    bool isChecked(const QString &control) const override { return checked.value(control); }

    QHash<QString, QString> texts;
    QHash<QString, bool> checked;
};

} // namespace corvane::test
