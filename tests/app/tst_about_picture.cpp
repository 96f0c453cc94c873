#include "about_picture.h"

#include <QTest>

using namespace corvane;

class TstAboutPicture : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void builtInPicture();
    void damaged_data();
    void damaged();
};

void TstAboutPicture::builtInPicture() {
    const QImage picture = aboutPicture();
    QCOMPARE(picture.size(), QSize(185, 41));
    // White at the top left; the lettering is dark navy, so blue leads red in its darkest pixel.
    QVERIFY(qGray(picture.pixel(1, 1)) > 230);
    QRgb darkest = qRgb(255, 255, 255);
    for (int x = 66; x < 185; ++x) {
        if (qGray(picture.pixel(x, 20)) < qGray(darkest))
            darkest = picture.pixel(x, 20);
    }
    QVERIFY(qGray(darkest) < 80);
    QVERIFY(qBlue(darkest) > qRed(darkest) + 20);
}

void TstAboutPicture::damaged_data() {
    QTest::addColumn<QByteArray>("data");
    const QByteArray jpeg = aboutPictureJpeg();
    QVERIFY(jpeg.size() > 1000);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("this is not a picture");
    QTest::newRow("header only") << jpeg.left(200);
    QTest::newRow("cut in the middle") << jpeg.left(jpeg.size() / 2);
    QTest::newRow("end marker missing") << jpeg.chopped(2);
    QByteArray garbage = jpeg.left(20);
    for (int i = 0; i < 4000; ++i)
        garbage.append(char((i * 7919) % 251));
    QTest::newRow("header then garbage") << garbage;
    QByteArray bogusSize = jpeg;
    const qsizetype sof = bogusSize.indexOf("\xFF\xC0");
    QVERIFY(sof > 0);
    bogusSize[sof + 5] = char(0xFF); // height 65xxx
    bogusSize[sof + 7] = char(0xFF); // width 65xxx: far beyond the pixel limit
    QTest::newRow("huge dimensions") << bogusSize;
}

void TstAboutPicture::damaged() {
    QFETCH(QByteArray, data);
    QVERIFY(decodeJpeg(data).isNull());
}

QTEST_MAIN(TstAboutPicture)
#include "tst_about_picture.moc"
