#include "file_nodes.h"
#include "file_size_limit.h"
#include "settings.h"
#include "settings_file.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>
#include <sys/resource.h>

using namespace corvane;

namespace {

void writeBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using corvane::test::FileSizeLimit;

const QString kComPort = QStringLiteral("Com port");
const QString kMisc = QStringLiteral("Misc");

QVariant field(const Settings &s, const QString &name) {
    if (name == QLatin1String("ComName"))
        return s.ComName;
    if (name == QLatin1String("OpenAtStart"))
        return s.OpenAtStart;
    if (name == QLatin1String("DecSeparator"))
        return s.DecSeparator;
    if (name == QLatin1String("FastReplies"))
        return s.FastReplies;
    if (name == QLatin1String("LineDirection"))
        return s.LineDirection;
    if (name == QLatin1String("Retries"))
        return s.Retries;
    return s.ResponseTime;
}

} // namespace

class TstSettingsFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { m_ini = m_dir.filePath(QStringLiteral("corvane.ini")); }
    void cleanup() { QFile::remove(m_ini); }

    void defaultsWithoutFile();
    void read_data();
    void read();
    void writeKeepsRestOfFile_data();
    void writeKeepsRestOfFile();
    void writtenValueReadsBack_data();
    void writtenValueReadsBack();
    void writeSettingsIntoNewFile();
    void writeFails_data();
    void writeFails();
    void writeSettingsStopsAtFirstFailingKey();
    void locatedBesideProgramOrInConfigHome_data();
    void locatedBesideProgramOrInConfigHome();

private:
    QTemporaryDir m_dir;
    QString m_ini;
};

void TstSettingsFile::defaultsWithoutFile() {
    const Settings s = readSettings(m_ini);
    QVERIFY(s.ComName.isEmpty() && s.ComSpeed.isEmpty() && s.ComParity.isEmpty());
    QVERIFY(s.ComDataBits.isEmpty() && s.ComStopBits.isEmpty());
    QVERIFY(!s.RtsControlOption && !s.OpenAtStart && !s.StartWithWindows && !s.LoadLastWorkFile);
    QCOMPARE(s.DecSeparator, QStringLiteral("."));
    QCOMPARE(s.ExportSeparator, QStringLiteral(";"));
    QCOMPARE(s.ResponseTime, 500);
}

void TstSettingsFile::read_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");
    const auto time = [](const char *name, const QByteArray &value, int expected) {
        QTest::newRow(name) << "[Misc]\nResponse Time=" + value << "ResponseTime"
                            << QVariant(expected);
    };
    time("decimal", "2500", 2500);
    time("hex 0x", "0x3E8", 1000);
    time("hex 0X, lower digits", "0X3e8", 1000);
    time("blanks and quotes", "  \"-1500\"  ", -1500);
    time("leading digits taken", "12abc", 12);
    time("non-numeric", "fast", 500);
    time("beyond int", "2147483648", 500);
    const auto open = [](const char *name, const QByteArray &value, bool expected) {
        QTest::newRow(name) << "[Com port]\nAutoOpen=" + value << "OpenAtStart"
                            << QVariant(expected);
    };
    open("boolean 1", "1", true);
    open("boolean 2", "2", true);
    open("boolean 0", "0", false);
    QTest::newRow("fast replies on")
        << QByteArray("[Misc]\nFastReplies=1\n") << "FastReplies" << QVariant(true);
    QTest::newRow("fast replies off by default")
        << QByteArray("[Misc]\nResponse Time=100\n") << "FastReplies" << QVariant(false);
    const auto direction = [](const char *name, const QByteArray &value, int expected) {
        QTest::newRow(name) << "[Com port]\nDirection=" + value << "LineDirection"
                            << QVariant(expected);
    };
    direction("direction driver", "1", 1);
    direction("direction adapter", "2", 2);
    direction("direction out of range", "3", 0);
    direction("direction negative", "-1", 0);
    const auto retries = [](const char *name, const QByteArray &value, int expected) {
        QTest::newRow(name) << "[Misc]\nRetries=" + value << "Retries" << QVariant(expected);
    };
    retries("retries 3", "3", 3);
    retries("retries 5", "5", 5);
    retries("retries beyond 5", "6", 0);
    retries("retries negative", "-1", 0);
    const auto name = [](const char *row, const QByteArray &content, const QString &expected) {
        QTest::newRow(row) << content << "ComName" << QVariant(expected);
    };
    name("names in other case", "[com PORT]\nnAmE=COM4\n", "COM4");
    name("blanks trimmed", "[ Com port ]\n  Name  =  COM 5  \n", "COM 5");
    name("double quotes", "[Com port]\nName=\" a \"\n", " a ");
    name("unmatched quotes", "[Com port]\nName=\"c'\n", "\"c'");
    name("CRLF and BOM", "\xEF\xBB\xBF[Com port]\r\nName=COM7\r\n", "COM7");
    name("first of two keys", "[Com port]\nName=A\nName=B\n", "A");
    name("commented out", "[Com port]\n;Name=COM9\n", "");
    name("before any section", "Name=COM9\n[Com port]\n", "");
    name("other section", "[Misc]\nName=COM9\n", "");
    const QByteArray longValue(3000, 'x');
    QTest::newRow("capped at 2047") << "[Misc]\nSeparator=" + longValue << "DecSeparator"
                                    << QVariant(QString::fromLatin1(longValue.left(2047)));
    QTest::newRow("empty text is no default")
        << QByteArray("[Misc]\nSeparator=") << "DecSeparator" << QVariant(QString());
}

