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

    bool isEnabled(const QString &control, bool fallback = true) const {
        return enabled_.value(control, fallback);
    }
    void clear() {
        logLines.clear();
        trafficLines.clear();
        status.clear();
        texts.clear();
        enabled_.clear();
    }

    QStringList logLines;
    QStringList trafficLines;
    QHash<int, QString> status;
    QHash<QString, QString> texts;

private:
    QHash<QString, bool> enabled_;
};

} // namespace corvane::test
