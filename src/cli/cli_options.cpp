#include "cli_options.h"

#include "address_store.h"
#include "line_names.h"
#include "monitor.h"
#include "value_encoding.h"

#include <QSet>

namespace corvane {
namespace {

// The speeds the Options dialog offers.
const QList<int> kSpeeds{300, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 115200};
// The speeds a logger can be set to.
const QList<int> kLoggerSpeeds{300, 1200, 2400, 4800, 9600, 19200, 38400};
const QStringList kParities{QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd"),
                            QStringLiteral("Mark"), QStringLiteral("Space")};

std::optional<int> wholeNumber(const QString &text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.startsWith(QLatin1Char('+')) || text.trimmed() != text)
        return std::nullopt;
    return value;
}

std::optional<int> address(const QString &text) {
    const auto value = wholeNumber(text);
    if (!value || !AddressStore::isValidAddress(*value))
        return std::nullopt;
    return value;
}

bool refuse(QString *error, const QString &problem) {
    *error = problem;
    return false;
}

// Stores a flag's value in the options, or says in one line what is wrong with it. A switch
// is handed an empty value.
using FlagParser = bool (*)(CliOptions &options, const QString &value, QString *error);

template <bool CliOptions::*kField> bool turnOn(CliOptions &options, const QString &, QString *) {
    options.*kField = true;
    return true;
}

template <QString CliOptions::*kField>
bool keep(CliOptions &options, const QString &value, QString *) {
    options.*kField = value;
    return true;
}

// An empty name, as from a script's unset variable, would quietly mean no file at all: nothing
// saved or logged, or the broker trusted or logged into otherwise than meant.
bool fileName(QString &target, const QString &value, const char *flag, QString *error) {
    if (value.isEmpty())
        return refuse(error, QStringLiteral("%1 needs a file name").arg(QLatin1String(flag)));
    target = value;
    return true;
}

bool scanAddress(int &bound, const QString &value, const char *flag, QString *error) {
    const auto a = address(value);
    if (!a)
        return refuse(error, QStringLiteral("bad address '%1' for %2: addresses are 1 to 250")
                                 .arg(shownText(value), QLatin1String(flag)));
    bound = *a;
    return true;
}

// Every command takes the common flags, even before it is named.
const QStringList kCommon{QStringLiteral("common")};

// commands: their names, split by spaces.
QStringList takenBy(const char *commands) {
    const QStringList names = QString::fromLatin1(commands).split(QLatin1Char(' '));
    for ([[maybe_unused]] const QString &name : names)
        Q_ASSERT_X(kCliCommands.contains(name), "takenBy", qPrintable(name));
    return names;
}

struct CliFlag {
    const char *name;
    const char *argument; // what its value is called; nullptr for a switch
    QStringList commands; // the commands that take it, or kCommon
    // Its lines in the option list. A common flag without any is named on the list's last
    // line; a command's own flag without any is told of by the command's usage line.
    const char *help;
    FlagParser parse;
    // What to say when a command that takes it runs without it, or with it empty (%1: the
    // command).
    const char *missing = nullptr;
    // The flag without which it means nothing.
    const char *needs = nullptr;
};

// The order is the order of the help's option lists and of the checks after parsing: of the
// flags a command lacks, the first is the one the error names.
const QList<CliFlag> &cliFlags() {
    static const QList<CliFlag> flags{
        {"--port", "PATH", kCommon,
         "serial device (required); COM1..COM8 are /dev/ttyS0..7;\n"
         "tcp://HOST:PORT is a serial-to-Ethernet gateway",
         [](CliOptions &o, const QString &value, QString *error) {
             if (value.isEmpty())
                 return refuse(error, QStringLiteral("--port needs a device, such as /dev/ttyUSB0, "
                                                     "COM1 or tcp://HOST:PORT"));
             o.port = value;
             return true;
         }},
        {"--speed", "N", kCommon,
         "300, 1200, 2400, 4800, 9600 (default), 14400, 19200, 38400, 115200",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto speed = wholeNumber(value);
             if (!speed || !kSpeeds.contains(*speed))
                 return refuse(error, QStringLiteral("bad speed '%1': one of 300, 1200, 2400, "
                                                     "4800, 9600, 14400, 19200, 38400, 115200")
                                          .arg(shownText(value)));
             o.speed = *speed;
             return true;
         }},
        {"--parity", "P", kCommon, "none (default), even, odd, mark, space",
         [](CliOptions &o, const QString &value, QString *error) {
             for (const QString &name : kParities) {
                 if (value.compare(name, Qt::CaseInsensitive) == 0) {
                     o.parity = name;
                     return true;
                 }
             }
             return refuse(error, QStringLiteral("bad parity '%1': none, even, odd, mark or space")
                                      .arg(shownText(value)));
         }},
        {"--window", "MS", kCommon, "response window, default 500",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto window = wholeNumber(value);
             if (!window || *window < 1 || *window > 60000)
                 return refuse(
                     error, QStringLiteral("bad window '%1': 1 to 60000 ms").arg(shownText(value)));
             o.windowMs = *window;
             o.windowGiven = true;
             return true;
         }},
        {"--fast", nullptr, kCommon,
         "finish each request as soon as the reply is complete, and\n"
         "send each after the line's inter-frame silence",
         turnOn<&CliOptions::fast>},
        {"--direction", "D", kCommon,
         "who turns the RS-485 line round: corvane (RTS, default),\n"
         "driver (the kernel's RS-485 mode), adapter (automatic)",
         [](CliOptions &o, const QString &value, QString *error) {
             const qsizetype index = kLineDirectionNames.indexOf(value.toLower());
             if (index < 0)
                 return refuse(error, QStringLiteral("bad direction '%1': %2")
                                          .arg(shownText(value),
                                               kLineDirectionNames.join(QStringLiteral(", "))));
             o.direction = int(index);
             return true;
         }},
        {"--echo", nullptr, kCommon, "drop the echo of each request that the adapter sends back",
         turnOn<&CliOptions::ignoreEcho>},
        {"--retries", "N", kCommon,
         "send a request whose reply is missing, damaged, answers\n"
         "another request or is busy\n"
         "again up to N times (0 to 5, default 0)",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto retries = wholeNumber(value);
             if (!retries || *retries < 0 || *retries > 5)
                 return refuse(error,
                               QStringLiteral("bad retries '%1': 0 to 5").arg(shownText(value)));
             o.retries = *retries;
             return true;
         }},
        {"--address", "LIST", kCommon, "1 to 250, e.g. 7 or 1,7,20-25 (default 1)",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto addresses = parseAddressList(value, error);
             if (addresses)
                 o.addresses = *addresses;
             return addresses.has_value();
         }},
        {"--format", "F", kCommon, "text (default), json or csv",
         [](CliOptions &o, const QString &value, QString *error) {
             if (value == QLatin1String("text"))
                 o.format = CliOptions::Format::Text;
             else if (value == QLatin1String("json"))
                 o.format = CliOptions::Format::Json;
             else if (value == QLatin1String("csv"))
                 o.format = CliOptions::Format::Csv;
             else
                 return refuse(
                     error,
                     QStringLiteral("bad format '%1': text, json or csv").arg(shownText(value)));
             return true;
         }},
        {"--verbose", nullptr, kCommon,
         "the operator log and the program's own log lines on stderr",
         turnOn<&CliOptions::verbose>},
        {"--help", nullptr, kCommon, nullptr, turnOn<&CliOptions::help>},
        {"--version", nullptr, kCommon, nullptr, turnOn<&CliOptions::version>},

        {"--save", "FILE.dat", takenBy("read"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             return fileName(o.saveFile, value, "--save", error);
         }},
        {"--from", "FILE.dat", takenBy("write"), nullptr, keep<&CliOptions::fromFile>,
         "%1 needs --from FILE.dat"},
        {"--only", "GROUPS", takenBy("write"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             for (const QString &group : value.split(QLatin1Char(','))) {
                 if (!kWriteGroups.contains(group))
                     return refuse(error,
                                   QStringLiteral("bad group '%1' in --only: %2")
                                       .arg(shownText(group), kWriteGroups.join(QLatin1Char(','))));
                 if (!o.only.contains(group))
                     o.only << group;
             }
             return true;
         }},
        {"--time", "ISO8601", takenBy("set-clock"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             QString why;
             const std::optional<QDateTime> time = parseLoggerTime(value, &why);
             if (!time)
                 return refuse(error, QStringLiteral("bad time '%1': %2").arg(shownText(value), why));
             o.time = *time;
             return true;
         }},
        {"--from", "A", takenBy("scan"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             return scanAddress(o.scanFrom, value, "--from", error);
         }},
        {"--to", "B", takenBy("scan"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             return scanAddress(o.scanTo, value, "--to", error);
         }},
        {"--all-settings", nullptr, takenBy("scan"), nullptr, turnOn<&CliOptions::allSettings>},
        {"--csv", "OUT.csv", takenBy("export"), nullptr, keep<&CliOptions::csvFile>,
         "%1 needs --csv OUT.csv"},

        {"--interval", "SECONDS", takenBy("monitor"), "1 to 3600, default 60",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto seconds = wholeNumber(value);
             if (!seconds || *seconds < Monitor::kShortestIntervalSeconds ||
                 *seconds > Monitor::kLongestIntervalSeconds)
                 return refuse(error, QStringLiteral("bad interval '%1': %2 to %3 seconds")
                                          .arg(shownText(value))
                                          .arg(Monitor::kShortestIntervalSeconds)
                                          .arg(Monitor::kLongestIntervalSeconds));
             o.intervalSeconds = *seconds;
             return true;
         }},
        {"--csv", "FILE", takenBy("monitor"), "append the monitor's CSV to FILE instead",
         [](CliOptions &o, const QString &value, QString *error) {
             return fileName(o.csvFile, value, "--csv", error);
         }},
        {"--mqtt", "URL", takenBy("monitor"),
         "publish to a broker as well: mqtt://HOST[:PORT]/PREFIX,\n"
         "or mqtts:// for TLS. Each reading goes to\n"
         "PREFIX/ADDRESS/state at QoS 1; PREFIX/status and\n"
         "PREFIX/ADDRESS/availability are retained",
         [](CliOptions &o, const QString &value, QString *error) {
             o.mqtt = parseMqttTarget(value);
             // The $ topics are the broker's own: it takes every publish there and keeps none.
             if (o.mqtt && o.mqtt->prefix.startsWith(QLatin1Char('$')))
                 return refuse(error, QStringLiteral("bad MQTT URL '%1': a prefix that starts "
                                                     "with $ is the broker's own")
                                          .arg(shownText(value)));
             if (!o.mqtt)
                 return refuse(error, QStringLiteral("bad MQTT URL '%1': mqtt://HOST[:PORT]/PREFIX "
                                                     "or mqtts://HOST[:PORT]/PREFIX")
                                          .arg(shownText(value)));
             return true;
         }},
        {"--mqtt-ca", "FILE", takenBy("monitor"), "the CA certificate of an mqtts:// broker",
         [](CliOptions &o, const QString &value, QString *error) {
             return fileName(o.mqttCa, value, "--mqtt-ca", error);
         },
         nullptr, "--mqtt"},
        {"--mqtt-credentials", "FILE", takenBy("monitor"), "a file whose one line is user:password",
         [](CliOptions &o, const QString &value, QString *error) {
             return fileName(o.mqttCredentials, value, "--mqtt-credentials", error);
         },
         nullptr, "--mqtt"},
        {"--ha-discovery", nullptr, takenBy("monitor"), "publish Home Assistant discovery configs",
         turnOn<&CliOptions::haDiscovery>, nullptr, "--mqtt"},
        {"--mqtt-commands", nullptr, takenBy("monitor"),
         "take set-clock, read-now and identify from PREFIX/ADDRESS/command;\n"
         "needs --mqtt-credentials or an mqtts:// URL",
         turnOn<&CliOptions::mqttCommands>, nullptr, "--mqtt"},
        {"--mqtt-buffer", "N", takenBy("monitor"),
         "readings kept while the broker is away, default 10000;\n"
         "the oldest go first",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto readings = wholeNumber(value);
             if (!readings || *readings < 1 || *readings > 1000000)
                 return refuse(error, QStringLiteral("bad buffer '%1': 1 to 1000000 readings")
                                          .arg(shownText(value)));
             o.mqttBuffer = *readings;
             return true;
         },
         nullptr, "--mqtt"},

        {"--stop-bits", "N", takenBy("listen"), "1 (default) or 2",
         [](CliOptions &o, const QString &value, QString *error) {
             const auto bits = wholeNumber(value);
             if (!bits || (*bits != 1 && *bits != 2))
                 return refuse(error,
                               QStringLiteral("bad stop bits '%1': 1 or 2").arg(shownText(value)));
             o.stopBits = *bits;
             return true;
         }},
        {"--capture", "FILE", takenBy("listen"),
         "every frame heard, with its time, direction and hex, to a\n"
         "CSV file",
         [](CliOptions &o, const QString &value, QString *error) {
             return fileName(o.captureFile, value, "--capture", error);
         }},

        // Before the service commands' own flags: without the password nothing else matters.
        {"--service-password", "PASS", kServiceCommands, nullptr,
         keep<&CliOptions::servicePassword>, "%1 needs --service-password"},
        {"--new-address", "M", takenBy("set-address"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             const auto a = address(value);
             if (!a)
                 return refuse(error, QStringLiteral("bad address '%1' for --new-address: "
                                                     "addresses are 1 to 250")
                                          .arg(shownText(value)));
             o.newAddress = *a;
             return true;
         },
         "%1 needs --new-address N"},
        {"--new-speed", "N", takenBy("set-line"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             const auto speed = wholeNumber(value);
             if (!speed || !kLoggerSpeeds.contains(*speed))
                 return refuse(error, QStringLiteral("bad speed '%1' for --new-speed: one of "
                                                     "300, 1200, 2400, 4800, 9600, 19200, 38400")
                                          .arg(shownText(value)));
             o.newSpeed = *speed;
             return true;
         },
         "%1 needs --new-speed N and --new-parity P"},
        {"--new-parity", "none|even|odd", takenBy("set-line"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             for (const QString &name : kParities.first(3)) {
                 if (value.compare(name, Qt::CaseInsensitive) == 0) {
                     o.newParity = name;
                     return true;
                 }
             }
             return refuse(error, QStringLiteral("bad parity '%1' for --new-parity: none, even "
                                                 "or odd")
                                      .arg(shownText(value)));
         },
         "%1 needs --new-speed N and --new-parity P"},
        {"--code", "NNNN", takenBy("set-code"), nullptr,
         [](CliOptions &o, const QString &value, QString *error) {
             if (value.size() != 4)
                 return refuse(error, QStringLiteral("bad code '%1': the menu access code has 4 "
                                                     "characters")
                                          .arg(shownText(value)));
             o.code = value;
             return true;
         },
         "%1 needs --code NNNN"},
    };
    return flags;
}

