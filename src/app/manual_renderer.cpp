#include "manual_renderer.h"

#include "atomic_file.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>

namespace corvane {

QByteArray renderManualPdf(const QString &markdown, const QString &title,
                           const QString &imageFolder) {
    QByteArray pdf;
    {
        QBuffer buffer(&pdf);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter writer(&buffer);
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("Corvane"));
        writer.setResolution(300);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(20, 18, 20, 18), QPageLayout::Millimeter));

        QTextDocument document;
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSizeF(10);
        document.setDefaultFont(font);
        // Pictures are named relative to the manual's own folder.
        if (!imageFolder.isEmpty())
            document.setBaseUrl(
                QUrl::fromLocalFile(QDir(imageFolder).absolutePath() + QLatin1Char('/')));
        document.setMarkdown(markdown);
        // print() paginates the document on the writer's pages and numbers them.
        document.print(&writer);
    }
    return pdf;
}

QString renderManualFile(const QString &source, const QString &target) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
    const QString markdown = QString::fromUtf8(in.readAll());
    const QByteArray pdf = renderManualPdf(markdown, QStringLiteral("Corvane user manual"),
                                           QFileInfo(source).absolutePath());
    if (!pdf.startsWith("%PDF"))
        return QStringLiteral("no PDF was produced");
    if (!replaceFile(target, pdf))
        return QStringLiteral("cannot write %1").arg(target);
    return QString();
}

QString manualFolder(const QString &programFolder) {
    const QString name = QStringLiteral("UsrMan.pdf");
    const QDir beside(programFolder);
    if (beside.exists(name))
        return programFolder;
    const QString installed =
        QDir::cleanPath(beside.absoluteFilePath(QStringLiteral("../share/doc/corvane")));
    if (QDir(installed).exists(name))
        return installed;
    return programFolder;
}

} // namespace corvane
