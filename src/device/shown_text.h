#pragma once

#include <QString>

namespace corvane {

// Text the operator typed, fit to be quoted in a message of one line: control characters as
// \xNN (a line end or an escape sequence would split or garble the line), and more than 64
// characters cut there with "…".
QString shownText(const QString &text);

} // namespace corvane
