#include "manual_renderer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace corvane;

class TstManualRenderer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rendersPdfFile();
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

QTEST_MAIN(TstManualRenderer)
#include "tst_manual_renderer.moc"
