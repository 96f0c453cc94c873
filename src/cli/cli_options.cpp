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

// Which flags each command takes besides the common ones.
QStringList commandFlags(const QString &command) {
    if (command == QLatin1String("read"))
        return {QStringLiteral("--save")};
    if (command == QLatin1String("write"))
        return {QStringLiteral("--from"), QStringLiteral("--only")};
    if (command == QLatin1String("set-clock"))
        return {QStringLiteral("--time")};
    if (command == QLatin1String("scan"))
        return {QStringLiteral("--from"), QStringLiteral("--to"), QStringLiteral("--all-settings")};
    if (command == QLatin1String("export"))
        return {QStringLiteral("--csv")};
    if (command == QLatin1String("monitor"))
        return {QStringLiteral("--interval"),     QStringLiteral("--csv"),
                QStringLiteral("--mqtt"),         QStringLiteral("--mqtt-ca"),
                QStringLiteral("--mqtt-credentials"), QStringLiteral("--ha-discovery"),
                QStringLiteral("--mqtt-buffer")};
    QStringList flags;
    if (kServiceCommands.contains(command))
        flags << QStringLiteral("--service-password");
    if (command == QLatin1String("set-address"))
        flags << QStringLiteral("--new-address");
    if (command == QLatin1String("set-line"))
        flags << QStringLiteral("--new-speed") << QStringLiteral("--new-parity");
    if (command == QLatin1String("set-code"))
        flags << QStringLiteral("--code");
    return flags;
}

const QStringList kCommonFlags{
    QStringLiteral("--port"),      QStringLiteral("--speed"), QStringLiteral("--parity"),
    QStringLiteral("--window"),    QStringLiteral("--fast"),  QStringLiteral("--address"),
    QStringLiteral("--format"),    QStringLiteral("--help"),  QStringLiteral("--version"),
    QStringLiteral("--direction"), QStringLiteral("--echo"),  QStringLiteral("--retries"),
    QStringLiteral("--verbose")};
