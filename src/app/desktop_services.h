#pragma once

#include "file_ui.h"

#include <QObject>
#include <QString>

#include <functional>

class QWidget;

namespace corvane {

// The shell's "open" verb. When the desktop cannot open the file, failed is called, possibly
// later, with a sentence for the operator that names the file.
class DesktopOpener {
public:
    using Failure = std::function<void(const QString &problem)>;
    virtual ~DesktopOpener() = default;
    virtual void open(const QString &path, Failure failed) = 0;
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

// Hands the file to xdg-open and listens for its verdict, so that a desktop without a program
// for the file is told instead of failing silently. The process is not waited for: a viewer
// that xdg-open starts in the foreground keeps it running as long as the viewer is open.
class DesktopUrlOpener final : public QObject, public DesktopOpener {
public:
    // An xdg-open still running is stopped without a word: the window it would report to may
    // be gone.
    ~DesktopUrlOpener() override;
    void open(const QString &path, Failure failed) override;
};

} // namespace corvane
