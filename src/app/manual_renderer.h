#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Lays out a Markdown text on A4 pages and gives the PDF. Needs a QGuiApplication (fonts).
QByteArray renderManualPdf(const QString &markdown, const QString &title);

// Renders the Markdown file `source` into the PDF file `target`, replacing it atomically.
// Returns an empty text on success, otherwise what went wrong.
QString renderManualFile(const QString &source, const QString &target);

} // namespace corvane
