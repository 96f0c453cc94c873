// corvane-cli listen as an engineer runs it beside another master: the simulated loggers
// in-process with a copy of their line, the listener and the master each a process of its own.
// The master is corvane-cli itself; the listener hears it on the copy.
#include "logger_simulator.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace corvane;

namespace {

const QString kProgram = QStringLiteral(CORVANE_CLI_PATH);
constexpr int kWaitMs = 30000;

// Loggers whose time stands still, so that what was heard can be held against their state.
struct Bus {
    Bus() {
        sim.setClockSource(clock);
        sim.addSlave(1, Model::Qtr8d);
        LineOptions line;
        line.busCopy = true;
        started = sim.start(line, &error);
        sim.withLogger(1, [](LoggerModel &m) {
            for (int input = 1; input <= 8; ++input)
                m.setTotalPulses(input, 1000 * input + 7);
        });
    }
    ~Bus() { sim.stop(); }

    std::shared_ptr<ManualClockSource> clock =
        std::make_shared<ManualClockSource>(QDateTime(QDate(2026, 12, 6), QTime(9, 5), Qt::UTC));
    LoggerSimulator sim;
    bool started = false;
    QString error;
};

// corvane-cli listen, running until the test signals it.
class Listener {
public:
    explicit Listener(const QStringList &arguments) {
        m_process.start(kProgram, QStringList{QStringLiteral("listen")} + arguments);
    }
    ~Listener() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    // Once it says so, the port is open and everything on the line is heard.
    bool ready() {
        return QTest::qWaitFor(
                   [this] {
                       return err().contains(QLatin1String("nothing is sent")) ||
                              m_process.state() == QProcess::NotRunning;
                   },
                   kWaitMs) &&
               m_process.state() == QProcess::Running;
    }
    QStringList outLines() {
        m_out += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString err() {
        m_err += m_process.readAllStandardError();
        return QString::fromUtf8(m_err);
    }
    // Waits for lines that contain `text`, as many as asked.
    bool waitForLines(const QString &text, int count) {
        return QTest::qWaitFor([&] { return outLines().filter(text).size() >= count; }, kWaitMs);
    }
    int stop(int signal) {
        ::kill(pid_t(m_process.processId()), signal);
        if (!m_process.waitForFinished(kWaitMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        outLines();
        return m_process.exitCode();
    }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

// The master: one command of corvane-cli to its end.
bool runMaster(const Bus &bus, const QStringList &arguments) {
    QProcess process;
    process.start(kProgram, arguments + QStringList{QStringLiteral("--port"), bus.sim.slavePath(),
                                                    QStringLiteral("--fast")});
    return process.waitForFinished(kWaitMs) && process.exitStatus() == QProcess::NormalExit;
}

QList<QJsonObject> jsonLines(const QStringList &lines) {
    QList<QJsonObject> objects;
    for (const QString &line : lines)
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

// The exchange that read the total pulses, and the line after it.
QJsonObject totalPulses(const QList<QJsonObject> &heard, QJsonObject *next = nullptr) {
    for (qsizetype i = 0; i < heard.size(); ++i) {
        if (heard[i].value("function").toInt() == 4 && heard[i].value("register").toInt() == 0 &&
            !heard[i].value("register").isNull()) {
            if (next)
                *next = heard.value(i + 1);
            return heard[i];
        }
    }
    return {};
}

struct RunResult {
    int exitCode = -1;
    QString err;
    QStringList out;
};

RunResult runListen(const QStringList &arguments) {
    QProcess process;
    process.start(kProgram, QStringList{QStringLiteral("listen")} + arguments);
    RunResult result;
    if (process.waitForFinished(kWaitMs) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.err = QString::fromUtf8(process.readAllStandardError());
    result.out = QString::fromUtf8(process.readAllStandardOutput())
                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return result;
}

} // namespace

class TstCliListen : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hearsAMasterOnTheCopy();
    void eachFormat_data();
    void eachFormat();
    void faultsAsHeard_data();
    void faultsAsHeard();
    void refusals_data();
    void refusals();
};

// The counters of a QTR-8D read by another master: every request and its reply, their values
// as the logger holds them, each frame in the capture, and not one byte back on the line.
void TstCliListen::hearsAMasterOnTheCopy() {
    Bus bus;
    QVERIFY2(bus.started, qPrintable(bus.error));
    QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("capture.csv"));
    Listener listener({"--port", bus.sim.busCopyPath(), "--format", "json", "--capture", capture});
    QVERIFY2(listener.ready(), qPrintable(listener.err()));

    QVERIFY(runMaster(bus, {QStringLiteral("counters")}));
    // Identification, six counter blocks, battery, flow, input status.
    QVERIFY2(listener.waitForLines(QStringLiteral("\"verdict\""), 10),
             qPrintable(listener.outLines().join(u'\n')));
    QCOMPARE(listener.stop(SIGINT), 0);

    const QList<QJsonObject> heard = jsonLines(listener.outLines());
    QStringList what;
    for (const QJsonObject &exchange : heard) {
        QCOMPARE(exchange.value("verdict").toString(), QStringLiteral("ok"));
        QCOMPARE(exchange.value("address").toInt(), 1);
        QVERIFY(exchange.value("replyMs").toDouble() >= 0);
        QVERIFY(
            QDateTime::fromString(exchange.value("time").toString(), Qt::ISODateWithMs).isValid());
        what << exchange.value("what").toString();
    }
    QCOMPARE(what, (QStringList{"device identification", "total pulses, inputs 1–8",
                                "tariff 1 pulses, inputs 1–8", "tariff 2 pulses, inputs 1–8",
                                "tariff 3 pulses, inputs 1–8", "tariff 4 pulses, inputs 1–8",
                                "total consumption, inputs 1–8", "battery", "flow, inputs 1–8",
                                "input status"}));
    const QJsonObject pulses = totalPulses(heard);
    QCOMPARE(pulses.value("count").toInt(), 16);
    const LoggerModel logger = bus.sim.logger(1);
    const QJsonObject values = pulses.value("values").toObject();
    const QJsonArray registers = pulses.value("registers").toArray();
    QCOMPARE(registers.size(), 16);
    for (int input = 1; input <= 8; ++input) {
        QCOMPARE(values.value(QString::number(input)).toDouble(),
                 double(logger.totalPulses(input)));
        QCOMPARE(registers.at(2 * input - 1).toInt(), int(logger.totalPulses(input) & 0xFFFF));
    }
    // The simulator's battery byte 184, shown as the window shows it: 184 / 51 = 3.61.
    QCOMPARE(logger.batteryByte(), 184);
    QCOMPARE(heard.at(7).value("values").toObject().value("battery").toDouble(), 3.61);

    QFile file(capture);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList rows =
        QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 1 + 2 * 10);
    QCOMPARE(rows.at(0), QStringLiteral("Time;Direction;Length;Hex"));
    for (int i = 1; i < rows.size(); ++i) {
        const QStringList cells = rows.at(i).split(QLatin1Char(';'));
        QCOMPARE(cells.at(1), i % 2 == 1 ? QStringLiteral("request") : QStringLiteral("reply"));
        QCOMPARE(cells.at(3).split(QLatin1Char(' ')).size(), cells.at(2).toInt());
    }
    QCOMPARE(rows.at(3).section(QLatin1Char(';'), 3), QStringLiteral("01 04 00 00 00 10 F1 C6"));

    QCOMPARE(bus.sim.busCopyWrittenBack(), 0);
}

void TstCliListen::eachFormat_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("header");
    // The line of the total pulses, with {1}..{8} for the inputs' counts.
    QTest::addColumn<QString>("pattern");
    QTest::newRow("text, ended by SIGTERM")
        << "text" << int(SIGTERM) << QString()
        << R"(^\S+  1  04  0000  16  ok  \d+\.\d ms  total pulses, inputs 1–8  )"
           R"(1=1007; 2=2007; 3=3007; 4=4007; 5=5007; 6=6007; 7=7007; 8=8007  \[0000 03EF .*\]$)";
    QTest::newRow("csv, ended by SIGINT")
        << "csv" << int(SIGINT)
        << "Time;Address;Function;Register;Count;Verdict;Reply ms;What;Values;Registers"
        << R"(^\S+;1;0x04;0x0000;16;ok;\d+\.\d;total pulses, inputs 1–8;)"
           R"("1=1007; 2=2007; 3=3007; 4=4007; 5=5007; 6=6007; 7=7007; 8=8007";0000 03EF .*$)";
}

void TstCliListen::eachFormat() {
    QFETCH(QString, format);
    QFETCH(int, signal);
    QFETCH(QString, header);
    QFETCH(QString, pattern);
    Bus bus;
    QVERIFY2(bus.started, qPrintable(bus.error));
    Listener listener({"--port", bus.sim.busCopyPath(), "--format", format});
    QVERIFY2(listener.ready(), qPrintable(listener.err()));
    QVERIFY(runMaster(bus, {QStringLiteral("counters")}));
    QVERIFY(listener.waitForLines(QStringLiteral("input status"), 1));
    QCOMPARE(listener.stop(signal), 0);
    const QStringList lines = listener.outLines();
    if (!header.isEmpty())
        QCOMPARE(lines.value(0).trimmed(), header);
    const QStringList matching = lines.filter(QRegularExpression(pattern));
    QVERIFY2(matching.size() == 1, qPrintable(lines.join(u'\n')));
}

void TstCliListen::faultsAsHeard_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("verdict");
    // What is heard after the exchange: "noise N" for noise of N bytes, or the next "what".
    QTest::addColumn<QString>("after");
    QTest::newRow("a bad CRC") << int(FaultKind::BadCrc) << "crc error"
                               << "noise 37";
    QTest::newRow("an exception") << int(FaultKind::Exception) << "exception 4"
                                  << "tariff 1 pulses, inputs 1–8";
    QTest::newRow("silence") << int(FaultKind::NoReply) << "no reply"
                             << "tariff 1 pulses, inputs 1–8";
    QTest::newRow("leading zeros") << int(FaultKind::LeadingZeros) << "ok"
                                   << "noise 2";
    QTest::newRow("a filler") << int(FaultKind::TrailingFiller) << "ok"
                              << "noise 1";
    // Three pieces 20 ms apart: longer than the line's silence, still one frame.
    QTest::newRow("a reply split by pauses") << int(FaultKind::Split) << "ok"
                                             << "tariff 1 pulses, inputs 1–8";
    QTest::newRow("another address answers") << int(FaultKind::WrongAddress) << "no reply"
                                             << "no request";
}

// A logger misbehaves on the total pulses: the listener says how.
void TstCliListen::faultsAsHeard() {
    QFETCH(int, kind);
    QFETCH(QString, verdict);
    QFETCH(QString, after);
    Bus bus;
    QVERIFY2(bus.started, qPrintable(bus.error));
    FaultRule rule;
    rule.kind = FaultKind(kind);
    rule.function = 4;
    rule.target = 0;
    rule.times = 1;
    bus.sim.addFault(rule);
    Listener listener({"--port", bus.sim.busCopyPath(), "--format", "json"});
    QVERIFY2(listener.ready(), qPrintable(listener.err()));
    QVERIFY(runMaster(bus, {QStringLiteral("counters")}));
    QVERIFY2(listener.waitForLines(QStringLiteral("input status"), 1),
             qPrintable(listener.outLines().join(u'\n')));
    QCOMPARE(listener.stop(SIGINT), 0);
    QJsonObject next;
    const QJsonObject pulses = totalPulses(jsonLines(listener.outLines()), &next);
    QCOMPARE(pulses.value("verdict").toString(), verdict);
    const QString heardAfter = next.contains("noise")
                                   ? QStringLiteral("noise %1").arg(next.value("noise").toInt())
                               : next.value("verdict").toString() == QLatin1String("no request")
                                   ? QStringLiteral("no request")
                                   : next.value("what").toString();
    QCOMPARE(heardAfter, after);
    QCOMPARE(bus.sim.busCopyWrittenBack(), 0);
}

void TstCliListen::refusals_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("bad stop bits") << QStringList{"--port", "/dev/null", "--stop-bits", "3"} << 2
                                   << "bad stop bits '3': 1 or 2";
    QTest::newRow("empty capture name")
        << QStringList{"--port", "/dev/null", "--capture="} << 2 << "--capture needs a file name";
    QTest::newRow("capture into a folder")
        << QStringList{"--port", "/dev/null", "--capture", "FOLDER"} << 2
        << "capture file FOLDER: it is not a regular file";
    QTest::newRow("capture into a FIFO") << QStringList{"--port", "/dev/null", "--capture", "FIFO"}
                                         << 2 << "capture file FIFO: it is not a regular file";
    QTest::newRow("no port") << QStringList{"--format", "json"} << 2 << "--port is required";
    QTest::newRow("a missing port") << QStringList{"--port", "/dev/corvane-no-such-port"} << 3
                                    << "Port /dev/corvane-no-such-port could not be opened: "
                                       "not found";
    QTest::newRow("not a serial device")
        << QStringList{"--port", "/dev/null"} << 3 << "could not be opened: not a serial device";
}

void TstCliListen::refusals() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (QString &argument : arguments) {
        argument.replace(QStringLiteral("FOLDER"), dir.path());
        argument.replace(QStringLiteral("FIFO"), fifo);
    }
    message.replace(QStringLiteral("FOLDER"), dir.path());
    message.replace(QStringLiteral("FIFO"), fifo);
    const RunResult result = runListen(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

QTEST_GUILESS_MAIN(TstCliListen)
#include "tst_cli_listen.moc"
