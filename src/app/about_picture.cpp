#include "about_picture.h"

#include <QFile>

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE
#include <memory>

#include <jpeglib.h>

// Q_INIT_RESOURCE must not sit inside a namespace. Calling it also keeps the linker from
// dropping the picture out of the static library.
static void initAppcoreResources() {
    Q_INIT_RESOURCE(appcore);
}

namespace corvane {
namespace {

struct Decoder {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    std::jmp_buf jump;
};

// libjpeg's default reaction to an error is exit(). Jump back into decodeInto() instead.
[[noreturn]] void onJpegError(j_common_ptr info) {
    Decoder *decoder = static_cast<Decoder *>(info->client_data);
    std::longjmp(decoder->jump, 1);
}

// A stream that ends early or holds corrupt data is only a warning to libjpeg, which then
// pads the picture with grey. A damaged picture is treated as no picture at all.
void onJpegMessage(j_common_ptr info, int level) {
    if (level < 0)
        onJpegError(info);
}

// No object with a destructor may live between the setjmp and the libjpeg calls that can
// jump back to it; the decoder state is on the heap so its value is defined after the jump.
bool decodeInto(const QByteArray &jpeg, QImage *image) {
    const auto decoder = std::make_unique<Decoder>();
    jpeg_decompress_struct *info = &decoder->info;
    info->err = jpeg_std_error(&decoder->errors);
    decoder->errors.error_exit = onJpegError;
    decoder->errors.emit_message = onJpegMessage;
    info->client_data = decoder.get();
    if (setjmp(decoder->jump)) {
        jpeg_destroy_decompress(info);
        return false;
    }
    jpeg_create_decompress(info);
    jpeg_mem_src(info, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(info, TRUE);

    QImage::Format format = QImage::Format_Invalid;
    if (info->num_components == 1) {
        info->out_color_space = JCS_GRAYSCALE;
        format = QImage::Format_Grayscale8;
    } else if (info->num_components == 3 &&
               (info->jpeg_color_space == JCS_YCbCr || info->jpeg_color_space == JCS_RGB)) {
        info->out_color_space = JCS_RGB;
        format = QImage::Format_RGB888;
    }
    if (format == QImage::Format_Invalid ||
        qint64(info->image_width) * qint64(info->image_height) > kMaxJpegPixels) {
        jpeg_destroy_decompress(info);
        return false;
    }

    jpeg_start_decompress(info);
    *image = QImage(int(info->output_width), int(info->output_height), format);
    const int components = format == QImage::Format_Grayscale8 ? 1 : 3;
    if (image->isNull() || info->output_components != components) {
        jpeg_destroy_decompress(info);
        return false;
    }
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = image->scanLine(int(info->output_scanline));
        if (jpeg_read_scanlines(info, &row, 1) != 1) {
            jpeg_destroy_decompress(info);
            return false;
        }
    }
    jpeg_finish_decompress(info);
    jpeg_destroy_decompress(info);
    return true;
}

} // namespace

QImage decodeJpeg(const QByteArray &jpeg) {
    QImage image;
    if (!decodeInto(jpeg, &image))
        return QImage();
    return image;
}

QByteArray aboutPictureJpeg() {
    static const bool registered = (initAppcoreResources(), true);
    Q_UNUSED(registered);
    QFile file(QStringLiteral(":/corvane/about.jpg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage aboutPicture() {
    return decodeJpeg(aboutPictureJpeg());
}

} // namespace corvane