bool takes(const CliFlag &flag, const QString &command) {
    return flag.commands == kCommon || flag.commands.contains(command);
}

// The flag of that name that the command takes: two commands may each have their own.
const CliFlag *takenFlag(const QString &name, const QString &command) {
    for (const CliFlag &flag : cliFlags()) {
        if (name == QLatin1String(flag.name) && takes(flag, command))
            return &flag;
    }
    return nullptr;
}

// The lines of the help that list a command's own flags, or with no command the common ones.
QString optionList(const QString &command = {}) {
    // The descriptions start in one column; a longer name pushes its own line's along.
    constexpr qsizetype kNameWidth = 19;
    const QString indent(2 + kNameWidth + 2, QLatin1Char(' '));
    QString list;
    QStringList unexplained;
    for (const CliFlag &flag : cliFlags()) {
        const bool common = flag.commands == kCommon;
        if (command.isEmpty() ? !common : common || !flag.commands.contains(command))
            continue;
        const QString name = QLatin1String(flag.name);
        if (!flag.help) {
            if (command.isEmpty())
                unexplained << name;
            continue;
        }
        QString left = name;
        if (flag.argument)
            left += QLatin1Char(' ') + QLatin1String(flag.argument);
        const QStringList lines = QString::fromLatin1(flag.help).split(QLatin1Char('\n'));
        list += QStringLiteral("  ") + left.leftJustified(kNameWidth) + QStringLiteral("  ") +
                lines.first() + QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            list += indent + lines.at(i) + QLatin1Char('\n');
    }
    if (!unexplained.isEmpty())
        list += QStringLiteral("  ") + unexplained.join(QStringLiteral(", ")) + QLatin1Char('\n');
    return list;
}

