#include "service_key_filter.h"

#include "grid_key_filter.h"

namespace corvane {

QChar serviceDigitKeyPress(QChar key) {
    if ((key >= QLatin1Char('0') && key <= QLatin1Char('9')) || key == QChar(kKeyBackspace))
        return key;
    return QChar(kKeyRefused);
}

} // namespace corvane
