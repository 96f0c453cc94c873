#include "address_store.h"
#include "work_file.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

using namespace corvane;

namespace {

QByteArray record(std::int32_t address) {
    QByteArray bytes(WorkFile::kRecordSize, '\0');
    qToLittleEndian(address, bytes.data());
    return bytes;
}

void putField(QByteArray &rec, int offset, const QByteArray &lengthAndText) {
    rec.replace(offset, lengthAndText.size(), lengthAndText);
}

} // namespace

class TstWorkFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void recordsInAddressOrder();
    void fieldPlacement_data();
    void fieldPlacement();
    void decodeFields_data();
    void decodeFields();
    void laterRecordReplacesEarlier();
    void randomFilesApplyWholeOrNothing();
};

void TstWorkFile::recordsInAddressOrder() {
    AddressStore store;
    store.HighestAddress = 3;
    store.CurrentAddress = 2;
    QCOMPARE(encodeWorkFile(store), record(1) + record(2) + record(3));
}

void TstWorkFile::fieldPlacement_data() {
    QTest::addColumn<int>("col");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("first cell") << 1 << 1 << "m3" << 4 << QByteArray("\x02m3", 3);
    QTest::newRow("last row of column 1") << 1 << 17 << "12.5" << 4 + 16 * 17
                                          << QByteArray("\x04"
                                                        "12.5",
                                                        5);
    QTest::newRow("column 2 row 1") << 2 << 1 << "kWh" << 4 + 289 << QByteArray("\x03kWh", 4);
    QTest::newRow("last cell, full 16") << 8 << 17 << "ABCDEFGHIJKLMNOP" << 4 + 7 * 289 + 16 * 17
                                        << QByteArray("\x10"
                                                      "ABCDEFGHIJKLMNOP",
                                                      17);
    QTest::newRow("Cyrillic as Windows-1251")
        << 3 << 4 << QString::fromUtf8("Вода") << 4 + 2 * 289 + 3 * 17
        << QByteArray("\x04\xC2\xEE\xE4\xE0", 5);
    QTest::newRow("euro sign") << 1 << 2 << QString::fromUtf8("1€€") << 4 + 17
                               << QByteArray("\x03"
                                             "1\x88\x88",
                                             4);
    QTest::newRow("character outside the code page")
        << 1 << 3 << QString::fromUtf8("a中") << 4 + 2 * 17
        << QByteArray("\x02"
                      "a?",
                      3);
}

void TstWorkFile::fieldPlacement() {
    QFETCH(int, col);
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(int, offset);
    QFETCH(QByteArray, field);

    AddressStore store;
    store.setCell(1, col, row, text);
    const QByteArray bytes = encodeWorkFile(store);
    QCOMPARE(bytes.size(), WorkFile::kRecordSize);
    QCOMPARE(bytes.mid(offset, field.size()), field);
    // Everything else stays zero, including the rest of the field and the pad byte.
    QByteArray expected = record(1);
    putField(expected, offset, field);
    QCOMPARE(bytes, expected);
}

void TstWorkFile::decodeFields_data() {
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("col"); // 0: the model text
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");

    QTest::newRow("model") << 2316 << QByteArray("\x06QTR-6D") << 0 << 0 << "QTR-6D";
    QTest::newRow("model length above 6 cut")
        << 2316 << QByteArray("\xFFQTR-8Dx") << 0 << 0 << "QTR-8D";
    QTest::newRow("bytes after the length ignored")
        << 4 << QByteArray("\x02m3garbage") << 1 << 1 << "m3";
    QTest::newRow("cell length above 16 cut") << 4 + 289
                                              << QByteArray("\x14"
                                                            "ABCDEFGHIJKLMNOPQRST")
                                              << 2 << 1 << "ABCDEFGHIJKLMNOP";
    QTest::newRow("length 255 in the last cell stays inside the record")
        << 4 + 7 * 289 + 16 * 17 << QByteArray("\377ABCDEFGHIJKLMNOP\006QTR-8D") << 8 << 17
        << "ABCDEFGHIJKLMNOP";
    QTest::newRow("cell text ends at a NUL")
        << 4 + 17 << QByteArray("\005AB\0CD", 6) << 1 << 2 << "AB";
    QTest::newRow("model text ends at a NUL")
        << 2316 << QByteArray("\006QTR\0-8", 7) << 0 << 0 << "QTR";
    QTest::newRow("NUL first gives an empty cell")
        << 4 << QByteArray("\003\0m3", 4) << 1 << 1 << "";
    QTest::newRow("Windows-1251 bytes")
        << 4 + 17 << QByteArray("\x03\xEC\xB3\xFF") << 1 << 2 << QString::fromUtf8("мія");
}

void TstWorkFile::decodeFields() {
    QFETCH(int, offset);
    QFETCH(QByteArray, field);
    QFETCH(int, col);
    QFETCH(int, row);
    QFETCH(QString, text);

    QByteArray bytes = record(5);
    putField(bytes, offset, field);
    QCOMPARE(bytes.size(), WorkFile::kRecordSize);
    bytes[WorkFile::kPadOffset] = char(0xAA);
    const WorkFileRecord decoded = decodeWorkRecord(bytes);
    QCOMPARE(decoded.address, 5);
    QCOMPARE(col == 0 ? decoded.model : decoded.cell(col, row), text);
}