struct CommandHelp {
    const char *command;
    const char *usage;      // its usage line and what it does
    const char *after = ""; // what follows its own option list
    bool common = true;     // whether the common options follow
};

constexpr CommandHelp kCommandHelp[]{
    {.command = "identify",
     .usage = "Usage: corvane-cli identify --port PATH [options]\n\n"
              "Reads the logger's information: model, device ID, line settings, lock state.\n\n"},
    {.command = "read",
     .usage = "Usage: corvane-cli read --port PATH [--save FILE.dat] [options]\n\n"
              "Reads the parameter table. --save adds or replaces each address's record in\n"
              "the work file, which is created if missing.\n\n"},
    {.command = "counters",
     .usage = "Usage: corvane-cli counters --port PATH [options]\n\n"
              "Reads totals, tariff counters, battery, flow and input status.\n\n"},
    {.command = "write",
     .usage = "Usage: corvane-cli write --port PATH --from FILE.dat "
              "[--only unit,constant,user,text,tariffs,initial] [options]\n\n"
              "Writes the work file's record of each address given (--address) to its logger,\n"
              "with the window's checks. One line per row written or refused.\n\n"},
    {.command = "set-clock",
     .usage = "Usage: corvane-cli set-clock --port PATH [--time ISO8601] [options]\n\n"
              "Sets the logger's clock, to the PC's clock unless --time says otherwise.\n\n"},
    {.command = "scan",
     .usage = "Usage: corvane-cli scan --port PATH [--from A] [--to B] [--all-settings] "
              "[options]\n\n"
              "Finds the loggers on the line, at the port's speed and parity or, with\n"
              "--all-settings, at all 21. One line per logger found. --window sets the reply\n"
              "wait per address; by default it follows the speed.\n\n"},
    {.command = "monitor",
     .usage = "Usage: corvane-cli monitor --port PATH [--interval SECONDS] [--csv FILE]\n"
              "       [--mqtt URL [--mqtt-ca FILE] [--mqtt-credentials FILE]\n"
              "       [--ha-discovery] [--mqtt-buffer N] [--mqtt-commands]] [options]\n\n"
              "Reads the counters, battery and flow of each address every interval until\n"
              "SIGINT or SIGTERM, then finishes the request in flight and exits 0. Writes\n"
              "one JSON object per reading to stdout, one a line.\n\n",
     .after = "Exit code 3 also when the broker refuses the credentials.\n\n"},
    {.command = "listen",
     .usage = "Usage: corvane-cli listen --port PATH [--speed N] [--parity P] [--stop-bits N]\n"
              "       [--format text|json|csv] [--capture FILE]\n\n"
              "Listens to a line that another master drives and prints each exchange as it\n"
              "is settled: its time, address, function, register and count, the registers\n"
              "read or written, the verdict (ok, exception N, crc error, no reply,\n"
              "broadcast, no request), the reply time, what it reads or writes and, for a\n"
              "known block, each input's value. Bytes that form no frame are noise, with\n"
              "their length. Nothing is ever sent and RTS stays down. Runs until SIGINT or\n"
              "SIGTERM, then exits 0.\n\n",
     .after = "Exit code 3 also when the port's device goes away.\n\n"},
    {.command = "export",
     .usage = "Usage: corvane-cli export FILE.dat --csv OUT.csv\n\n"
              "Writes the parameter CSV of the work file, as the window's export does.\n"
              "Needs no port.\n",
     .common = false},
    {.command = "set-address",
     .usage = "Usage: corvane-cli set-address --port PATH --address N --new-address M "
              "--service-password PASS [options]\n\n"
              "Moves the logger at N to bus address M. The logger does not acknowledge it;\n"
              "identify it at M to check.\n\n"},
    {.command = "set-line",
     .usage = "Usage: corvane-cli set-line --port PATH --new-speed N --new-parity none|even|odd "
              "--service-password PASS [options]\n\n"
              "Sets the logger's speed and parity. It answers at the old settings, then\n"
              "switches: talk to it at the new ones afterwards.\n\n"},
    {.command = "lock",
     .usage = "Usage: corvane-cli lock --port PATH --service-password PASS [options]\n\n"
              "Locks the logger's keys.\n\n"},
    {.command = "unlock",
     .usage = "Usage: corvane-cli unlock --port PATH --service-password PASS [options]\n\n"
              "Unlocks the logger's keys.\n\n"},
    {.command = "read-code",
     .usage = "Usage: corvane-cli read-code --port PATH --service-password PASS [options]\n\n"
              "Reads the logger's menu access code.\n\n"},
    {.command = "set-code",
     .usage = "Usage: corvane-cli set-code --port PATH --code NNNN --service-password PASS "
              "[options]\n\n"
              "Sets the logger's menu access code (4 characters).\n\n"},
};

} // namespace

