#include "csv_export.h"
#include "device_session.h"
#include "error_display.h"
#include "fake_serial_line.h"
#include "file_commands.h"
#include "file_nodes.h"
#include "file_size_limit.h"
#include "file_ui.h"
#include "recording_output.h"
#include "work_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace corvane;
using namespace corvane::test;

namespace {

class FakeDialogs : public FileDialogs {
public:
    QString saveFileName(const QString &filter, const QString &defaultSuffix) override {
        requests << filter + '|' + defaultSuffix;
        return path;
    }
    QString openFileName(const QString &filter) override {
        requests << filter;
        return path;
    }
    QString path;
    QStringList requests;
};

class FakeMessageBoxes : public MessageBoxes {
public:
    void inform(const QString &caption, const QString &text) override {
        Q_UNUSED(caption);
        shown << text;
    }
    bool confirm(const QString &, const QString &text) override {
        shown << text;
        return true;
    }
    QStringList shown;
};

using corvane::test::FileSizeLimit;

QByteArray readBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray record(std::int32_t address, const QByteArray &unit1 = {},
                  const QByteArray &model = {}) {
    QByteArray bytes(WorkFile::kRecordSize, '\0');
    qToLittleEndian(address, bytes.data());
    bytes[4] = char(unit1.size());
    bytes.replace(5, unit1.size(), unit1);
    bytes[WorkFile::kModelOffset] = char(model.size());
    bytes.replace(WorkFile::kModelOffset + 1, model.size(), model);
    return bytes;
}

// A window's worth of state without a window: the session on a fake port that is closed, the
// dialogs and boxes recorded, the selector a plain number.
struct Fixture {
    Fixture()
        : session(SessionEnvironment{line, line, out, controls, [this] { return selector; },
                                     [] { return false; }, [] { return QStringLiteral("."); },
                                     QLocale::c()}),
          commands(
              session, dialogs, boxes,
              [this](int a) {
                  selectorMoves << a;
                  selector = a;
              },
              [this] { return separator; }) {
        previousSink = setErrorSink([this](const QString &m) { errors << m; });
    }
    ~Fixture() { setErrorSink(previousSink); }

    // Everything a command may change: every slot, both addresses, both tables.
    QStringList state() const {
        QStringList texts{QString::number(session.store.CurrentAddress),
                          QString::number(session.store.HighestAddress)};
        for (int a = 1; a <= 250; ++a) {
            texts << session.store.model(a);
            for (int c = 1; c <= 8; ++c)
                for (int r = 1; r <= 17; ++r)
                    texts << session.store.cell(a, c, r);
        }
        for (const StringGrid *grid : {&session.tables.Grid_data, &session.tables.Grid_data2})
            for (int c = 0; c < grid->columnCapacity(); ++c)
                for (int r = 0; r < grid->gridRowCount(); ++r)
                    texts << grid->cell(c, r);
        return texts;
    }
    bool quiet() const {
        return out.logLines.isEmpty() && boxes.shown.isEmpty() && errors.isEmpty() &&
               selectorMoves.isEmpty();
    }

    FakeSerialLine line;
    RecordingOutput out;
    FakeControls controls;
    FakeDialogs dialogs;
    FakeMessageBoxes boxes;
    int selector = 1;
    QList<int> selectorMoves;
    QString separator = QStringLiteral(";");
    QStringList errors;
    ErrorSink previousSink;
    DeviceSession session;
    FileCommands commands;
};

using Handler = void (FileCommands::*)();

const QString kNotCreated = QStringLiteral(
    "File can not be created, either you do not have proper rights or you are writing on CD");

} // namespace

Q_DECLARE_METATYPE(Handler)

