#pragma once

#include <QChar>

namespace corvane {

// The key filters of the service page's number entries (Edit_id, Edit1, Edit_address): digits
// and backspace pass, anything else comes back as Escape (27), which the edit box drops. A
// pasted text is not filtered, which is why the commands still validate what they read.
QChar serviceDigitKeyPress(QChar key);

inline QChar Edit_idKeyPress(QChar key) {
    return serviceDigitKeyPress(key);
}
inline QChar Edit1KeyPress(QChar key) {
    return serviceDigitKeyPress(key);
}
inline QChar Edit_addressKeyPress(QChar key) {
    return serviceDigitKeyPress(key);
}

} // namespace corvane