void TstSettingsFile::read() {
    QFETCH(QByteArray, content);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    writeBytes(m_ini, content);
    QCOMPARE(::field(readSettings(m_ini), field), expected);
}

void TstSettingsFile::writeKeepsRestOfFile_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("after");
    const QByteArray crlf = "; Corvane\r\n[Com port]\r\nName=COM1\r\nSpeed = 9600\r\nOwn=keep\r\n"
                            "\r\n[Other]\r\nSpeed=1\r\n[Misc]\r\nSeparator=.\r\n";
    QByteArray changed = crlf;
    changed.replace("Speed = 9600", "Speed = 42");
    QTest::newRow("existing key") << crlf << kComPort << "Speed" << changed;
    QTest::newRow("key spelled otherwise, empty value")
        << QByteArray("[COM PORT]\nSPEED=\n") << kComPort << "Speed"
        << QByteArray("[COM PORT]\nSPEED=42\n");
    QTest::newRow("new key at end of section")
        << QByteArray("[Com port]\nName=COM1\n\n; misc\n[Misc]\n") << kComPort << "Speed"
        << QByteArray("[Com port]\nName=COM1\nSpeed=42\n\n; misc\n[Misc]\n");
    QTest::newRow("new section, no final line break")
        << QByteArray("[Com port]\r\nName=COM1") << kMisc << "Response Time"
        << QByteArray("[Com port]\r\nName=COM1\r\n[Misc]\r\nResponse Time=42\r\n");
    QTest::newRow("foreign bytes and BOM kept")
        << QByteArray("\xEF\xBB\xBF[Misc]\nOld=\xD3\xF0\xE5\xE4\nResponse Time=1\n") << kMisc
        << "Response Time"
        << QByteArray("\xEF\xBB\xBF[Misc]\nOld=\xD3\xF0\xE5\xE4\nResponse Time=42\n");
}

void TstSettingsFile::writeKeepsRestOfFile() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QByteArray, after);
    writeBytes(m_ini, before);
    SettingsFile(m_ini).writeInt(section, key, 42);
    QCOMPARE(readBytes(m_ini), after);
}

void TstSettingsFile::writtenValueReadsBack_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("readBack");
    for (const char *value : {" ", "\"quoted\"", "'q'", "\"", "", "Уред"})
        QTest::newRow(qPrintable(QStringLiteral("[%1]").arg(QString::fromUtf8(value))))
            << QString::fromUtf8(value) << QString::fromUtf8(value);
    QTest::newRow("line breaks") << QStringLiteral("a\r\nb\nc\r[Misc]") << "a b c [Misc]";
}

