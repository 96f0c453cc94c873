#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Lays out a Markdown text on A4 pages and gives the PDF. Needs a QGuiApplication (fonts).
QByteArray renderManualPdf(const QString &markdown, const QString &title,
                           const QString &imageFolder = QString());

// Renders the Markdown file `source` into the PDF file `target`, replacing it atomically.
// Returns an empty text on success, otherwise what went wrong.
QString renderManualFile(const QString &source, const QString &target);

// The folder holding UsrMan.pdf for the program in programFolder: that folder when the manual
// is beside the program, as in the build and a portable copy; else the package's documentation
// folder, share/doc/corvane under the program's prefix (/usr/bin gives /usr/share/doc/corvane);
// when neither holds it, programFolder, so that the report names the designed place.
QString manualFolder(const QString &programFolder);

} // namespace corvane
