#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace corvane {

// Raised when the autostart entry cannot be written: "Failed to set data for 'Corvane'".
class AutostartError : public std::exception {
public:
    AutostartError();
    const char *what() const noexcept override { return m_message.constData(); }

private:
    QByteArray m_message;
};

// "Start with Windows" on a Linux desktop: an XDG autostart entry named Corvane that starts
// the executable when the user logs in. On Windows the entry is the value Corvane of the user's
// Run key (entryPath() is then the key, "HKEY_CURRENT_USER\...\Run"), holding the quoted
// executable.
class Autostart {
public:
    static inline const QString kName = QStringLiteral("Corvane");

    Autostart(QString entryPath, QString executablePath);

    // $XDG_CONFIG_HOME/autostart/Corvane.desktop, or ~/.config/autostart/Corvane.desktop when
    // the variable is unset or not an absolute path (such a value is invalid and ignored).
    static QString defaultEntryPath();
    // The running program's entry at defaultEntryPath().
    static Autostart forThisProgram();

    QString entryPath() const { return m_entryPath; }
    QString executablePath() const { return m_executablePath; }

    // Writes the entry (creating its folder) atomically; throws AutostartError on failure.
    void enable() const;
    // Removes the entry. A missing entry, or one that cannot be removed, is not reported:
    // the result only says whether the entry is gone.
    bool disable() const;
    bool isEnabled() const;

    // The text of the desktop entry.
    QByteArray entryText() const;

    // The executable as one argument of an Exec line: quoted and escaped when it holds a
    // character that the desktop entry format reserves, '%' doubled, then escaped as a string
    // value so that backslashes and line breaks survive.
    static QString execArgument(const QString &executablePath);

private:
    QString m_entryPath;
    QString m_executablePath;
};

} // namespace corvane