class TstFileCommands : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A fresh folder for each test, so that leftovers of one never count in another.
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cancelledDialogDoesNothing_data();
    void cancelledDialogDoesNothing();
    void saveAfterStartUp();
    void saveWritesThroughLink();
    void saveAndLoadGiveSameTexts();
    void loadAddresses3And7();
    void loadChangesNothing_data();
    void loadChangesNothing();
    void recordsOutsideSlotsSkipped();
    void notCreatable_data();
    void notCreatable();
    void specialTargetLeftAlone_data();
    void specialTargetLeftAlone();
    void failedWriteKeepsOldFile_data();
    void failedWriteKeepsOldFile();
    void exportsWriteTheirFiles();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TstFileCommands::cancelledDialogDoesNothing_data() {
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<QString>("request");
    QTest::newRow("save") << &FileCommands::saveWorkFile << "DAT files (*.dat)|dat";
    QTest::newRow("load") << &FileCommands::openWorkFile << "DAT files (*.dat)";
    QTest::newRow("parameter export") << &FileCommands::exportParameters << "CSV files (*.csv)|csv";
    QTest::newRow("counters export") << &FileCommands::exportCounters << "CSV files (*.csv)|csv";
}

void TstFileCommands::cancelledDialogDoesNothing() {
    QFETCH(Handler, handler);
    QFETCH(QString, request);
    Fixture f;
    f.session.store.setCell(1, 1, 1, "m3");
    f.session.tables.Grid_data2.setCell(1, 1, "5");
    const QStringList before = f.state();
    (f.commands.*handler)();
    QCOMPARE(f.dialogs.requests, QStringList{request});
    QVERIFY(f.quiet());
    QCOMPARE(f.state(), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList());
}

void TstFileCommands::saveAfterStartUp() {
    Fixture f;
    f.dialogs.path = path("start.dat");
    f.commands.saveWorkFile();
    QCOMPARE(readBytes(f.dialogs.path), record(1));
    QCOMPARE(f.out.logLines, QStringList{"File was written successfully"});
    QVERIFY(f.boxes.shown.isEmpty() && f.errors.isEmpty());
}

void TstFileCommands::saveWritesThroughLink() {
    Fixture f;
    QVERIFY(writeBytes(path("real.dat"), QByteArray(10, 'x')));
    QVERIFY(QFile::link(QStringLiteral("real.dat"), path("link.dat")));
    f.dialogs.path = path("link.dat");
    f.commands.saveWorkFile();
    QCOMPARE(f.out.logLines, QStringList{"File was written successfully"});
    QCOMPARE(readBytes(path("real.dat")), record(1));
    QCOMPARE(QFileInfo(path("link.dat")).symLinkTarget(), path("real.dat"));
}

void TstFileCommands::saveAndLoadGiveSameTexts() {
    Fixture saving;
    AddressStore &store = saving.session.store;
    store.HighestAddress = 40;
    for (int a = 1; a <= 40; ++a) {
        for (int c = 1; c <= 8; ++c)
            for (int r = 1; r <= 17; ++r)
                store.setCell(a, c, r, QStringLiteral("%1/%2/%3").arg(a).arg(c).arg(r));
        store.setModel(a, a % 2 ? "QTR-4D" : "QTR-8D");
    }
    store.setCell(2, 1, 4, QString::fromUtf8("Двадцать символов!!!"));
    saving.dialogs.path = path("all.dat");
    saving.commands.saveWorkFile();
    QCOMPARE(readBytes(saving.dialogs.path).size(), 40 * WorkFile::kRecordSize);

    Fixture loading;
    loading.dialogs.path = saving.dialogs.path;
    loading.commands.openWorkFile();
    QCOMPARE(loading.out.logLines, QStringList());
    QCOMPARE(loading.session.store.cell(2, 1, 4), QString::fromUtf8("Двадцать символо"));
    for (int a = 1; a <= 40; ++a) {
        QCOMPARE(loading.session.store.model(a), store.model(a));
        for (int c = 1; c <= 8; ++c)
            for (int r = 1; r <= 17; ++r)
                QCOMPARE(loading.session.store.cell(a, c, r), store.cell(a, c, r));
    }
    QCOMPARE(loading.session.store.HighestAddress, 40);
}

