#include "sim_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cmath>

namespace corvane {
namespace {

// Lines below the option list of --help.
const char *const kHelpTail = R"(
Each logger answers at its bus address only; without --slave one QTR-8D answers at address 1.
Without --device the simulator creates a pseudo-terminal, prints its path on standard output
and answers there until SIGINT or SIGTERM.

With --bus-copy PATH every byte on the line, the master's requests and the loggers' replies in
the order they passed, goes to a second pseudo-terminal as well, linked at PATH, as a listener
tapped onto the cable would hear it; the echo of --echo is not on the cable and is not copied.
Bytes pass while a listener holds the copy open, and are dropped while nobody does.

With --tcp-listen it acts as a serial-to-Ethernet gateway in transparent mode instead: it
listens on 127.0.0.1 at PORT (0: a free port), prints the port on standard output, and the
bytes of the connection are the bus (Corvane's port name tcp://127.0.0.1:PORT). Every logger
hears every frame, whatever its --line. One client at a time: a second connection is accepted
by the system but waits, unanswered, until the first one closes.

Line settings (--line SPEED,PARITY after a --slave, e.g. --slave 9:QTR-4D --line 19200,even):
SPEED is 300, 1200, 2400, 4800, 9600, 19200 or 38400, or 115200, which no real logger can be
set to but which measures a fast line; PARITY none, even or odd; a logger without --line
listens at 9600,none. On the pseudo-terminal (which starts at 9600,none) a
logger hears only a master that has set its speed and parity: at other settings it neither
acts nor answers. The line service command changes them once its acknowledgement is out. On
--device every logger hears the port's --speed and --parity.

Line time (--line-time): a logger takes a request as received only once its characters have
passed on the line at the logger's speed and parity, and sends its reply at that speed, each
byte as it has passed. A character is a start bit, 8 data bits, the parity bit unless parity
is none, and the stop bits: 10 bits at 9600,none. A request to an address without a logger,
and a broadcast, pass at what the master set on the pseudo-terminal, elsewhere at 9600,none.
The pauses of the delay and split faults come on top. It is meant for the pseudo-terminal and
TCP: on --device the port's UART takes that time as well. --turnaround MS is the logger's own
time between a request received and the first byte of its reply. With --echo the master hears
every request it sends, then the reply if there is one, as through a 2-wire adapter; with
--line-time the echo comes as the request's bytes pass. Without these options the loggers
answer as soon as a request has been read.

Faults (--fault, repeatable): KIND[=VALUE][,KEY=VALUE...]
  no-reply              stay silent
  delay=MS              answer MS milliseconds late (default 800)
  bad-crc               a reply whose CRC does not check
  exception=CODE        the Modbus exception CODE instead of the answer (default 4)
  leading-zeros=N       N 0x00 bytes before the reply (default 2)
  filler                one 0x00 byte after the reply
  split=PARTS           the reply in PARTS writes (default 3), pause=MS between them (20)
  wrong-address=ADDR    the reply from bus address ADDR (default: the next address)
  Keys narrow a fault to slave=ADDR, function=CODE, register=REG (the register a read or
  write covers, the record number of a file record, the sub-code of function 0x47), and
  times=N limits how often it fires. Numbers may be hexadecimal (0x...).
  Example: --fault exception=2,function=3,register=0x8008 --fault delay=900,times=1

Pulse rates (--pulse-rate, repeatable): RATE for every input of every logger, ADDR:RATE for
every input of one logger, ADDR:INPUT:RATE for one input; in pulses per second. Without it
every input counts 1 pulse per second.
)";

// Far beyond any master's response window.
constexpr std::chrono::milliseconds kLongestTurnaround{60000};

std::optional<int> parseInt(const QString &text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 0);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<double> parseDouble(const QString &text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

std::optional<SlaveOption> parseSlave(const QString &text) {
    const QStringList parts = text.split(u':');
    if (parts.size() != 2)
        return std::nullopt;
    const auto address = parseInt(parts[0]);
    const auto model = modelFromName(parts[1].trimmed());
    if (!address || *address < 1 || *address > kHighestBusAddress || !model)
        return std::nullopt;
    return SlaveOption{*address, *model, LineSettings()};
}

// "19200,even": one of the logger's speeds and none, even or odd, in any case.
std::optional<LineSettings> parseLine(const QString &text) {
    const QStringList parts = text.split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    bool ok = false;
    const int speedCode = speedCodeOf(parts[0].trimmed().toInt(&ok, 10));
    const QString parity = parts[1].trimmed().toLower();
    const int parityCode = parity == QLatin1String("even")   ? 0
                           : parity == QLatin1String("odd")  ? 1
                           : parity == QLatin1String("none") ? 2
                                                             : kNoLineCode;
    if (!ok || speedCode == kNoLineCode || parityCode == kNoLineCode)
        return std::nullopt;
    return LineSettings{parityCode, speedCode};
}

std::optional<RateOption> parseRate(const QString &text) {
    const QStringList parts = text.split(u':');
    if (parts.isEmpty() || parts.size() > 3)
        return std::nullopt;
    RateOption option;
    const auto rate = parseDouble(parts.last());
    if (!rate || *rate < 0)
        return std::nullopt;
    option.pulsesPerSecond = *rate;
    if (parts.size() >= 2) {
        const auto address = parseInt(parts[0]);
        if (!address)
            return std::nullopt;
        option.address = *address;
    }
    if (parts.size() == 3) {
        const auto input = parseInt(parts[1]);
        if (!input || *input < 1 || *input > kLoggerInputSlots)
            return std::nullopt;
        option.input = *input;
    }
    return option;
}

} // namespace

ParseOutcome parseSimOptions(const QStringList &arguments, SimOptions &options, QString &message) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated QTR pulse-counting data loggers: Modbus RTU slaves on a "
        "pseudo-terminal or a serial port, for tests, demonstrations and training."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption slave(
        QStringLiteral("slave"),
        QStringLiteral("Put a logger of MODEL (QTR-4D, QTR-6D, QTR-8D) at bus address ADDR "
                       "(1-250). Repeatable."),
        QStringLiteral("ADDR:MODEL"));
    const QCommandLineOption line(
        QStringLiteral("line"),
        QStringLiteral("Line settings of the --slave just before: SPEED 300-38400, PARITY none, "
                       "even or odd (default 9600,none; see below)."),
        QStringLiteral("SPEED,PARITY"));
    const QCommandLineOption link(
        QStringLiteral("link"),
        QStringLiteral("Place a symbolic link to the port at PATH; removed at exit."),
        QStringLiteral("PATH"));
    const QCommandLineOption busCopy(
        QStringLiteral("bus-copy"),
        QStringLiteral("Put a copy of the line, both ways, on a second pseudo-terminal linked "
                       "at PATH, for a listener; its path is printed after the port's."),
        QStringLiteral("PATH"));
    const QCommandLineOption device(
        QStringLiteral("device"),
        QStringLiteral("Answer on this serial device instead of a pseudo-terminal."),
        QStringLiteral("PATH"));
    const QCommandLineOption tcpListen(
        QStringLiteral("tcp-listen"),
        QStringLiteral("Serve over TCP on 127.0.0.1 at PORT (0: a free port) instead of a "
                       "pseudo-terminal; see below."),
        QStringLiteral("PORT"));
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   QStringLiteral("Line speed of --device (default 9600)."),
                                   QStringLiteral("BAUD"), QStringLiteral("9600"));
    const QCommandLineOption parity(QStringLiteral("parity"),
                                    QStringLiteral("Parity of --device: none, even, odd "
                                                   "(default none)."),
                                    QStringLiteral("PARITY"), QStringLiteral("none"));
    const QCommandLineOption stopBits(QStringLiteral("stop-bits"),
                                      QStringLiteral("Stop bits of --device: 1 or 2 (default 1)."),
                                      QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Do not log requests and replies on standard "
                                                  "error."));
    const QCommandLineOption lineTime(
        QStringLiteral("line-time"),
        QStringLiteral("Let requests and replies take their time on the line, at each logger's "
                       "speed and parity (see below)."));
    const QCommandLineOption turnaround(
        QStringLiteral("turnaround"),
        QStringLiteral("The logger's own time before it answers a request, 0 to 60000 "
                       "(default 0)."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption echo(QStringLiteral("echo"),
                                  QStringLiteral("Echo every request back before the reply, as a "
                                                 "2-wire adapter does."));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Misbehave on cue (see below). Repeatable."),
                                   QStringLiteral("FAULT"));
    const QCommandLineOption faultRate(
        QStringLiteral("fault-rate"),
        QStringLiteral("Give each reply a random fault with this probability (0 to 1)."),
        QStringLiteral("RATE"));
    const QCommandLineOption faultKinds(
        QStringLiteral("fault-kinds"),
        QStringLiteral("Draw the random faults only from these kinds, e.g. bad-crc,no-reply "
                       "(default: all)."),
        QStringLiteral("KINDS"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed of the random faults (default 1)."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption pulseRate(QStringLiteral("pulse-rate"),
                                       QStringLiteral("Pulse rate (see below). Repeatable."),
                                       QStringLiteral("[ADDR:[INPUT:]]RATE"));
    const QCommandLineOption timeScale(
        QStringLiteral("time-scale"),
        QStringLiteral("Let the loggers' time run FACTOR times as fast (default 1)."),
        QStringLiteral("FACTOR"), QStringLiteral("1"));
    const QCommandLineOption clock(
        QStringLiteral("clock"),
        QStringLiteral("Start the loggers' clocks at this local time instead of the PC's."),
        QStringLiteral("yyyy-MM-ddTHH:mm"));
    const QCommandLineOption battery(QStringLiteral("battery"),
                                     QStringLiteral("Battery level in volts, 0 to 5 (default "
                                                    "3.61)."),
                                     QStringLiteral("VOLTS"));
    parser.addOptions({help,      slave,      line,  link,      device,     tcpListen, speed,
                       parity,    stopBits,   quiet, lineTime,  turnaround, echo,      fault,
                       faultRate, faultKinds, seed,  pulseRate, timeScale,  clock,     battery});
    parser.addOption(busCopy);

    auto error = [&message](const QString &text) {
        message = text;
        return ParseOutcome::Error;
    };
    if (!parser.parse(arguments))
        return error(parser.errorText());
    if (parser.isSet(help)) {
        message = parser.helpText() + QString::fromUtf8(kHelpTail);
        return ParseOutcome::Help;
    }
    if (!parser.positionalArguments().isEmpty())
        return error(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments()[0]));

    options = SimOptions();
    // --line belongs to the --slave before it, so the two are taken in command-line order.
    const QStringList slaveTexts = parser.values(slave);
    const QStringList lineTexts = parser.values(line);
    qsizetype slaveIndex = 0;
    qsizetype lineIndex = 0;
    bool lineGiven = false;
    for (const QString &name : parser.optionNames()) {
        if (name == QLatin1String("slave") && slaveIndex < slaveTexts.size()) {
            const QString &text = slaveTexts[slaveIndex++];
            const auto option = parseSlave(text);
            if (!option)
                return error(
                    QStringLiteral("bad --slave \"%1\": expected ADDR:MODEL, e.g. 1:QTR-8D")
                        .arg(text));
            options.slaves.append(*option);
            lineGiven = false;
        } else if (name == QLatin1String("line") && lineIndex < lineTexts.size()) {
            const QString &text = lineTexts[lineIndex++];
            if (options.slaves.isEmpty())
                return error(QStringLiteral("--line \"%1\" before any --slave: it sets the line "
                                            "of the --slave given just before it")
                                 .arg(text));
            if (lineGiven)
                return error(QStringLiteral("second --line \"%1\" for --slave %2")
                                 .arg(text)
                                 .arg(options.slaves.last().address));
            const auto settings = parseLine(text);
            if (!settings)
                return error(QStringLiteral("bad --line \"%1\": expected SPEED,PARITY, e.g. "
                                            "19200,even; SPEED 300, 1200, 2400, 4800, 9600, "
                                            "19200 or 38400, PARITY none, even or odd")
                                 .arg(text));
            options.slaves.last().line = *settings;
            lineGiven = true;
        }
    }
    if (options.slaves.isEmpty())
        options.slaves.append(SlaveOption{});

    options.line.linkPath = parser.value(link);
    options.line.devicePath = parser.value(device);
    if (parser.isSet(busCopy)) {
        if (parser.value(busCopy).isEmpty())
            return error(QStringLiteral("--bus-copy needs a path for the copy's link"));
        options.line.busCopy = true;
        options.line.busCopyLink = parser.value(busCopy);
    }
    if (parser.isSet(tcpListen)) {
        const QString text = parser.value(tcpListen);
        bool ok = false;
        const uint port = text.toUInt(&ok, 10);
        if (!ok || port > 65535)
            return error(QStringLiteral("bad --tcp-listen \"%1\": a port 0 to 65535").arg(text));
        if (parser.isSet(device) || parser.isSet(link) || parser.isSet(busCopy))
            return error(QStringLiteral("--tcp-listen serves over TCP; it takes no --device, "
                                        "--link or --bus-copy"));
        options.tcpListen = std::uint16_t(port);
    }
    const auto baud = parseInt(parser.value(speed));
    if (!baud || *baud <= 0)
        return error(QStringLiteral("bad --speed \"%1\"").arg(parser.value(speed)));
    options.line.serial.baud = *baud;
    const QString parityText = parser.value(parity).toLower();
    if (parityText == QLatin1String("none"))
        options.line.serial.parity = 'N';
    else if (parityText == QLatin1String("even"))
        options.line.serial.parity = 'E';
    else if (parityText == QLatin1String("odd"))
        options.line.serial.parity = 'O';
    else
        return error(QStringLiteral("bad --parity \"%1\": none, even or odd").arg(parityText));
    const auto stops = parseInt(parser.value(stopBits));
    if (!stops || (*stops != 1 && *stops != 2))
        return error(QStringLiteral("bad --stop-bits \"%1\"").arg(parser.value(stopBits)));
    options.line.serial.stopBits = *stops;
    options.quiet = parser.isSet(quiet);
    options.wire.lineTime = parser.isSet(lineTime);
    options.wire.echo = parser.isSet(echo);
    bool turnaroundOk = false;
    const int turnaroundMs = parser.value(turnaround).trimmed().toInt(&turnaroundOk, 10);
    if (!turnaroundOk || turnaroundMs < 0 || turnaroundMs > kLongestTurnaround.count())
        return error(QStringLiteral("bad --turnaround \"%1\": milliseconds, 0 to %2")
                         .arg(parser.value(turnaround))
                         .arg(kLongestTurnaround.count()));
    options.wire.turnaround = std::chrono::milliseconds(turnaroundMs);

    for (const QString &text : parser.values(fault)) {
        QString why;
        const auto rule = parseFaultRule(text, &why);
        if (!rule)
            return error(why);
        options.faults.append(*rule);
    }
    if (parser.isSet(faultRate)) {
        const auto rate = parseDouble(parser.value(faultRate));
        if (!rate || *rate < 0 || *rate > 1)
            return error(QStringLiteral("bad --fault-rate \"%1\"").arg(parser.value(faultRate)));
        options.faultRate = *rate;
    }
    if (parser.isSet(faultKinds)) {
        for (const QString &name : parser.value(faultKinds).split(QLatin1Char(','))) {
            const std::optional<FaultKind> kind = faultKindFromName(name.trimmed());
            if (!kind)
                return error(QStringLiteral("bad --fault-kinds \"%1\": no fault kind \"%2\"")
                                 .arg(parser.value(faultKinds), name));
            if (!options.faultKinds.contains(*kind))
                options.faultKinds.append(*kind);
        }
    }
    bool seedOk = false;
    options.seed = parser.value(seed).toUInt(&seedOk, 0);
    if (!seedOk)
        return error(QStringLiteral("bad --seed \"%1\"").arg(parser.value(seed)));

    for (const QString &text : parser.values(pulseRate)) {
        const auto option = parseRate(text);
        if (!option)
            return error(QStringLiteral("bad --pulse-rate \"%1\"").arg(text));
        options.rates.append(*option);
    }
    if (options.rates.isEmpty())
        options.rates.append(RateOption{-1, -1, 1.0});

    const auto scale = parseDouble(parser.value(timeScale));
    if (!scale || *scale <= 0)
        return error(QStringLiteral("bad --time-scale \"%1\"").arg(parser.value(timeScale)));
    options.timeScale = *scale;
    if (parser.isSet(clock)) {
        const QDateTime start = QDateTime::fromString(parser.value(clock), Qt::ISODate);
        if (!start.isValid())
            return error(QStringLiteral("bad --clock \"%1\": e.g. 2026-12-06T09:05")
                             .arg(parser.value(clock)));
        options.clock = start;
    }
    if (parser.isSet(battery)) {
        const auto volts = parseDouble(parser.value(battery));
        if (!volts || *volts < 0 || *volts > 5)
            return error(QStringLiteral("bad --battery \"%1\"").arg(parser.value(battery)));
        options.batteryByte = static_cast<int>(std::lround(*volts * 51));
    }
    return ParseOutcome::Run;
}

