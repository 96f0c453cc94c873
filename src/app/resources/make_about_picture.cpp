// Draws the About box picture and writes it as a JPEG. Run once by hand when the artwork
// changes; the result, about.jpg, is kept in the repository:
//   cmake --build BUILD --target corvane-make-about-picture
//   QT_QPA_PLATFORM=offscreen BUILD/src/app/corvane-make-about-picture src/app/resources/about.jpg
#include <QColor>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

constexpr int kWidth = 185;
constexpr int kHeight = 41;

QImage draw() {
    QImage image(kWidth, kHeight, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient background(0, 0, 0, kHeight);
    background.setColorAt(0, QColor(0xFF, 0xFF, 0xFF));
    background.setColorAt(1, QColor(0xE4, 0xEC, 0xF2));
    p.fillRect(image.rect(), background);

    // A pulse train as a logger input sees it: the counted pulses stand on the base line.
    const QColor teal(0x0E, 0x7C, 0x86);
    QPainterPath pulses;
    const double base = 30.5;
    const double top = 11.5;
    double x = 6.5;
    pulses.moveTo(x, base);
    for (const int gap : {5, 4, 7, 3, 6}) {
        x += gap;
        pulses.lineTo(x, base);
        pulses.lineTo(x, top);
        x += 4;
        pulses.lineTo(x, top);
        pulses.lineTo(x, base);
    }
    x += 5;
    pulses.lineTo(x, base);
    p.setPen(QPen(teal, 2.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(pulses);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(22);
    p.setFont(font);
    p.setPen(QColor(0x1F, 0x2D, 0x4D));
    p.drawText(QRectF(66, 4, kWidth - 70, 28), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Corvane"));

    p.setPen(QPen(teal, 1.5));
    p.drawLine(QPointF(68, 34.5), QPointF(kWidth - 8, 34.5));
    return image;
}

QByteArray encode(const QImage &image, int quality) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors); // errors here end this one-off tool, which is fine
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.constScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    QByteArray jpeg(reinterpret_cast<const char *>(buffer), qsizetype(size));
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return jpeg;
}

} // namespace

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: corvane-make-about-picture OUTPUT.jpg\n";
        return 2;
    }
    QFile out(QString::fromLocal8Bit(argv[1]));
    const QByteArray jpeg = encode(draw(), 92);
    if (!out.open(QIODevice::WriteOnly) || out.write(jpeg) != jpeg.size()) {
        err << "cannot write " << out.fileName() << '\n';
        return 1;
    }
    return 0;
}