void TstFileCommands::loadAddresses3And7() {
    Fixture f;
    AddressStore &store = f.session.store;
    store.HighestAddress = 9;
    for (int a = 1; a <= 9; ++a) {
        store.setCell(a, 2, 2, "100");
        store.setModel(a, "QTR-8D");
    }
    f.session.tables.Grid_data.setCell(1, 1, "typed");
    f.session.tables.Grid_data2.setCell(3, 4, "12");
    f.selector = 9;
    f.dialogs.path = path("3and7.dat");
    QVERIFY(writeBytes(f.dialogs.path, record(7, "kWh", "QTR-4D") + record(3, "m3")));

    f.commands.openWorkFile();
    QCOMPARE(store.HighestAddress, 7);
    QCOMPARE(store.CurrentAddress, 7);
    QCOMPARE(f.selectorMoves, QList<int>{7});
    QCOMPARE(f.out.logLines, QStringList());
    QCOMPARE(store.model(7), QStringLiteral("QTR-4D"));
    QCOMPARE(store.model(3), QString());
    QCOMPARE(store.cell(3, 1, 1), QStringLiteral("m3"));
    for (int a : {1, 2, 4, 5, 6, 8, 9}) {
        QCOMPARE(store.cell(a, 2, 2), QString());
        QCOMPARE(store.model(a), QStringLiteral("QTR-8D"));
    }
    // The table shows slot 7 and the counters are emptied; the titles stay.
    QCOMPARE(f.session.tables.Grid_data.cell(1, 1), QStringLiteral("kWh"));
    QCOMPARE(f.session.tables.Grid_data.cell(0, 1), QStringLiteral("Unit"));
    QCOMPARE(f.session.tables.Grid_data2.cell(3, 4), QString());
    QCOMPARE(f.session.tables.Grid_data2.cell(0, 1), QStringLiteral("Total consumption"));
}

// Loads that must leave every slot, both addresses, both tables and the selector as they were.
void TstFileCommands::loadChangesNothing_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("kind"); // of the file: see file_nodes.h, or "file", "missing"
    QTest::addColumn<QStringList>("logLines"); // <path> stands for the file's path
    QTest::addColumn<int>("errors");

    const QByteArray foreign = record(1000) + record(-5);
    QByteArray manyForeign;
    for (int i = 0; i < 12; ++i)
        manyForeign += record(1000 + i);
    const QString skipped = QStringLiteral(" skipped: addresses are 1 to 250");
    const QString noRecord =
        QStringLiteral("<path> holds no record for addresses 1 to 250, nothing was loaded");
    const QString notRegular = QStringLiteral("<path> is not a regular file, nothing was loaded");

    QTest::newRow("empty file") << QByteArray() << "file" << QStringList{noRecord} << 0;
    QTest::newRow("missing file") << QByteArray() << "missing"
                                  << QStringList{"File does not exists or is already open"} << 0;
    QTest::newRow("truncated in the second record")
        << record(2, "m3") + record(5, "kWh").left(1500) << "file" << QStringList() << 1;
    QTest::newRow("one byte too many")
        << record(2, "m3") + QByteArray(1, '\0') << "file" << QStringList() << 1;
    QTest::newRow("shorter than a record") << record(4).left(4) << "file" << QStringList() << 1;
    QTest::newRow("only records without a slot")
        << foreign << "file"
        << QStringList{"Record for address 1000" + skipped, "Record for address -5" + skipped,
                       noRecord}
        << 0;
    QStringList manyLines;
    for (int i = 0; i < 10; ++i)
        manyLines << QStringLiteral("Record for address %1").arg(1000 + i) + skipped;
    QTest::newRow("many records without a slot")
        << manyForeign << "file" << (manyLines << "2 more records" + skipped << noRecord) << 0;
    // One record per address at most; a longer file is refused before it is read.
    QByteArray tooLong;
    for (int a = 1; a <= 251; ++a)
        tooLong += record(a % 250 + 1, "m3");
    QTest::newRow("more records than addresses") << tooLong << "file" << QStringList() << 1;
    // Reading a FIFO would wait for a writer for ever; a device never ends.
    for (const QString &kind : specialFileKinds())
        QTest::newRow(qPrintable(kind)) << QByteArray() << kind << QStringList{notRegular} << 0;
}