void TstSettingsFile::writtenValueReadsBack() {
    QFETCH(QString, value);
    QFETCH(QString, readBack);
    SettingsFile file(m_ini);
    file.writeString(kMisc, QStringLiteral("Separator"), value);
    file.writeString(kMisc, QStringLiteral("Export separator"), QStringLiteral("|"));
    QCOMPARE(file.readString(kMisc, QStringLiteral("Separator")), readBack);
    QCOMPARE(file.readString(kMisc, QStringLiteral("Export separator")), QStringLiteral("|"));
}

void TstSettingsFile::writeSettingsIntoNewFile() {
    Settings s;
    s.ComName = QStringLiteral("/dev/ttyUSB0");
    s.ComSpeed = QStringLiteral("9600");
    s.ComParity = QStringLiteral("None");
    s.ComDataBits = QStringLiteral("8");
    s.ComStopBits = QStringLiteral("1");
    s.OpenAtStart = true;
    s.LoadLastWorkFile = true;
    s.ExportSeparator = QStringLiteral(",");
    s.ResponseTime = 2500;
    s.LogSentFrames = true;
    s.LogLineLimit = 1000;
    s.ReopenPort = true;
    s.LineDirection = 1;
    s.IgnoreEcho = true;
    writeSettings(m_ini, s);
    QCOMPARE(readBytes(m_ini),
             QByteArray("[Com port]\nName=/dev/ttyUSB0\nSpeed=9600\nParity=None\n"
                        "Data bits=8\nStop bits=1\nRTS=0\nAutoOpen=1\nReopen=1\n"
                        "Direction=1\nEcho=1\n[Misc]\n"
                        "AutoLoad=0\nAutoRead=1\nSeparator=.\n"
                        "Export separator=,\nResponse Time=2500\nFastReplies=0\nRetries=0\n"
                        "LogTimestamps=0\nLogSentFrames=1\nLogLineLimit=1000\n"));
    QCOMPARE(readSettings(m_ini), s);
}

void TstSettingsFile::writeFails_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("path is a folder") << "folder";
    QTest::newRow("file in place of the folder") << "blocked";
    QTest::newRow("disk full") << "full";
    // Never read (a FIFO would block), so they also give the defaults.
    for (const QString &kind : corvane::test::specialFileKinds())
        QTest::addRow("path is a %s", qPrintable(kind)) << kind;
}

void TstSettingsFile::writeFails() {
    QFETCH(QString, how);
    const bool special = corvane::test::specialFileKinds().contains(how);
    if (!corvane::test::canMakeSpecialFile(how))
        QSKIP("Only root can make a device node");
    QString path = m_ini;
    const QByteArray old = "[Com port]\nName=COM1\n";
    if (how == QLatin1String("folder"))
        QVERIFY(QDir(m_dir.path()).mkpath(path));
    else if (how == QLatin1String("blocked")) {
        path = m_dir.filePath(QStringLiteral("blocker/corvane.ini"));
        writeBytes(m_dir.filePath(QStringLiteral("blocker")), old);
    } else if (how == QLatin1String("full"))
        writeBytes(path, old);
    else
        QVERIFY(corvane::test::makeSpecialFile(how, path));

    const auto entries = [this] {
        return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    };
    const QStringList before = entries();
    QString message;
    {
        std::optional<FileSizeLimit> limit;
        if (how == QLatin1String("full"))
            limit.emplace(old.size());
        try {
            SettingsFile(path).writeString(kComPort, QStringLiteral("Name"), "/dev/ttyUSB0");
        } catch (const SettingsWriteError &e) {
            message = QString::fromUtf8(e.what());
        }
    }
    QCOMPARE(message, "Unable to write to " + path);
    // The old file stands as it was, and no temporary file is left behind.
    if (how == QLatin1String("full"))
        QCOMPARE(readBytes(path), old);
    else
        QCOMPARE(readSettings(path), Settings());
    QCOMPARE(entries(), before);
    if (special) {
        QCOMPARE(corvane::test::specialFileKind(path), how);
        QFile::remove(path + QStringLiteral(".fifo"));
    }
    QDir(path).removeRecursively();
    QFile::remove(m_dir.filePath(QStringLiteral("blocker")));
}

