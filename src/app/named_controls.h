#pragma once

#include "device_view.h"

#include <QString>

namespace corvane {

// The one place that knows which control of the main window shows what the core reports, and
// with which caption. A window (or a test's recorder) supplies the three primitives on object
// names; everything the core says arrives here typed.
class NamedControlsView : public DeviceView {
public:
    void showModel(const QString &deviceType) override;
    void showIdentification(const QString &text) override;
    void showClock(const QString &time, const QString &date) override;
    void showBattery(const QString &level) override;
    void showInputStatus(int bits) override;
    void showMenuCode(const QString &code) override;
    void showPulseLength(const QString &length) override;
    void showLanguage(const QString &language) override;
    void showLockState(bool locked) override;
    void showInfoAddress(int address) override;
    void enableModelPages() override;
    void setCommandEnabled(Command command, bool enabled) override;
    void showPasswordRefused() override;
    void showServicePageOpen() override;

    // The object name of a command's button.
    static QString buttonName(Command command);

protected:
    virtual void setControlText(const QString &control, const QString &text) = 0;
    virtual void setControlEnabled(const QString &control, bool enabled) = 0;
    virtual void setControlVisible(const QString &control, bool visible) = 0;
};

// The other direction: which control holds each entry the core asks for.
class NamedControlReader : public ControlReader {
public:
    QString text(Field field) const override;
    bool isChecked(WriteGroup group) const override;

    static QString fieldName(Field field);
    static QString checkBoxName(WriteGroup group);

protected:
    virtual QString controlText(const QString &control) const = 0;
    virtual bool isControlChecked(const QString &control) const = 0;
};

} // namespace corvane