void TstFileCommands::loadChangesNothing() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, kind);
    QFETCH(QStringList, logLines);
    QFETCH(int, errors);
    if (!canMakeSpecialFile(kind))
        QSKIP("Only root can make a device node");
    Fixture f;
    AddressStore &store = f.session.store;
    store.HighestAddress = 3;
    store.CurrentAddress = 3;
    f.selector = 3;
    store.setCell(1, 1, 1, "m3");
    store.setCell(3, 8, 17, "1.5");
    store.setModel(3, "QTR-6D");
    f.session.tables.Grid_data.setCell(2, 2, "edited");
    f.session.tables.Grid_data2.setCell(1, 1, "99");
    f.dialogs.path = path("load.dat");
    if (kind == QLatin1String("file"))
        QVERIFY(writeBytes(f.dialogs.path, bytes));
    else if (kind != QLatin1String("missing"))
        QVERIFY(makeSpecialFile(kind, f.dialogs.path));
    const QStringList before = f.state();

    f.commands.openWorkFile();
    QCOMPARE(f.state(), before);
    QCOMPARE(f.out.logLines, logLines.replaceInStrings("<path>", f.dialogs.path));
    QCOMPARE(specialFileKind(f.dialogs.path), kind);
    QVERIFY(f.selectorMoves.isEmpty() && f.boxes.shown.isEmpty());
    QCOMPARE(f.errors.size(), errors);
    // The error names the file and its length.
    for (const QString &error : f.errors)
        QVERIFY2(error.contains(f.dialogs.path) && error.contains(QString::number(bytes.size())),
                 qPrintable(error));
}

void TstFileCommands::recordsOutsideSlotsSkipped() {
    Fixture f;
    f.dialogs.path = path("foreign.dat");
    QVERIFY(writeBytes(f.dialogs.path, record(300, "x") + record(2, "m3") + record(0)));
    f.commands.openWorkFile();
    QCOMPARE(f.out.logLines, (QStringList{"Record for address 300 skipped: addresses are 1 to 250",
                                          "Record for address 0 skipped: addresses are 1 to 250"}));
    QCOMPARE(f.session.store.cell(2, 1, 1), QStringLiteral("m3"));
    QCOMPARE(f.session.store.HighestAddress, 2);
    QCOMPARE(f.selectorMoves, QList<int>{2});
}

void TstFileCommands::notCreatable_data() {
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("save") << &FileCommands::saveWorkFile << "File was NOT saved";
    QTest::newRow("parameter export")
        << &FileCommands::exportParameters << "File can not be created - no rights or CD";
    QTest::newRow("counters export") << &FileCommands::exportCounters << "File can NOT be created";
}

void TstFileCommands::notCreatable() {
    QFETCH(Handler, handler);
    QFETCH(QString, logLine);
    for (const QString &target : {path("no/such/folder/file"), m_dir->path()}) {
        Fixture f;
        f.dialogs.path = target;
        (f.commands.*handler)();
        QCOMPARE(f.boxes.shown, QStringList{kNotCreated});
        QCOMPARE(f.out.logLines, QStringList{logLine});
        QVERIFY(f.errors.isEmpty());
    }
    QVERIFY(!QFile::exists(path("no")));
}

