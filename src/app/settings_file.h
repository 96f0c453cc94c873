#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace corvane {

// The user's configuration folder: $XDG_CONFIG_HOME, or ~/.config when the variable is unset or
// not an absolute path (such a value is invalid and ignored).
QString configHome();

// Raised when the settings file cannot be written. what() is the text the operator sees,
// "Unable to write to " followed by the file's path; section() and key() name the entry whose
// write failed.
class SettingsWriteError : public std::exception {
public:
    SettingsWriteError(const QString &path, const QString &section, const QString &key);
    const char *what() const noexcept override { return m_message.constData(); }
    QString path() const { return m_path; }
    QString section() const { return m_section; }
    QString key() const { return m_key; }

private:
    QString m_path;
    QString m_section;
    QString m_key;
    QByteArray m_message;
};

// The settings file, beside the executable or in the user's configuration folder, read and
// written with the semantics of the Windows
// profile-file functions so that a file carried over from a Windows installation reads the same:
//
// - Section and key names match case-insensitively; new ones are written as given. The first
//   section and the first key of a name win. Lines before the first section and lines starting
//   with ';' are never entries.
// - Names and values are trimmed of blanks. A value enclosed in a pair of matching double or
//   single quotes loses them when read, so "a b" reads as a b. Values are cut to 2047
//   characters when read.
// - Integers are decimal or, after 0x / 0X, hexadecimal, with an optional sign. As with
//   GetPrivateProfileInt the leading digits are taken and the rest ignored ("12abc" reads 12);
//   a value without a leading digit, an empty value and one outside the range of int give the
//   default. Booleans are integers where anything but 0 is true.
// - A missing or unreadable file or key gives the default. So does a path that is not a
//   regular file (a FIFO, a device, a folder), which is never read and never replaced.
//
// Every write reads the file, changes the one line of the key (or inserts it at the end of its
// section, or appends the section at the end of the file) and replaces the file atomically.
// All other bytes stay as they were: other sections and keys, comments, blank lines, their
// order and their line endings. New lines take the file's line ending (LF for a new file).
// The file is UTF-8; bytes of another encoding in untouched lines survive a write unchanged.
//
// Two deliberate departures from the Windows writer, so that what is written reads back the
// same: a value with leading or trailing blanks, or one that is itself enclosed in matching
// quotes, is written inside double quotes; line breaks in a value are written as blanks, since
// a raw one would cut the value and plant the rest in the file as a line of its own.
class SettingsFile {
public:
    explicit SettingsFile(QString path);

    // The executable's path with its extension replaced by ".ini" (added when it has none):
    // /opt/corvane/corvane gives /opt/corvane/corvane.ini.
    static QString pathForExecutable(const QString &executablePath);
    // Where the program keeps its settings: pathForExecutable() when folderWritable says the
    // executable's folder can be written, which keeps a portable copy's settings with it;
    // otherwise, as for an installed program, configHome()/corvane/corvane.ini.
    static QString locate(const QString &executablePath,
                          const std::function<bool(const QString &folder)> &folderWritable);
    // Whether the user may create files in the folder. A folder under /usr never is: that is
    // where the system's programs are installed, and root's settings do not belong there.
    static bool folderWritable(const QString &folder);
    // locate() of the running program.
    static QString defaultPath();

    QString path() const { return m_path; }

    QString readString(const QString &section, const QString &key,
                       const QString &defaultValue = QString()) const;
    int readInt(const QString &section, const QString &key, int defaultValue) const;
    bool readBool(const QString &section, const QString &key, bool defaultValue) const;

    // Each creates the file's folder when it is missing, and throws SettingsWriteError and
    // leaves the file untouched when it cannot be written.
    void writeString(const QString &section, const QString &key, const QString &value);
    void writeInt(const QString &section, const QString &key, int value);
    void writeBool(const QString &section, const QString &key, bool value);

    // The conversion readInt applies to a value read from the file.
    static int toInt(const QString &value, int defaultValue);

private:
    QString m_path;
};

class IniDocument;

// The settings file read once, as it stands at construction: for reading many keys at one
// moment, as at start-up, without opening the file again for every key. Reads exactly as
// SettingsFile's read functions do, which read the file afresh each time.
class SettingsSnapshot {
public:
    explicit SettingsSnapshot(const QString &path);
    ~SettingsSnapshot();
    SettingsSnapshot(const SettingsSnapshot &) = delete;
    SettingsSnapshot &operator=(const SettingsSnapshot &) = delete;

    QString readString(const QString &section, const QString &key,
                       const QString &defaultValue = QString()) const;
    int readInt(const QString &section, const QString &key, int defaultValue) const;
    bool readBool(const QString &section, const QString &key, bool defaultValue) const;

private:
    std::optional<QString> value(const QString &section, const QString &key) const;

    // Empty when the file exists but cannot be read, or is not a regular file: every key then
    // gives its default.
    std::unique_ptr<const IniDocument> m_document;
};

} // namespace corvane