const QSet<QString> kSwitches{QStringLiteral("--fast"), QStringLiteral("--all-settings"),
                              QStringLiteral("--help"), QStringLiteral("--version"),
                              QStringLiteral("--echo"), QStringLiteral("--verbose"),
                              QStringLiteral("--ha-discovery")};

} // namespace

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
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString flag = arguments.at(i);
        if (!flag.startsWith(QLatin1String("--"))) {
            positional << flag;
            if (options.command.isEmpty())
                options.command = flag;
            continue;
        }
        QString value;
        bool inlineValue = false;
        if (const qsizetype eq = flag.indexOf(QLatin1Char('=')); eq > 0) {
            value = flag.mid(eq + 1);
            flag = flag.left(eq);
            inlineValue = true;
        }
        const bool known =
            kCommonFlags.contains(flag) ||
            (!options.command.isEmpty() && commandFlags(options.command).contains(flag));
        if (!known)
            return fail(options.command.isEmpty() || !kCliCommands.contains(options.command)
                            ? QStringLiteral("unknown option %1").arg(shownText(flag))
                            : QStringLiteral("%1 takes no option %2")
                                  .arg(shownText(options.command), shownText(flag)));
        if (kSwitches.contains(flag)) {
            if (inlineValue)
                return fail(QStringLiteral("%1 takes no value").arg(shownText(flag)));
        } else if (!inlineValue) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("%1 needs a value").arg(shownText(flag)));
            value = arguments.at(++i);
        }
        if (seen.contains(flag))
            return fail(QStringLiteral("%1 given twice").arg(shownText(flag)));
        seen.insert(flag);

        if (flag == QLatin1String("--help")) {
            options.help = true;
        } else if (flag == QLatin1String("--version")) {
            options.version = true;
        } else if (flag == QLatin1String("--fast")) {
            options.fast = true;
        } else if (flag == QLatin1String("--echo")) {
            options.ignoreEcho = true;
        } else if (flag == QLatin1String("--verbose")) {
            options.verbose = true;
        } else if (flag == QLatin1String("--retries")) {
            const auto retries = wholeNumber(value);
            if (!retries || *retries < 0 || *retries > 5)
                return fail(QStringLiteral("bad retries '%1': 0 to 5").arg(shownText(value)));
            options.retries = *retries;
        } else if (flag == QLatin1String("--direction")) {
            const qsizetype index = kLineDirectionNames.indexOf(value.toLower());
            if (index < 0)
                return fail(
                    QStringLiteral("bad direction '%1': %2")
                        .arg(shownText(value), kLineDirectionNames.join(QStringLiteral(", "))));
            options.direction = int(index);
        } else if (flag == QLatin1String("--all-settings")) {
            options.allSettings = true;
        } else if (flag == QLatin1String("--port")) {
            if (value.isEmpty())
                return fail(QStringLiteral("--port needs a device, such as /dev/ttyUSB0, COM1 or "
                                           "tcp://HOST:PORT"));
            options.port = value;
        } else if (flag == QLatin1String("--speed")) {
            const auto speed = wholeNumber(value);
            if (!speed || !kSpeeds.contains(*speed))
                return fail(QStringLiteral("bad speed '%1': one of 300, 1200, 2400, 4800, 9600, "
                                           "14400, 19200, 38400, 115200")
                                .arg(shownText(value)));
            options.speed = *speed;
        } else if (flag == QLatin1String("--parity")) {
            QString parity;
            for (const QString &name : kParities) {
                if (value.compare(name, Qt::CaseInsensitive) == 0)
                    parity = name;
            }
            if (parity.isEmpty())
                return fail(QStringLiteral("bad parity '%1': none, even, odd, mark or space")
                                .arg(shownText(value)));
            options.parity = parity;
        } else if (flag == QLatin1String("--window")) {
            const auto window = wholeNumber(value);
            if (!window || *window < 1 || *window > 60000)
                return fail(QStringLiteral("bad window '%1': 1 to 60000 ms").arg(shownText(value)));
            options.windowMs = *window;
            options.windowGiven = true;
        } else if (flag == QLatin1String("--address")) {
            QString problem;
            const auto addresses = parseAddressList(value, &problem);
            if (!addresses)
                return fail(problem);
            options.addresses = *addresses;
        } else if (flag == QLatin1String("--format")) {
            if (value == QLatin1String("text"))
                options.format = CliOptions::Format::Text;
            else if (value == QLatin1String("json"))
                options.format = CliOptions::Format::Json;
            else if (value == QLatin1String("csv"))
                options.format = CliOptions::Format::Csv;
            else
                return fail(
                    QStringLiteral("bad format '%1': text, json or csv").arg(shownText(value)));
        } else if (flag == QLatin1String("--save")) {
            options.saveFile = value;
        } else if (flag == QLatin1String("--only")) {
            for (const QString &group : value.split(QLatin1Char(','))) {
                if (!kWriteGroups.contains(group))
                    return fail(QStringLiteral("bad group '%1' in --only: %2")
                                    .arg(shownText(group), kWriteGroups.join(QLatin1Char(','))));
                if (!options.only.contains(group))
                    options.only << group;
            }
        } else if (flag == QLatin1String("--time")) {
            // The logger's clock knows no zone and no daylight saving: a time without an
            // offset is the wall-clock time it is to show, also one that the PC's zone skips
            // when its clocks go forward.
            QDateTime time = QDateTime::fromString(value + QLatin1Char('Z'), Qt::ISODate);
            if (!time.isValid())
                time = QDateTime::fromString(value, Qt::ISODate);
            if (!time.isValid())
                return fail(QStringLiteral("bad time '%1': ISO 8601, such as 2026-03-29T03:00:00")
                                .arg(shownText(value)));
            options.time = time;
        } else if (flag == QLatin1String("--from") && options.command == QLatin1String("write")) {
            options.fromFile = value;
        } else if (flag == QLatin1String("--from") || flag == QLatin1String("--to")) {
            const auto a = address(value);
            if (!a)
                return fail(QStringLiteral("bad address '%1' for %2: addresses are 1 to 250")
                                .arg(shownText(value), shownText(flag)));
            (flag == QLatin1String("--from") ? options.scanFrom : options.scanTo) = *a;
        } else if (flag == QLatin1String("--csv")) {
            options.csvFile = value;
        } else if (flag == QLatin1String("--interval")) {
            const auto seconds = wholeNumber(value);
            if (!seconds || *seconds < Monitor::kShortestIntervalSeconds ||
                *seconds > Monitor::kLongestIntervalSeconds)
                return fail(QStringLiteral("bad interval '%1': %2 to %3 seconds")
                                .arg(shownText(value))
                                .arg(Monitor::kShortestIntervalSeconds)
                                .arg(Monitor::kLongestIntervalSeconds));
            options.intervalSeconds = *seconds;
        } else if (flag == QLatin1String("--mqtt")) {
            options.mqtt = parseMqttTarget(value);
            if (!options.mqtt)
                return fail(QStringLiteral("bad MQTT URL '%1': mqtt://HOST[:PORT]/PREFIX or "
                                           "mqtts://HOST[:PORT]/PREFIX")
                                .arg(shownText(value)));
        } else if (flag == QLatin1String("--mqtt-ca")) {
            options.mqttCa = value;
        } else if (flag == QLatin1String("--mqtt-credentials")) {
            options.mqttCredentials = value;
        } else if (flag == QLatin1String("--ha-discovery")) {
            options.haDiscovery = true;
        } else if (flag == QLatin1String("--mqtt-buffer")) {
            const auto readings = wholeNumber(value);
            if (!readings || *readings < 1 || *readings > 1000000)
                return fail(QStringLiteral("bad buffer '%1': 1 to 1000000 readings")
                                .arg(shownText(value)));
            options.mqttBuffer = *readings;
        } else if (flag == QLatin1String("--service-password")) {
            options.servicePassword = value;
        } else if (flag == QLatin1String("--new-address")) {
            const auto a = address(value);
            if (!a)
                return fail(QStringLiteral("bad address '%1' for --new-address: addresses are 1 "
                                           "to 250")
                                .arg(shownText(value)));
            options.newAddress = *a;
        } else if (flag == QLatin1String("--new-speed")) {
            const auto speed = wholeNumber(value);
            if (!speed || !kLoggerSpeeds.contains(*speed))
                return fail(QStringLiteral("bad speed '%1' for --new-speed: one of 300, 1200, "
                                           "2400, 4800, 9600, 19200, 38400")
                                .arg(shownText(value)));
            options.newSpeed = *speed;
        } else if (flag == QLatin1String("--new-parity")) {
            for (const QString &name : kParities.first(3)) {
                if (value.compare(name, Qt::CaseInsensitive) == 0)
                    options.newParity = name;
            }
            if (options.newParity.isEmpty())
                return fail(QStringLiteral("bad parity '%1' for --new-parity: none, even or odd")
                                .arg(shownText(value)));
        } else if (flag == QLatin1String("--code")) {
            if (value.size() != 4)
                return fail(QStringLiteral("bad code '%1': the menu access code has 4 characters")
                                .arg(shownText(value)));
            options.code = value;
        }
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
        if (options.csvFile.isEmpty())
            return fail(QStringLiteral("export needs --csv OUT.csv"));
        options.exportFile = positional.at(1);
    } else if (options.port.isEmpty()) {
        return fail(QStringLiteral("--port is required"));
    }
    if (kServiceCommands.contains(options.command) && options.servicePassword.isEmpty())
        return fail(QStringLiteral("%1 needs --service-password").arg(shownText(options.command)));
    if (options.command == QLatin1String("set-address")) {
        if (options.newAddress == 0)
            return fail(QStringLiteral("set-address needs --new-address N"));
        if (options.addresses.size() != 1)
            return fail(QStringLiteral("set-address takes one --address: two loggers cannot "
                                       "share the new one"));
    }
    if (options.command == QLatin1String("set-line") &&
        (options.newSpeed == 0 || options.newParity.isEmpty()))
        return fail(QStringLiteral("set-line needs --new-speed N and --new-parity P"));
    if (options.command == QLatin1String("set-code") && options.code.isEmpty())
        return fail(QStringLiteral("set-code needs --code NNNN"));
    if (options.command == QLatin1String("write") && options.fromFile.isEmpty())
        return fail(QStringLiteral("write needs --from FILE.dat"));
    if (!options.mqtt) {
        for (const char *needsBroker :
             {"--mqtt-ca", "--mqtt-credentials", "--ha-discovery", "--mqtt-buffer"}) {
            if (seen.contains(QLatin1String(needsBroker)))
                return fail(QStringLiteral("%1 needs --mqtt URL").arg(QLatin1String(needsBroker)));
        }
    } else if (!options.mqttCa.isEmpty() && !options.mqtt->tls) {
        return fail(QStringLiteral("--mqtt-ca needs an mqtts:// URL"));
    }
    if (options.command == QLatin1String("scan") && options.scanFrom > options.scanTo)
        return fail(
            QStringLiteral("--from %1 is above --to %2").arg(options.scanFrom).arg(options.scanTo));
    parse.options = options;
    return parse;
}

