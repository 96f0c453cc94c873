#include "settings_file.h"

#include "atomic_file.h"
#include "regular_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <limits>
#include <optional>
#include <utility>

#include <unistd.h>

namespace corvane {
namespace {

constexpr qsizetype kMaxValueLength = 2047;
const QByteArray kUtf8Bom("\xEF\xBB\xBF");

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

bool isQuote(QChar c) {
    return c == u'"' || c == u'\'';
}

bool sameName(const QByteArray &raw, const QString &name) {
    return QString::fromUtf8(raw).compare(name, Qt::CaseInsensitive) == 0;
}

bool sectionHeader(const QByteArray &line, QByteArray *name) {
    const QByteArray text = line.trimmed();
    if (!text.startsWith('['))
        return false;
    const qsizetype close = text.indexOf(']');
    *name = text.mid(1, close < 0 ? -1 : close - 1).trimmed();
    return true;
}

// Whether the line is "key=value" inside a section, and its key.
bool keyLine(const QByteArray &line, QByteArray *key) {
    const QByteArray text = line.trimmed();
    if (text.isEmpty() || text.startsWith(';') || text.startsWith('['))
        return false;
    const qsizetype at = line.indexOf('=');
    if (at < 0)
        return false;
    *key = line.left(at).trimmed();
    return !key->isEmpty();
}

bool holdsEntry(const QByteArray &line) {
    const QByteArray text = line.trimmed();
    return !text.isEmpty() && !text.startsWith(';');
}

QString decodeValue(const QByteArray &raw) {
    QString value = QString::fromUtf8(raw.trimmed());
    if (value.size() >= 2 && isQuote(value.front()) && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    if (value.size() > kMaxValueLength) {
        value.truncate(kMaxValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

QByteArray encodeValue(QString value) {
    value.replace(QLatin1String("\r\n"), QLatin1String(" "));
    value.replace(u'\r', u' ');
    value.replace(u'\n', u' ');
    QByteArray bytes = value.toUtf8();
    const bool blankEdge = !bytes.isEmpty() && (isBlank(bytes.front()) || isBlank(bytes.back()));
    const bool quoted =
        value.size() >= 2 && isQuote(value.front()) && value.back() == value.front();
    if (blankEdge || quoted)
        bytes = '"' + bytes + '"';
    return bytes;
}

int digitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    int digit = -1;
    if (u >= u'0' && u <= u'9')
        digit = u - u'0';
    else if (u >= u'a' && u <= u'f')
        digit = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        digit = u - u'A' + 10;
    return digit < base ? digit : -1;
}

} // namespace

// The file as lines of bytes, so that every line a write does not touch goes back byte for
// byte, whatever its encoding and line ending.
class IniDocument {
public:
    // False when the file exists but cannot be read, or is not a regular file: a FIFO would
    // hang the start-up, and a write must not replace a device with a file.
    bool load(const QString &path) {
        if (!QFile::exists(path))
            return true;
        QFile file;
        if (openRegularFile(file, path) != RegularFileOpen::Opened)
            return false;
        QByteArray content = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return false;
        if (content.startsWith(kUtf8Bom)) {
            m_bom = true;
            content.remove(0, kUtf8Bom.size());
        }
        m_lines = content.split('\n');
        m_terminated = m_lines.back().isEmpty();
        if (m_terminated)
            m_lines.removeLast();
        m_crlf = !m_lines.isEmpty() && m_lines.front().endsWith('\r');
        return true;
    }

    std::optional<QString> value(const QString &section, const QString &key) const {
        const qsizetype header = findSection(section);
        if (header < 0)
            return std::nullopt;
        const qsizetype line = findKey(header, key);
        if (line < 0)
            return std::nullopt;
        const qsizetype equals = m_lines[line].indexOf('=');
        return decodeValue(m_lines[line].mid(equals + 1));
    }

    void setValue(const QString &section, const QString &key, const QString &value) {
        const QByteArray encoded = encodeValue(value);
        const qsizetype header = findSection(section);
        if (header < 0) {
            terminateLastLine();
            m_lines.append(withEnding('[' + section.toUtf8() + ']'));
            m_lines.append(withEnding(key.toUtf8() + '=' + encoded));
            return;
        }
        const qsizetype existing = findKey(header, key);
        if (existing >= 0) {
            replaceValue(m_lines[existing], encoded);
            return;
        }
        qsizetype last = header;
        const qsizetype end = sectionEnd(header);
        for (qsizetype i = header + 1; i < end; ++i) {
            if (holdsEntry(m_lines[i]))
                last = i;
        }
        if (last == m_lines.size() - 1)
            terminateLastLine();
        m_lines.insert(last + 1, withEnding(key.toUtf8() + '=' + encoded));
    }

    QByteArray bytes() const {
        QByteArray out = m_bom ? kUtf8Bom : QByteArray();
        if (m_lines.isEmpty())
            return out;
        out += m_lines.join('\n');
        if (m_terminated)
            out += '\n';
        return out;
    }

private:
    qsizetype findSection(const QString &section) const {
        QByteArray name;
        for (qsizetype i = 0; i < m_lines.size(); ++i) {
            if (sectionHeader(m_lines[i], &name) && sameName(name, section))
                return i;
        }
        return -1;
    }

    qsizetype sectionEnd(qsizetype header) const {
        QByteArray name;
        for (qsizetype i = header + 1; i < m_lines.size(); ++i) {
            if (sectionHeader(m_lines[i], &name))
                return i;
        }
        return m_lines.size();
    }

    qsizetype findKey(qsizetype header, const QString &key) const {
        QByteArray name;
        const qsizetype end = sectionEnd(header);
        for (qsizetype i = header + 1; i < end; ++i) {
            if (keyLine(m_lines[i], &name) && sameName(name, key))
                return i;
        }
        return -1;
    }

    // Keeps the key as the file spells it, the blanks around '=' and the line ending.
    static void replaceValue(QByteArray &line, const QByteArray &encoded) {
        const bool cr = line.endsWith('\r');
        const qsizetype end = line.size() - (cr ? 1 : 0);
        const qsizetype equals = line.indexOf('=');
        qsizetype start = equals + 1;
        while (start < end && isBlank(line[start]))
            ++start;
        if (start == end)
            start = equals + 1;
        line = line.left(start) + encoded + (cr ? "\r" : "");
    }

    QByteArray withEnding(QByteArray line) const { return m_crlf ? line + '\r' : line; }

    void terminateLastLine() {
        if (m_terminated || m_lines.isEmpty()) {
            m_terminated = true;
            return;
        }
        if (m_crlf && !m_lines.back().endsWith('\r'))
            m_lines.back() += '\r';
        m_terminated = true;
    }

    QList<QByteArray> m_lines;
    bool m_terminated = true;
    bool m_crlf = false;
    bool m_bom = false;
};

SettingsWriteError::SettingsWriteError(const QString &path, const QString &section,
                                       const QString &key)
    : m_path(path), m_section(section), m_key(key),
      m_message(QStringLiteral("Unable to write to %1").arg(path).toUtf8()) {}

SettingsFile::SettingsFile(QString path) : m_path(std::move(path)) {}

QString SettingsFile::pathForExecutable(const QString &executablePath) {
    const QString suffix = QFileInfo(executablePath).suffix();
    if (suffix.isEmpty())
        return executablePath + QStringLiteral(".ini");
    return executablePath.left(executablePath.size() - suffix.size()) + QStringLiteral("ini");
}

QString configHome() {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        return QDir::homePath() + QStringLiteral("/.config");
    return config;
}

QString SettingsFile::locate(const QString &executablePath,
                             const std::function<bool(const QString &folder)> &folderWritable) {
    if (folderWritable(QFileInfo(executablePath).absolutePath()))
        return pathForExecutable(executablePath);
    return configHome() + QStringLiteral("/corvane/corvane.ini");
}

bool SettingsFile::folderWritable(const QString &folder) {
    const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
    if (clean == QLatin1String("/usr") || clean.startsWith(QLatin1String("/usr/")))
        return false;
    return ::access(QFile::encodeName(clean).constData(), W_OK | X_OK) == 0;
}

QString SettingsFile::defaultPath() {
    return locate(QCoreApplication::applicationFilePath(), &SettingsFile::folderWritable);
}

QString SettingsFile::readString(const QString &section, const QString &key,
                                 const QString &defaultValue) const {
    return SettingsSnapshot(m_path).readString(section, key, defaultValue);
}

int SettingsFile::readInt(const QString &section, const QString &key, int defaultValue) const {
    return SettingsSnapshot(m_path).readInt(section, key, defaultValue);
}

bool SettingsFile::readBool(const QString &section, const QString &key, bool defaultValue) const {
    return SettingsSnapshot(m_path).readBool(section, key, defaultValue);
}

SettingsSnapshot::SettingsSnapshot(const QString &path) {
    auto document = std::make_unique<IniDocument>();
    if (document->load(path))
        m_document = std::move(document);
}

SettingsSnapshot::~SettingsSnapshot() = default;

QString SettingsSnapshot::readString(const QString &section, const QString &key,
                                     const QString &defaultValue) const {
    return value(section, key).value_or(defaultValue);
}

int SettingsSnapshot::readInt(const QString &section, const QString &key, int defaultValue) const {
    const std::optional<QString> text = value(section, key);
    return text ? SettingsFile::toInt(*text, defaultValue) : defaultValue;
}

bool SettingsSnapshot::readBool(const QString &section, const QString &key,
                                bool defaultValue) const {
    return readInt(section, key, defaultValue ? 1 : 0) != 0;
}

std::optional<QString> SettingsSnapshot::value(const QString &section, const QString &key) const {
    if (!m_document)
        return std::nullopt;
    return m_document->value(section, key);
}

void SettingsFile::writeString(const QString &section, const QString &key, const QString &value) {
    IniDocument document;
    // An existing file that cannot be read must not be replaced by one holding a single key.
    if (!document.load(m_path))
        throw SettingsWriteError(m_path, section, key);
    document.setValue(section, key, value);
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()) || !replaceFile(m_path, document.bytes()))
        throw SettingsWriteError(m_path, section, key);
}

void SettingsFile::writeInt(const QString &section, const QString &key, int value) {
    writeString(section, key, QString::number(value));
}

void SettingsFile::writeBool(const QString &section, const QString &key, bool value) {
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

int SettingsFile::toInt(const QString &value, int defaultValue) {
    const QString text = value.trimmed();
    const qsizetype size = text.size();
    qsizetype i = 0;
    bool negative = false;
    if (i < size && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i + 2 < size && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
        digitValue(text[i + 2], 16) >= 0) {
        base = 16;
        i += 2;
    }
    constexpr qint64 kLimit = qint64(std::numeric_limits<int>::max()) + 1;
    qint64 magnitude = 0;
    qsizetype digits = 0;
    for (; i < size; ++i) {
        const int digit = digitValue(text[i], base);
        if (digit < 0)
            break;
        magnitude = magnitude * base + digit;
        if (magnitude > kLimit)
            return defaultValue;
        ++digits;
    }
    if (digits == 0 || (!negative && magnitude == kLimit))
        return defaultValue;
    return int(negative ? -magnitude : magnitude);
}

} // namespace corvane