std::optional<QDateTime> parseLoggerTime(const QString &text, QString *problem) {
    const auto failed = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    // The logger's clock knows no zone and no daylight saving: a time without an offset is the
    // wall-clock time it is to show, also one that the PC's zone skips when its clocks go
    // forward.
    QDateTime time = QDateTime::fromString(text + QLatin1Char('Z'), Qt::ISODate);
    if (!time.isValid())
        time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid())
        return failed(QStringLiteral("ISO 8601, such as 2026-03-29T03:00:00"));
    // The clock counts the years from 2000 in seven bits, and the encoding the window shares
    // gives 2000 itself as 80: any other year would be written as another.
    if (const int year = time.date().year(); year < 2001 || year > 2099)
        return failed(QStringLiteral("the logger's clock holds the years 2001 to 2099"));
    return time;
}

LinkOptions linkOptions(const CliOptions &options) {
    LinkOptions line;
    line.responseWindow = std::chrono::milliseconds(options.windowMs);
    line.fast = options.fast;
    line.ignoreEcho = options.ignoreEcho;
    line.retries = options.retries;
    line.direction = TSerDirection(options.direction);
    return line;
}

CliParse parseCliArguments(const QStringList &arguments) {
    CliParse parse;
    CliOptions options;
    const auto fail = [&parse](const QString &problem) {
        parse.error = problem;
        return parse;
    };
    QStringList positional;
    QSet<QString> seen;
    // Given with a value that is not empty: an empty one counts as missing.
    QSet<QString> filled;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        if (!name.startsWith(QLatin1String("--"))) {
            positional << name;
            if (options.command.isEmpty())
                options.command = name;
            continue;
        }
        QString value;
        bool inlineValue = false;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq > 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inlineValue = true;
        }
        const CliFlag *flag = takenFlag(name, options.command);
        if (!flag)
            return fail(options.command.isEmpty() || !kCliCommands.contains(options.command)
                            ? QStringLiteral("unknown option %1").arg(shownText(name))
                            : QStringLiteral("%1 takes no option %2")
                                  .arg(shownText(options.command), shownText(name)));
        if (!flag->argument) {
            if (inlineValue)
                return fail(QStringLiteral("%1 takes no value").arg(shownText(name)));
        } else if (!inlineValue) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("%1 needs a value").arg(shownText(name)));
            value = arguments.at(++i);
        }
        if (seen.contains(name))
            return fail(QStringLiteral("%1 given twice").arg(shownText(name)));
        seen.insert(name);
        if (!value.isEmpty())
            filled.insert(name);
        if (QString problem; !flag->parse(options, value, &problem))
            return fail(problem);
    }

    if (options.version || (options.help && options.command.isEmpty())) {
        parse.options = options;
        return parse;
    }
    if (options.command.isEmpty())
        return fail(QStringLiteral("no command given: one of %1").arg(kCliCommands.join(u", ")));
    if (!kCliCommands.contains(options.command))
        return fail(QStringLiteral("unknown command '%1': one of %2")
                        .arg(shownText(options.command), kCliCommands.join(u", ")));
    if (options.help) {
        parse.options = options;
        return parse;
    }
    const bool exporting = options.command == QLatin1String("export");
    if (positional.size() > (exporting ? 2 : 1))
        return fail(QStringLiteral("unexpected argument '%1'").arg(shownText(positional.last())));
    if (exporting) {
        if (positional.size() < 2)
            return fail(QStringLiteral("export needs a work file: export FILE.dat --csv OUT.csv"));
        options.exportFile = positional.at(1);
    } else if (options.port.isEmpty()) {
        return fail(QStringLiteral("--port is required"));
    }
    for (const CliFlag &flag : cliFlags()) {
        if (flag.missing && takes(flag, options.command) &&
            !filled.contains(QLatin1String(flag.name)))
            return fail(QLatin1String(flag.missing).arg(shownText(options.command)));
    }
    if (options.command == QLatin1String("set-address") && options.addresses.size() != 1)
        return fail(QStringLiteral("set-address takes one --address: two loggers cannot "
                                   "share the new one"));
    for (const CliFlag &flag : cliFlags()) {
        if (!flag.needs || !takes(flag, options.command) ||
            !seen.contains(QLatin1String(flag.name)) || seen.contains(QLatin1String(flag.needs)))
            continue;
        QString needed = QLatin1String(flag.needs);
        if (const CliFlag *other = takenFlag(needed, options.command); other && other->argument)
            needed += QLatin1Char(' ') + QLatin1String(other->argument);
        return fail(QStringLiteral("%1 needs %2").arg(QLatin1String(flag.name), needed));
    }
    if (options.mqtt && !options.mqttCa.isEmpty() && !options.mqtt->tls)
        return fail(QStringLiteral("--mqtt-ca needs an mqtts:// URL"));
    // Anyone who reaches an anonymous broker could otherwise set the loggers' clocks.
    if (options.mqttCommands && options.mqtt && !options.mqtt->tls &&
        options.mqttCredentials.isEmpty())
        return fail(QStringLiteral("--mqtt-commands needs --mqtt-credentials FILE or an mqtts:// "
                                   "URL: an anonymous broker would let anyone set the clocks"));
    if (options.command == QLatin1String("scan") && options.scanFrom > options.scanTo)
        return fail(
            QStringLiteral("--from %1 is above --to %2").arg(options.scanFrom).arg(options.scanTo));
    parse.options = options;
    return parse;
}

