#include "shown_text.h"

namespace corvane {

QString shownText(const QString &text) {
    constexpr qsizetype kLongest = 64;
    QString shown;
    qsizetype characters = 0;
    for (const QChar c : text) {
        if (characters == kLongest) {
            shown += QChar(0x2026);
            break;
        }
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
            shown += QString::asprintf("\\x%02X", unsigned(code));
        else
            shown += c;
        ++characters;
    }
    return shown;
}

} // namespace corvane
