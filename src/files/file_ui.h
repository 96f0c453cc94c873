#pragma once

#include <QString>

namespace corvane {

// The file dialogs of the window. Filters are in Qt's syntax, e.g. "DAT files (*.dat)". An
// empty path means the operator cancelled.
class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // Neither asks before overwriting; the default suffix is added to a name typed without one.
    virtual QString saveFileName(const QString &filter, const QString &defaultSuffix) = 0;
    // Does not insist that the file exists.
    virtual QString openFileName(const QString &filter) = 0;
};

// Modal message boxes of the window.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual void inform(const QString &caption, const QString &text) = 0;
    // A warning with Yes and No; true for Yes.
    virtual bool confirm(const QString &caption, const QString &text) = 0;
};

} // namespace corvane