QString cliUsage(const QString &command) {
    const QString common = QStringLiteral("Common options:\n") + optionList() +
                           QStringLiteral("\n"
                                          "Exit codes: 0 all went well, 1 a logger did not answer "
                                          "or refused, 2 usage error,\n"
                                          "3 the port cannot be opened.\n");
    for (const CommandHelp &help : kCommandHelp) {
        if (command != QLatin1String(help.command))
            continue;
        QString text = QLatin1String(help.usage);
        if (const QString own = optionList(command); !own.isEmpty())
            text += own + QLatin1Char('\n');
        text += QLatin1String(help.after);
        if (kServiceCommands.contains(command))
            text += QStringLiteral("Service commands need --service-password, the service page's "
                                   "password, and change\n"
                                   "nothing without the right one.\n\n");
        if (help.common)
            text += common;
        return text;
    }
    return QStringLiteral(
               "Usage: corvane-cli COMMAND [options]\n\n"
               "Commands:\n"
               "  identify    model, device ID, line settings and lock state\n"
               "  read        the parameter table (--save FILE.dat keeps it in a work file)\n"
               "  counters    totals, tariff counters, battery, flow, input status\n"
               "  write       a work file's record to the logger (--from FILE.dat)\n"
               "  set-clock   the logger's clock (--time ISO8601, default the PC's clock)\n"
               "  scan        find the loggers on the line\n"
               "  export      a work file's parameter CSV (offline)\n"
               "  monitor     read the counters every interval, as JSON lines or over MQTT\n"
               "  listen      decode what another master and the loggers say; sends nothing\n\n"
               "Service commands (--service-password):\n"
               "  set-address the logger's bus address (--new-address M)\n"
               "  set-line    the logger's speed and parity (--new-speed, --new-parity)\n"
               "  lock, unlock  the logger's keys\n"
               "  read-code, set-code  the menu access code (--code NNNN)\n\n"
               "corvane-cli COMMAND --help tells more.\n\n") +
           common;
}

} // namespace corvane
