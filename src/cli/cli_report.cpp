#include "cli_report.h"

#include "cli_run.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace corvane {

void printLine(std::FILE *stream, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fputc('\n', stream);
}

QString alignedTable(const QList<QStringList> &rows) {
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.append(0);
            widths[c] = std::max(widths[c], row.at(c).size());
        }
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (c + 1 < row.size())
                line += row.at(c).leftJustified(widths[c] + 2);
            else
                line += row.at(c);
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

QByteArray csvLines(const QList<QStringList> &rows) {
    QByteArray bytes;
    for (const QStringList &row : rows)
        bytes += row.join(QLatin1Char(';')).toUtf8() + "\r\n";
    return bytes;
}

QJsonValue jsonNumber(const std::optional<int> &value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

// Exact to the last digit: a division by ten rounds as the decimal text of the value would.
QJsonValue jsonTenths(const std::optional<std::int32_t> &tenths) {
    return tenths ? QJsonValue(double(*tenths) / 10.0) : QJsonValue(QJsonValue::Null);
}

QJsonValue jsonText(const std::optional<QString> &text) {
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

int reportResults(const CliOptions &options, const QList<AddressResult> &results,
                  const QStringList &header, std::FILE *out, std::FILE *err) {
    bool failed = false;
    QJsonArray jsonResults;
    QJsonArray jsonErrors;
    QByteArray csv;
    QList<QStringList> table{header};
    QStringList blocks;
    const bool blockPerAddress =
        options.command == QLatin1String("read") || options.command == QLatin1String("counters");
    for (const AddressResult &result : results) {
        if (result.error) {
            failed = true;
            printLine(err, QStringLiteral("%1: address %2: %3")
                               .arg(QLatin1String(kProgram))
                               .arg(result.address)
                               .arg(*result.error));
            jsonErrors.append(QJsonObject{{QStringLiteral("address"), result.address},
                                          {QStringLiteral("error"), *result.error}});
            // A write still lists the rows it got to.
            if (options.command != QLatin1String("write") || result.rows.isEmpty())
                continue;
        }
        jsonResults.append(result.json);
        if (blockPerAddress) {
            blocks << QStringLiteral("Address %1: %2\n")
                              .arg(result.address)
                              .arg(result.json.value(QStringLiteral("model")).toString()) +
                          alignedTable(result.rows);
            csv += result.csv;
        } else {
            table << result.rows;
        }
    }
    switch (options.format) {
    case CliOptions::Format::Json: {
        const QJsonObject document{{QStringLiteral("command"), options.command},
                                   {QStringLiteral("results"), jsonResults},
                                   {QStringLiteral("errors"), jsonErrors}};
        const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), out);
        break;
    }
    case CliOptions::Format::Csv:
        if (!blockPerAddress)
            csv = csvLines(table);
        std::fwrite(csv.constData(), 1, std::size_t(csv.size()), out);
        break;
    case CliOptions::Format::Text:
        if (blockPerAddress) {
            if (!blocks.isEmpty())
                printLine(out, blocks.join(QStringLiteral("\n\n")));
        } else if (table.size() > 1) {
            printLine(out, alignedTable(table));
        }
        break;
    }
    std::fflush(out);
    return failed ? CliExit::LoggerFailed : CliExit::Ok;
}

} // namespace corvane
