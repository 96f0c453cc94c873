// The settings-file reader and writer. The input's first line names what to write,
// "section|key|value"; the rest is the file. The value must read back, and the write must leave
// every other line byte for byte.
#include "fuzz_check.h"
#include "scratch_folder.h"
#include "settings_file.h"

#include <QFile>

#include <algorithm>
#include <cstring>

using namespace corvane;

namespace {

QString filePath() {
    static const QString path = fuzz::scratchPath(QStringLiteral("corvane.ini"));
    return path;
}

QByteArray fileBytes() {
    QFile file(filePath());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

// Names as the program's own: valid UTF-8 that does not vanish when decoded (a lone byte-order
// mark does), no blanks at the edges, no line break, and nothing that would end a section name
// or start a comment; anything else is replaced by a fixed name.
QString usableName(const QByteArray &raw, const char *forbidden, const char *fallback) {
    const QString name = QString::fromUtf8(raw);
    const bool usable = !name.isEmpty() && name.toUtf8() == raw && raw.trimmed() == raw &&
                        std::none_of(raw.begin(), raw.end(), [forbidden](char c) {
                            return c == '\r' || c == '\n' || std::strchr(forbidden, c);
                        });
    return usable ? name : QString::fromLatin1(fallback);
}

// What a value reads back as: line breaks become blanks, and the reader's length cap applies.
QString readBack(QString value) {
    value.replace(QLatin1String("\r\n"), QLatin1String(" "));
    value.replace(u'\r', u' ');
    value.replace(u'\n', u' ');
    if (value.size() > 2047) {
        value.truncate(2047);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

// Between the common start and the common end, the old file holds at most part of one line:
// the line of the key. A new line or section only adds bytes.
void oneLineChanged(const QByteArray &before, const QByteArray &after) {
    const qsizetype shorter = std::min(before.size(), after.size());
    qsizetype prefix = 0;
    while (prefix < shorter && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < shorter - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    FUZZ_CHECK(!before.mid(prefix, before.size() - prefix - suffix).contains('\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArray request = newline < 0 ? input : input.left(newline);
    const QByteArray before = newline < 0 ? QByteArray() : input.mid(newline + 1);
    const QList<QByteArray> parts = request.split('|');
    const QString section = usableName(parts.value(0), "]", "Misc");
    const QString key = usableName(parts.value(1), "=;[", "Key");
    const QString value = QString::fromUtf8(parts.mid(2).join('|'));

    {
        QFile file(filePath());
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(before) == before.size());
    }
    SettingsFile settings(filePath());
    // The integer reading of whatever the key held; only a crash would tell here.
    (void)settings.readBool(section, key, false);

    try {
        settings.writeString(section, key, value);
    } catch (const SettingsWriteError &) {
        FUZZ_CHECK(!"a regular file in a writable folder was not written");
    }
    const QByteArray after = fileBytes();
    FUZZ_CHECK(settings.readString(section, key) == readBack(value));

    oneLineChanged(before, after);

    // Writing what the key holds touches at most its line again (blanks after an '=' with an
    // empty value may go) and then nothing at all.
    settings.writeString(section, key, value);
    const QByteArray again = fileBytes();
    oneLineChanged(after, again);
    settings.writeString(section, key, value);
    FUZZ_CHECK(fileBytes() == again);
    FUZZ_CHECK(settings.readString(section, key) == readBack(value));
    return 0;
}
