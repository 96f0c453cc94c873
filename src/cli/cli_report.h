#pragma once

#include "cli_options.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <optional>

namespace corvane {

// What one address gave: a JSON object with numbers as numbers, from which the text and csv
// forms are made, or the reason it failed.
struct AddressResult {
    int address = 0;
    std::optional<QString> error;
    QJsonObject json;
    QByteArray csv;
    // Lines of its own text block (read, counters) or its rows of the common table.
    QList<QStringList> rows;
};

inline const char *const kProgram = "corvane-cli";

void printLine(std::FILE *stream, const QString &text);

// Columns padded to their widest cell; the first row is the header.
QString alignedTable(const QList<QStringList> &rows);

// Rows joined by ';', each ended by CR LF, in UTF-8.
QByteArray csvLines(const QList<QStringList> &rows);

// A value of a reading for JSON: a number, or null where the reading has none.
QJsonValue jsonNumber(const std::optional<int> &value);
QJsonValue jsonTenths(const std::optional<std::int32_t> &tenths);
QJsonValue jsonText(const std::optional<QString> &text);

// Results to out in the chosen format, failures to err, one line per address. Returns the exit
// code: LoggerFailed when any address failed.
int reportResults(const CliOptions &options, const QList<AddressResult> &results,
                  const QStringList &header, std::FILE *out, std::FILE *err);

} // namespace corvane
