#include "device_fixture.h"
#include "grid_key_filter.h"
#include "table_rows.h"

#include <QSignalSpy>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

class TstTables : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keyFilter_data();
    void keyFilter();
    void gridAsModel();
    void storeCutsTexts();
    void tableAndStore_data();
    void tableAndStore();
};

void TstTables::keyFilter_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QChar>("key");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<bool>("accepted");
    const QChar backspace(kKeyBackspace), tab(kKeyTab), lineFeed(kKeyLineFeed);
    // clang-format off
    QTest::newRow("tariff full") << kRowTariff1Start << "12" << QChar('3') << "." << false;
    QTest::newRow("tariff backspace") << kRowTariff1Start << "12" << backspace << "." << true;
    QTest::newRow("tariff line feed") << kRowTariff4Duration << "12" << lineFeed << "." << true;
    QTest::newRow("tariff comma") << kRowTariff3Start << "1" << QChar(',') << "," << false;
    QTest::newRow("constant full") << kRowPulseConstant << "65535" << QChar('1') << "." << false;
    QTest::newRow("constant tab") << kRowPulseConstant << "65535" << tab << "." << true;
    QTest::newRow("user number full") << kRowUserNumber << "123" << QChar('4') << "." << false;
    QTest::newRow("initial point") << kRowInitialValue << "1" << QChar('.') << "," << false;
    QTest::newRow("initial comma") << kRowInitialValue << "1" << QChar(',') << "," << true;
    QTest::newRow("initial full") << kRowTariff4InitialValue << "123456789" << QChar('0') << "."
                                  << false;
    QTest::newRow("long separator") << kRowInitialValue << "1" << QChar('.') << ".." << false;
    QTest::newRow("unit comma") << kRowUnit << "kW" << QChar(',') << "," << true;
    QTest::newRow("free text, 15") << kRowFreeText << "Boiler room, ea" << QChar('s') << "."
                                   << true;
    QTest::newRow("free text full") << kRowFreeText << "Boiler room, eas" << QChar('t') << "."
                                    << false;
    QTest::newRow("free text full, backspace") << kRowFreeText << "Boiler room, eas" << backspace
                                               << "." << true;
    // clang-format on
}

void TstTables::keyFilter() {
    QFETCH(int, row);
    QFETCH(QString, cell);
    QFETCH(QChar, key);
    QFETCH(QString, separator);
    QFETCH(bool, accepted);
    QCOMPARE(Grid_dataKeyPress(row, cell, key, separator), accepted ? key : QChar(kKeyRefused));
}

// A view sees the cells without the titles, the titles as headers, and only the parameter
// table as editable. Hiding columns keeps their texts.
void TstTables::gridAsModel() {
    DeviceTables tables;
    StringGrid &grid = tables.Grid_data;
    QCOMPARE(grid.headerData(16, Qt::Vertical).toString(), "Tariff 4 initial value");
    QVERIFY(grid.setData(grid.index(0, 7), "kWh"));
    QVERIFY(!tables.Grid_data2.setData(tables.Grid_data2.index(0, 0), "1"));
    QSignalSpy removed(&grid, &QAbstractItemModel::columnsRemoved);
    grid.setGridColumnCount(5);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(grid.columnCount(), 4);
    grid.setGridColumnCount(9);
    QCOMPARE(grid.data(grid.index(0, 7)).toString(), "kWh");
    tables.Grid_data2.setCell(8, 2, "7");
    tables.Grid_data2.clearContents();
    QCOMPARE(rowTexts(tables.Grid_data2, 2) + tables.Grid_data2.cell(0, 2), "|||||||Total pulses");
}

void TstTables::storeCutsTexts() {
    AddressStore store;
    store.setCell(250, 8, 17, "Уред за вода номер 1");
    QCOMPARE(store.cell(250, 8, 17), QStringLiteral("Уред за вода ном"));
    store.setModel(5, "QTR-8D-extra");
    QCOMPARE(store.model(5), QStringLiteral("QTR-8D"));
    store.setModel(0, "QTR-4D");
    QCOMPARE(store.model(0), QString());
    store.clearCells();
    QCOMPARE(store.cell(250, 8, 17), QString());
    QCOMPARE(store.model(5), QStringLiteral("QTR-8D"));
}

void TstTables::tableAndStore_data() {
    QTest::addColumn<int>("columns");
    QTest::newRow("QTR-4D") << 5;
    QTest::newRow("QTR-6D") << 7;
    QTest::newRow("QTR-8D") << 9;
}

// The layout's input columns travel between table and slot, cut to 16 characters; the columns
// it hides keep their texts on both sides.
void TstTables::tableAndStore() {
    QFETCH(int, columns);
    DeviceFixture f;
    StringGrid &grid = f.tables.Grid_data;
    AddressStore &store = *f.store;
    auto tableText = [](int col, int row) {
        return QStringLiteral("table %1/%2 long text").arg(col).arg(row);
    };
    for (int row = 1; row <= kParameterRows; ++row) {
        for (int col = 1; col <= kMaxInputs; ++col) {
            grid.setCell(col, row, tableText(col, row));
            store.setCell(2, col, row, "slot two");
            store.setCell(3, col, row, QStringLiteral("three %1/%2").arg(col).arg(row));
        }
    }
    grid.setGridColumnCount(columns);
    store.CurrentAddress = 2;
    store.tableToStore(grid);
    store.storeToTable(3, grid);
    for (int row = 1; row <= kParameterRows; ++row) {
        for (int col = 1; col <= kMaxInputs; ++col) {
            const bool shown = col < columns;
            QCOMPARE(store.cell(2, col, row), shown ? tableText(col, row).left(16) : "slot two");
            QCOMPARE(grid.cell(col, row),
                     shown ? QStringLiteral("three %1/%2").arg(col).arg(row) : tableText(col, row));
        }
    }
}

QTEST_GUILESS_MAIN(TstTables)
#include "tst_tables.moc"