bool applySimOptions(LoggerSimulator &sim, const SimOptions &options, QString &error) {
    sim.setLineTime(options.wire.lineTime);
    sim.setTurnaround(options.wire.turnaround);
    sim.setEcho(options.wire.echo);
    if (options.timeScale != 1.0)
        sim.setClockSource(std::make_shared<SystemClockSource>(options.timeScale));
    for (const SlaveOption &option : options.slaves) {
        if (!sim.addSlave(option.address, option.model)) {
            error = QStringLiteral("bus address %1 is given twice").arg(option.address);
            return false;
        }
        sim.withLogger(option.address,
                       [&option](LoggerModel &logger) { logger.setLineSettings(option.line); });
    }
    for (const RateOption &rate : options.rates) {
        for (int address : sim.slaveAddresses()) {
            if (rate.address >= 0 && rate.address != address)
                continue;
            sim.withLogger(address, [&rate](LoggerModel &logger) {
                for (int input = 1; input <= kLoggerInputSlots; ++input) {
                    if (rate.input < 0 || rate.input == input)
                        logger.setPulseRate(input, rate.pulsesPerSecond);
                }
            });
        }
    }
    for (int address : sim.slaveAddresses()) {
        sim.withLogger(address, [&options](LoggerModel &logger) {
            if (options.clock)
                logger.setClock(*options.clock);
            if (options.batteryByte)
                logger.setBatteryByte(*options.batteryByte);
        });
    }
    for (const FaultRule &rule : options.faults)
        sim.addFault(rule);
    if (options.faultRate > 0)
        sim.setRandomFaults(options.faultRate, options.seed, options.faultKinds);
    return true;
}

} // namespace corvane
