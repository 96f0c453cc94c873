#pragma once

#include "file_ui.h"

#include <QString>

class QWidget;

namespace corvane {

// The shell's "open" verb.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;
    virtual void open(const QString &path) = 0;
};

// The real dialogs and message boxes, owned by the window they belong to.
class DesktopMessageBoxes final : public MessageBoxes {
public:
    void setParent(QWidget *parent) { m_parent = parent; }
    void inform(const QString &caption, const QString &text) override;
    bool confirm(const QString &caption, const QString &text) override;

private:
    QWidget *m_parent = nullptr;
};

class DesktopFileDialogs final : public FileDialogs {
public:
    void setParent(QWidget *parent) { m_parent = parent; }
    QString saveFileName(const QString &filter, const QString &defaultSuffix) override;
    QString openFileName(const QString &filter) override;

private:
    QWidget *m_parent = nullptr;
    // The dialogs offer the name used last in the same run.
    QString m_lastPath;
};

class DesktopUrlOpener final : public DesktopOpener {
public:
    void open(const QString &path) override;
};

} // namespace corvane