QString cliUsage(const QString &command) {
    const QString common = QStringLiteral(
        "Common options:\n"
        "  --port PATH          serial device (required); COM1..COM8 are /dev/ttyS0..7;\n"
        "                       tcp://HOST:PORT is a serial-to-Ethernet gateway\n"
        "  --speed N            300, 1200, 2400, 4800, 9600 (default), 14400, 19200, 38400, "
        "115200\n"
        "  --parity P           none (default), even, odd, mark, space\n"
        "  --window MS          response window, default 500\n"
        "  --fast               finish each request as soon as the reply is complete, and\n"
        "                       send each after the line's inter-frame silence\n"
        "  --direction D        who turns the RS-485 line round: corvane (RTS, default),\n"
        "                       driver (the kernel's RS-485 mode), adapter (automatic)\n"
        "  --echo               drop the echo of each request that the adapter sends back\n"
        "  --retries N          send a request whose reply is missing, damaged, answers\n"
        "                       another request or is busy\n"
        "                       again up to N times (0 to 5, default 0)\n"
        "  --address LIST       1 to 250, e.g. 7 or 1,7,20-25 (default 1)\n"
        "  --format F           text (default), json or csv\n"
        "  --verbose            the operator log and the program's own log lines on stderr\n"
        "  --help, --version\n"
        "\n"
        "Exit codes: 0 all went well, 1 a logger did not answer or refused, 2 usage error,\n"
        "3 the port cannot be opened.\n");
    if (command == QLatin1String("identify"))
        return QStringLiteral("Usage: corvane-cli identify --port PATH [options]\n\n"
                              "Reads the logger's information: model, device ID, line settings, "
                              "lock state.\n\n") +
               common;
    if (command == QLatin1String("read"))
        return QStringLiteral("Usage: corvane-cli read --port PATH [--save FILE.dat] [options]\n\n"
                              "Reads the parameter table. --save adds or replaces each "
                              "address's record in\nthe work file, which is created if "
                              "missing.\n\n") +
               common;
    if (command == QLatin1String("counters"))
        return QStringLiteral("Usage: corvane-cli counters --port PATH [options]\n\n"
                              "Reads totals, tariff counters, battery, flow and input "
                              "status.\n\n") +
               common;
    if (command == QLatin1String("write"))
        return QStringLiteral(
                   "Usage: corvane-cli write --port PATH --from FILE.dat "
                   "[--only unit,constant,user,text,tariffs,initial] [options]\n\n"
                   "Writes the work file's record of each address given (--address) to its "
                   "logger,\nwith the window's checks. One line per row written or "
                   "refused.\n\n") +
               common;
    if (command == QLatin1String("set-clock"))
        return QStringLiteral("Usage: corvane-cli set-clock --port PATH [--time ISO8601] "
                              "[options]\n\n"
                              "Sets the logger's clock, to the PC's clock unless --time "
                              "says otherwise.\n\n") +
               common;
    if (command == QLatin1String("scan"))
        return QStringLiteral("Usage: corvane-cli scan --port PATH [--from A] [--to B] "
                              "[--all-settings] [options]\n\n"
                              "Finds the loggers on the line, at the port's speed and parity or, "
                              "with\n--all-settings, at all 21. One line per logger found. "
                              "--window sets the reply\nwait per address; by default it follows "
                              "the speed.\n\n") +
               common;
    if (command == QLatin1String("monitor"))
        return QStringLiteral(
                   "Usage: corvane-cli monitor --port PATH [--interval SECONDS] [--csv FILE]\n"
                   "       [--mqtt URL [--mqtt-ca FILE] [--mqtt-credentials FILE]\n"
                   "       [--ha-discovery] [--mqtt-buffer N]] [options]\n\n"
                   "Reads the counters, battery and flow of each address every interval until\n"
                   "SIGINT or SIGTERM, then finishes the request in flight and exits 0. Writes\n"
                   "one JSON object per reading to stdout, one a line.\n\n"
                   "  --interval SECONDS   1 to 3600, default 60\n"
                   "  --csv FILE           append the monitor's CSV to FILE instead\n"
                   "  --mqtt URL           publish to a broker as well: mqtt://HOST[:PORT]/PREFIX,\n"
                   "                       or mqtts:// for TLS. Each reading goes to\n"
                   "                       PREFIX/ADDRESS/state at QoS 1; PREFIX/status and\n"
                   "                       PREFIX/ADDRESS/availability are retained\n"
                   "  --mqtt-ca FILE       the CA certificate of an mqtts:// broker\n"
                   "  --mqtt-credentials FILE  a file whose one line is user:password\n"
                   "  --ha-discovery       publish Home Assistant discovery configs\n"
                   "  --mqtt-buffer N      readings kept while the broker is away, default 10000;\n"
                   "                       the oldest go first\n\n"
                   "Exit code 3 also when the broker refuses the credentials.\n\n") +
               common;
    if (command == QLatin1String("export"))
        return QStringLiteral("Usage: corvane-cli export FILE.dat --csv OUT.csv\n\n"
                              "Writes the parameter CSV of the work file, as the window's "
                              "export does.\nNeeds no port.\n");
    const QString service = QStringLiteral(
        "Service commands need --service-password, the service page's password, and change\n"
        "nothing without the right one.\n\n");
    if (command == QLatin1String("set-address"))
        return QStringLiteral("Usage: corvane-cli set-address --port PATH --address N "
                              "--new-address M --service-password PASS [options]\n\n"
                              "Moves the logger at N to bus address M. The logger does not "
                              "acknowledge it;\nidentify it at M to check.\n\n") +
               service + common;
    if (command == QLatin1String("set-line"))
        return QStringLiteral("Usage: corvane-cli set-line --port PATH --new-speed N "
                              "--new-parity none|even|odd --service-password PASS [options]\n\n"
                              "Sets the logger's speed and parity. It answers at the old "
                              "settings, then\nswitches: talk to it at the new ones "
                              "afterwards.\n\n") +
               service + common;
    if (command == QLatin1String("lock") || command == QLatin1String("unlock"))
        return QStringLiteral("Usage: corvane-cli %1 --port PATH --service-password PASS "
                              "[options]\n\n%2 the logger's keys.\n\n")
                   .arg(command, command == QLatin1String("lock") ? QStringLiteral("Locks")
                                                                  : QStringLiteral("Unlocks")) +
               service + common;
    if (command == QLatin1String("read-code"))
        return QStringLiteral("Usage: corvane-cli read-code --port PATH --service-password PASS "
                              "[options]\n\nReads the logger's menu access code.\n\n") +
               service + common;
    if (command == QLatin1String("set-code"))
        return QStringLiteral("Usage: corvane-cli set-code --port PATH --code NNNN "
                              "--service-password PASS [options]\n\n"
                              "Sets the logger's menu access code (4 characters).\n\n") +
               service + common;
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
               "  monitor     read the counters every interval, as JSON lines or over MQTT\n\n"
               "Service commands (--service-password):\n"
               "  set-address the logger's bus address (--new-address M)\n"
               "  set-line    the logger's speed and parity (--new-speed, --new-parity)\n"
               "  lock, unlock  the logger's keys\n"
               "  read-code, set-code  the menu access code (--code NNNN)\n\n"
               "corvane-cli COMMAND --help tells more.\n\n") +
           common;
}

} // namespace corvane
