#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace corvane {

// "1,7,20-25": each address 1..250 once, in the order given. Nothing, with the problem in
// error, for anything else. Blanks around the parts are allowed.
std::optional<QList<int>> parseAddressList(const QString &text, QString *error);

} // namespace corvane