void TstSettingsFile::writeSettingsStopsAtFirstFailingKey() {
    // The file as it stands after the first three keys: the fourth must not fit.
    const QString reference = m_dir.filePath(QStringLiteral("reference.ini"));
    SettingsFile(reference).writeString(kComPort, QStringLiteral("Name"), "COM2");
    SettingsFile(reference).writeString(kComPort, QStringLiteral("Speed"), "9600");
    SettingsFile(reference).writeString(kComPort, QStringLiteral("Parity"), "Even");
    const QByteArray afterThree = readBytes(reference);
    QFile::remove(reference);

    Settings s;
    s.ComName = QStringLiteral("COM2");
    s.ComSpeed = QStringLiteral("9600");
    s.ComParity = QStringLiteral("Even");
    s.ComDataBits = QStringLiteral("8");
    QString failedKey;
    {
        FileSizeLimit limit(afterThree.size());
        try {
            writeSettings(m_ini, s);
        } catch (const SettingsWriteError &e) {
            failedKey = e.section() + '/' + e.key();
        }
    }
    QCOMPARE(failedKey, QStringLiteral("Com port/Data bits"));
    QCOMPARE(readBytes(m_ini), afterThree);
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"corvane.ini"});
}

// A portable copy keeps its settings beside it; an installed one, whose folder the user cannot
// write, in the configuration folder, which the first write creates. The writability check is
// the test's to decide: as root every folder is writable.
void TstSettingsFile::locatedBesideProgramOrInConfigHome_data() {
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("xdgConfigHome"); // "<dir>" stands for a scratch folder
    QTest::addColumn<QString>("expected");      // "<dir>" likewise, "<home>" the home folder
    QTest::newRow("portable") << true << "<dir>/xdg"
                              << "<dir>/prog/corvane.ini";
    QTest::newRow("read-only, XDG_CONFIG_HOME") << false << "<dir>/xdg"
                                                << "<dir>/xdg/corvane/corvane.ini";
    QTest::newRow("read-only, XDG_CONFIG_HOME unset")
        << false << QString() << "<home>/.config/corvane/corvane.ini";
    QTest::newRow("read-only, XDG_CONFIG_HOME relative") << false << "xdg"
                                                         << "<home>/.config/corvane/corvane.ini";
}

void TstSettingsFile::locatedBesideProgramOrInConfigHome() {
    QFETCH(bool, writable);
    QFETCH(QString, xdgConfigHome);
    QFETCH(QString, expected);
    QTemporaryDir scratch;
    const QString dir = scratch.path();
    QVERIFY(QDir(dir).mkpath(QStringLiteral("prog")) && QDir(dir).mkpath(QStringLiteral("home")));
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", oldHome);
        oldXdg.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", oldXdg);
    });
    qputenv("HOME", QFile::encodeName(dir + QStringLiteral("/home")));
    if (xdgConfigHome.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(xdgConfigHome.replace("<dir>", dir)));
    expected.replace("<dir>", dir).replace("<home>", dir + QStringLiteral("/home"));

    QString asked;
    const QString path =
        SettingsFile::locate(dir + QStringLiteral("/prog/corvane"), [&](const QString &folder) {
            asked = folder;
            return writable;
        });
    QCOMPARE(asked, dir + QStringLiteral("/prog"));
    QCOMPARE(path, expected);
    Settings s;
    s.ComName = QStringLiteral("/dev/ttyUSB0");
    writeSettings(path, s);
    QCOMPARE(readSettings(path), s);

    QVERIFY(SettingsFile::folderWritable(dir));
    QVERIFY(!SettingsFile::folderWritable(dir + QStringLiteral("/none")));
    QVERIFY(!SettingsFile::folderWritable(QStringLiteral("/usr/bin")));
}

QTEST_GUILESS_MAIN(TstSettingsFile)
#include "tst_settings_file.moc"
