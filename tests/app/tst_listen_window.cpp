// System > "Listen to the line..." offscreen, clicked as an operator would: the test plays a line
// that another master drives at the far end of a pseudo-terminal.
#include "window_fixture.h"

#include "crc16.h"
#include "hex_frame.h"
#include "pty_pair.h"

#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>

using namespace corvane;
using namespace corvane::test;

namespace {

// Pulse constants of a QTR-4D, and its answer: 10, 20, 30, 40.
const QByteArray kRequest = withCrc("010380080004");
const QByteArray kReply = withCrc("010308000A0014001E0028");
// The battery of the logger at 5, and its answer: 3.75.
const QByteArray kBattery = withCrc("050403E70002");
const QByteArray kBatteryReply = withCrc("05040400BF0000");

QByteArray portIni(const QString &name, bool autoOpen) {
    return QStringLiteral("[Com port]\nName=%1\nSpeed=19200\nParity=Even\nData bits=8\n"
                          "Stop bits=1\nRTS=0\nAutoOpen=%2\n")
        .arg(name)
        .arg(autoOpen ? 1 : 0)
        .toUtf8();
}

// The cells of a row of the view, as it shows them.
QStringList row(QTableView *view, int r) {
    QStringList cells;
    for (int c = 0; c < view->model()->columnCount(); ++c)
        cells << view->model()->index(r, c).data().toString();
    return cells;
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TstListenWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void listensThroughItsView();
    void refusedWhileTheWindowIsTheMaster();
    void portThatCannotBeOpened();
    void rowsAreBounded_data();
    void rowsAreBounded();
};

// The view shows each exchange with its values as they are heard; Pause holds it still, Save
// writes what it shows, Clear empties it. Meanwhile the window's own port and commands refuse,
// and the far end of the line hears nothing at all.
void TstListenWindow::listensThroughItsView() {
    PtyPair pty;
    QVERIFY(pty.isValid());
    WindowFixture f(portIni(pty.path(), false));
    TForm1 &w = *f.window;
    w.show();
    w.ui.N17->trigger();
    ListenDialog &view = *w.FormListen;
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(!view.isModal());
    QVERIFY(view.isListening());
    QVERIFY(f.logLines().contains(QStringLiteral("Listening to the line on %1 at 19200 Even, "
                                                 "1 stop bit; Corvane sends nothing")
                                      .arg(pty.path())));
    QTableView *grid = view.Grid_listen;
    QCOMPARE(grid->model()->columnCount(), 6);
    QCOMPARE(grid->model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("What"));

    QVERIFY(pty.send(kRequest + kReply));
    QVERIFY(pty.send(QByteArray::fromHex("FFFF")));
    QTRY_COMPARE(grid->model()->rowCount(), 2);
    QCOMPARE(row(grid, 0).mid(1),
             (QStringList{"1", "pulse constants, inputs 1–4", "1=10; 2=20; 3=30; 4=40", "ok",
                          row(grid, 0).last()}));
    QVERIFY(!row(grid, 0).last().isEmpty());
    QCOMPARE(row(grid, 1).mid(1, 4), (QStringList{"", "noise, 2 bytes", "", "noise"}));

    // Paused, the view holds still while the line goes on, and takes up what came at Resume.
    QTest::mouseClick(view.Button_pause, Qt::LeftButton);
    QCOMPARE(view.Button_pause->text(), QStringLiteral("Resume"));
    QVERIFY(pty.send(kBattery + kBatteryReply));
    QTRY_VERIFY(view.Label_listen->text().startsWith(QStringLiteral("Paused, 1 waiting")));
    QCOMPARE(grid->model()->rowCount(), 2);
    QTest::mouseClick(view.Button_pause, Qt::LeftButton);
    QCOMPARE(view.Button_pause->text(), QStringLiteral("Pause"));
    QCOMPARE(grid->model()->rowCount(), 3);
    QCOMPARE(row(grid, 2).mid(1, 4), (QStringList{"5", "battery", "battery=3.75", "ok"}));

    // While it listens, the window is no master: its port stays closed and its commands send
    // nothing.
    QTest::mouseClick(w.ui.BitBtn13, Qt::LeftButton);
    QVERIFY(!w.portOpen());
    QVERIFY(f.logLines().contains(QStringLiteral("Listening to the line on %1: close \"Listen to "
                                                 "the line\" before opening the port")
                                      .arg(pty.path())));
    QTest::mouseClick(w.ui.BitBtn27, Qt::LeftButton);
    QCOMPARE(f.logLines().last(), QStringLiteral("Listening to the line: Corvane sends nothing "
                                                 "until the listening ends"));

    f.dialogs.savePath = f.dir.filePath(QStringLiteral("heard.csv"));
    QTest::mouseClick(view.Button_save, Qt::LeftButton);
    QCOMPARE(f.dialogs.asked.last(), QStringLiteral("save csv"));
    const QStringList saved = QString::fromUtf8(fileBytes(f.dialogs.savePath))
                                  .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(saved.size(), 4);
    QCOMPARE(saved.at(0),
             QStringLiteral("Time;Address;Function;Register;Count;Verdict;Reply ms;What;Values;"
                            "Registers"));
    QVERIFY2(saved.at(3).contains(QStringLiteral(";5;0x04;0x03E7;2;ok;")), qPrintable(saved.at(3)));
    QCOMPARE(f.logLines().last(), QStringLiteral("Exchanges saved to ") + f.dialogs.savePath);

    QTest::mouseClick(view.Button_clear, Qt::LeftButton);
    QCOMPARE(grid->model()->rowCount(), 0);

    QCOMPARE(pty.drain(), QByteArray());

    // Closing the view ends the listening, and the window may be the master again.
    QTest::mouseClick(view.Button_close, Qt::LeftButton);
    QVERIFY(!view.isVisible());
    QVERIFY(!view.isListening());
    QCOMPARE(f.logLines().last(), QStringLiteral("Listening to the line ended"));
    QTest::mouseClick(w.ui.BitBtn13, Qt::LeftButton);
    QVERIFY(w.portOpen());
    QVERIFY(f.errors.isEmpty());
}

void TstListenWindow::refusedWhileTheWindowIsTheMaster() {
    PtyPair pty;
    WindowFixture f(portIni(pty.path(), true));
    TForm1 &w = *f.window;
    QTRY_VERIFY(w.portOpen());
    w.ui.N17->trigger();
    QVERIFY(!w.FormListen->isVisible());
    QVERIFY(!w.FormListen->isListening());
    QCOMPARE(f.logLines().last(),
             QStringLiteral("Corvane is the master on %1: close the port before listening to "
                            "the line")
                 .arg(pty.path()));
    QVERIFY(w.portOpen());
}

void TstListenWindow::portThatCannotBeOpened() {
    WindowFixture f(portIni(QStringLiteral("/dev/corvane-no-such-port"), false));
    TForm1 &w = *f.window;
    w.ui.N17->trigger();
    QVERIFY(!w.FormListen->isVisible());
    QVERIFY(!w.FormListen->isListening());
    QCOMPARE(f.logLines().last(),
             QStringLiteral("Port /dev/corvane-no-such-port could not be opened: not found"));
    QVERIFY(f.boxes.informed.isEmpty());
}

void TstListenWindow::rowsAreBounded_data() {
    QTest::addColumn<bool>("paused");
    QTest::newRow("shown") << false;
    QTest::newRow("waiting for the pause to end") << true;
}

// A day on a busy line keeps the latest rows, the oldest go first, in the view and in what
// waits for a pause alike.
void TstListenWindow::rowsAreBounded() {
    QFETCH(bool, paused);
    ListenTableModel model;
    model.setPaused(paused);
    const int limit = ListenTableModel::kRowLimit;
    for (int i = 0; i <= limit; ++i) {
        HeardExchange noise;
        noise.verdict = HeardExchange::Verdict::Noise;
        noise.reply = QByteArray(1 + i % 3, '\xFF');
        model.add(noise, QDateTime(QDate(2026, 12, 6), QTime(0, 0)).addMSecs(i));
    }
    QCOMPARE(paused ? model.heldCount() : model.rowCount(), limit);
    model.setPaused(false);
    QCOMPARE(model.rowCount(), limit);
    QCOMPARE(model.heldCount(), 0);
    QCOMPARE(model.index(0, ListenTableModel::Time).data().toString(),
             QStringLiteral("00:00:00.001"));
    QCOMPARE(model.index(0, ListenTableModel::What).data().toString(),
             QStringLiteral("noise, 2 bytes"));
}

QTEST_MAIN(TstListenWindow)
#include "tst_listen_window.moc"
