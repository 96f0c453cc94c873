#pragma once

#include "cli_view.h"

#include <QStringList>

#include <cstdio>

namespace corvane {

namespace CliExit {
inline constexpr int Ok = 0;
inline constexpr int LoggerFailed = 1;
inline constexpr int Usage = 2;
inline constexpr int PortFailed = 3;
} // namespace CliExit

// Runs corvane-cli with these arguments (without the program's name), writing results to out
// and errors, one line each, to err. Returns the exit code. Needs a QCoreApplication.
// operatorLog receives the operator log's lines; logToCategory when left empty.
int runCli(const QStringList &arguments, std::FILE *out, std::FILE *err, LogSink operatorLog = {});

} // namespace corvane
