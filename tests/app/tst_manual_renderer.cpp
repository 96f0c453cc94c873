#include "manual_renderer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace corvane;

class TstManualRenderer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rendersPdfFile();
    void foundBesideOrInstalled_data();
    void foundBesideOrInstalled();
};

void TstManualRenderer::rendersPdfFile() {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("UsrMan.pdf"));
    QCOMPARE(renderManualFile(QStringLiteral(CORVANE_MANUAL_SOURCE), target), QString());
    QFile pdf(target);
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    const QByteArray bytes = pdf.readAll();
    QVERIFY(bytes.startsWith("%PDF"));
    QVERIFY(bytes.trimmed().endsWith("%%EOF"));
    // The manual runs to several pages; a layout that lost its text would fit on one.
    QVERIFY(bytes.count("/Type /Page\n") + bytes.count("/Type /Page ") > 3);

    QVERIFY(!renderManualFile(CORVANE_MANUAL_SOURCE, "/nonexistent/UsrMan.pdf").isEmpty());
    QVERIFY(!renderManualFile("/nonexistent/user-manual.md", target).isEmpty());
}

void TstManualRenderer::foundBesideOrInstalled_data() {
    QTest::addColumn<QStringList>("manuals"); // where UsrMan.pdf is, below a scratch prefix
    QTest::addColumn<QString>("expected");
    QTest::newRow("beside the program") << QStringList{"bin", "share/doc/corvane"} << "bin";
    QTest::newRow("installed") << QStringList{"share/doc/corvane"} << "share/doc/corvane";
    QTest::newRow("nowhere") << QStringList() << "bin";
}

void TstManualRenderer::foundBesideOrInstalled() {
    QFETCH(QStringList, manuals);
    QFETCH(QString, expected);
    QTemporaryDir prefix;
    QDir root(prefix.path());
    QVERIFY(root.mkpath(QStringLiteral("bin")));
    for (const QString &folder : manuals) {
        QVERIFY(root.mkpath(folder));
        QFile manual(root.filePath(folder + QStringLiteral("/UsrMan.pdf")));
        QVERIFY(manual.open(QIODevice::WriteOnly));
    }
    QCOMPARE(manualFolder(root.filePath(QStringLiteral("bin"))), root.filePath(expected));
}

QTEST_MAIN(TstManualRenderer)
#include "tst_manual_renderer.moc"