void TstWorkFile::laterRecordReplacesEarlier() {
    QByteArray first = record(4);
    putField(first, 4, QByteArray("\x03old"));
    putField(first, 2316, QByteArray("\x06QTR-4D"));
    QByteArray second = record(4);
    putField(second, 4 + 17, QByteArray("\x03new"));
    const auto contents = parseWorkFile(first + record(2) + second);
    QVERIFY(contents);
    QCOMPARE(int(contents->records.size()), 2);
    AddressStore store;
    applyWorkFile(*contents, store);
    QCOMPARE(store.cell(4, 1, 1), QString());
    QCOMPARE(store.cell(4, 1, 2), QStringLiteral("new"));
    QCOMPARE(store.model(4), QString());
    QCOMPARE(store.HighestAddress, 4);
}

// Random and mutated files: no crash, and each either applies completely (the store then
// equals the file's last record per address, every other cell empty) or is refused.
void TstWorkFile::randomFilesApplyWholeOrNothing() {
    QRandomGenerator random(20261207);
    AddressStore base;
    base.HighestAddress = 5;
    for (int a = 1; a <= 5; ++a) {
        base.setCell(a, a, a, "keep");
        base.setModel(a, "QTR-8D");
    }
    const QByteArray good = encodeWorkFile(base);
    // One store for all rounds, put back to the base after each load: building 250 slots
    // afresh every round would cost more than the loads themselves.
    AddressStore store;
    std::vector<int> touched;
    const auto restore = [&] {
        for (int a : touched)
            store.setModel(a, QString());
        store.HighestAddress = 5;
        for (int a = 1; a <= 5; ++a) {
            store.setCell(a, a, a, "keep");
            store.setModel(a, "QTR-8D");
        }
    };
    restore();

    int applied = 0;
    for (int round = 0; round < 10000; ++round) {
        QByteArray bytes;
        switch (random.bounded(3)) {
        case 0: // random bytes of a random, often whole-record, length
            bytes.resize(random.bounded(2) ? WorkFile::kRecordSize * random.bounded(1, 4)
                                           : random.bounded(3 * WorkFile::kRecordSize));
            for (char &b : bytes)
                b = char(random.bounded(256));
            break;
        case 1: // a good file with some bytes changed
            bytes = good;
            for (int n = random.bounded(1, 40); n > 0; --n)
                bytes[random.bounded(bytes.size())] = char(random.bounded(256));
            break;
        default: // a good file cut or extended
            bytes = good.left(random.bounded(good.size() + 1)) +
                    QByteArray(random.bounded(5), char(random.bounded(256)));
            break;
        }
        // Mostly addresses in range, so that records land in slots.
        if (bytes.size() >= 4 && random.bounded(2))
            qToLittleEndian<std::int32_t>(random.bounded(-2, 253), bytes.data());

        // Parsing touches no store, so a refused file changes nothing by construction; what
        // matters is that only a damaged length is refused.
        const auto contents = parseWorkFile(bytes);
        if (!contents) {
            QVERIFY(bytes.size() % WorkFile::kRecordSize != 0);
            continue;
        }
        applyWorkFile(*contents, store);
        ++applied;
        std::vector<const WorkFileRecord *> bySlot(251, nullptr);
        std::int32_t highest = 1;
        for (const WorkFileRecord &rec : contents->records) {
            bySlot[std::size_t(rec.address)] = &rec;
            highest = std::max(highest, rec.address);
        }
        // Every slot now and then; otherwise the loaded slots, the ones that held texts and one
        // more, which keeps 10,000 rounds quick under the sanitizers.
        std::vector<int> checked{1, 2, 3, 4, 5, random.bounded(1, 251)};
        if (round % 100 == 0)
            for (int a = 6; a <= 250; ++a)
                checked.push_back(a);
        for (const WorkFileRecord &rec : contents->records)
            checked.push_back(rec.address);
        for (int a : checked) {
            const WorkFileRecord *rec = bySlot[std::size_t(a)];
            QCOMPARE(store.model(a),
                     rec ? rec->model : (a <= 5 ? QStringLiteral("QTR-8D") : QString()));
            for (int c = 1; c <= 8; ++c)
                for (int r = 1; r <= 17; ++r)
                    if (store.cell(a, c, r) != (rec ? rec->cell(c, r) : QString()))
                        QFAIL(qPrintable(QStringLiteral("round %1: slot %2 cell %3,%4")
                                             .arg(round)
                                             .arg(a)
                                             .arg(c)
                                             .arg(r)));
        }
        QCOMPARE(store.HighestAddress, highest);
        touched.clear();
        for (const WorkFileRecord &rec : contents->records)
            touched.push_back(rec.address);
        restore();
    }
    QVERIFY(applied > 1000);
}

QTEST_GUILESS_MAIN(TstWorkFile)
#include "tst_work_file.moc"