// A device or a FIFO the rename would have replaced, also behind a link.
void TstFileCommands::specialTargetLeftAlone_data() {
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("logLine");
    for (const QString &kind : specialFileKinds())
        QTest::addRow("save onto %s", qPrintable(kind))
            << &FileCommands::saveWorkFile << kind << "File was NOT saved";
    QTest::newRow("parameter export onto fifo") << &FileCommands::exportParameters << "fifo"
                                                << "File can not be created - no rights or CD";
    QTest::newRow("counters export onto device") << &FileCommands::exportCounters << "device"
                                                 << "File can NOT be created";
}

void TstFileCommands::specialTargetLeftAlone() {
    QFETCH(Handler, handler);
    QFETCH(QString, kind);
    QFETCH(QString, logLine);
    if (!canMakeSpecialFile(kind))
        QSKIP("Only root can make a device node");
    Fixture f;
    f.dialogs.path = path("target");
    QVERIFY(makeSpecialFile(kind, f.dialogs.path));
    const QStringList entries =
        QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    (f.commands.*handler)();
    QCOMPARE(f.boxes.shown, QStringList{kNotCreated});
    QCOMPARE(f.out.logLines, QStringList{logLine});
    QVERIFY(f.errors.isEmpty());
    QCOMPARE(specialFileKind(f.dialogs.path), kind);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             entries);
}

void TstFileCommands::failedWriteKeepsOldFile_data() {
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<int>("highestAddress");
    QTest::addColumn<QStringList>("logLines");
    // Small contents stay in the file's buffer until the flush, large ones fail in the write.
    QTest::newRow("save, failing in the flush")
        << &FileCommands::saveWorkFile << 5 << QStringList{"File was NOT saved"};
    QTest::newRow("save, failing in the write")
        << &FileCommands::saveWorkFile << 100 << QStringList{"File was NOT saved"};
    QTest::newRow("parameter export, failing in the flush")
        << &FileCommands::exportParameters << 20 << QStringList();
    QTest::newRow("parameter export, failing in the write")
        << &FileCommands::exportParameters << 250 << QStringList();
}

// The new content outgrows the size limit half-way; the operator's old file must survive.
void TstFileCommands::failedWriteKeepsOldFile() {
    QFETCH(Handler, handler);
    QFETCH(int, highestAddress);
    QFETCH(QStringList, logLines);
    Fixture f;
    f.session.store.HighestAddress = highestAddress;
    f.dialogs.path = path("precious");
    const QByteArray old = record(1, "old") + record(2, "old");
    QVERIFY(writeBytes(f.dialogs.path, old));
    {
        FileSizeLimit limit(old.size() + 100);
        (f.commands.*handler)();
    }
    QCOMPARE(readBytes(f.dialogs.path), old);
    QCOMPARE(f.out.logLines, logLines);
    QCOMPARE(f.errors.size(), 1);
    QVERIFY2(f.errors[0].contains(f.dialogs.path), qPrintable(f.errors[0]));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"precious"});
}

// The layout itself is checked byte for byte on the pure functions; here, that each export
// writes its own text with the separator, store and selector of the moment.
void TstFileCommands::exportsWriteTheirFiles() {
    Fixture f;
    f.separator = QStringLiteral(",");
    f.selector = 12;
    f.session.store.HighestAddress = 2;
    f.session.store.setCell(2, 1, 1, "m3");
    f.session.tables.Grid_data2.setCell(2, 2, "77");
    f.dialogs.path = path("export.csv");
    QVERIFY(writeBytes(f.dialogs.path, QByteArray(100000, 'x')));

    f.commands.exportParameters();
    QCOMPARE(readBytes(f.dialogs.path),
             parameterExport(f.session.store, f.session.tables.Grid_data, ","));
    QVERIFY(readBytes(f.dialogs.path).contains("\xD3\xF0\xE5\xE4 2\r\nUnit,m3,,,,,,,,\r\n"));
    f.commands.exportCounters();
    QCOMPARE(readBytes(f.dialogs.path), countersExport(f.session.tables.Grid_data2, 12, ","));
    QVERIFY(f.quiet());
}

QTEST_GUILESS_MAIN(TstFileCommands)
#include "tst_file_commands.moc"
