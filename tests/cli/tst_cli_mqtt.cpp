// corvane-cli monitor as a service runs it: the program, the simulated loggers and a real
// mosquitto broker each in a process of their own, the broker on a free loopback port with its
// own configuration. The test listens as an MQTT client itself.
#include <mosquitto.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "local_broker.h"
#include "mqtt_publisher.h"

#include <cmath>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>
#include <mutex>
#include <vector>

using corvane::broker::Broker;
using corvane::broker::waitUntil;

namespace {

const QString kCli = QStringLiteral(CORVANE_CLI_PATH);
const QString kSim = QStringLiteral(CORVANE_SIM_PATH);
const QString kPasswd = QStringLiteral(CORVANE_MOSQUITTO_PASSWD_PATH);
constexpr int kLongWaitMs = 60000;

struct Message {
    QString topic;
    QByteArray payload;
    bool retained = false;
};

// A subscriber to everything, with a persistent session when given an id, so that a broker
// restart loses nothing meant for it.
class Listener {
public:
    Listener(int port, const char *id = nullptr, const char *user = nullptr,
             const char *password = nullptr) {
        m_mosq = mosquitto_new(id, id == nullptr, this);
        if (user)
            mosquitto_username_pw_set(m_mosq, user, password);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto *m, void *, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, "#", 1);
            }
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto *, void *self, const mosquitto_message *message) {
                auto *l = static_cast<Listener *>(self);
                std::lock_guard lock(l->m_mutex);
                l->m_messages.push_back(
                    {QString::fromUtf8(message->topic),
                     QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
                     message->retain});
            });
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        mosquitto_connect_async(m_mosq, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_mosq);
    }
    ~Listener() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    void publish(const QByteArray &topic, const QByteArray &payload, bool retain = false) {
        mosquitto_publish(m_mosq, nullptr, topic.constData(), int(payload.size()),
                          payload.constData(), 1, retain);
    }
    std::vector<Message> messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<Message> on(const QString &topic) const {
        std::vector<Message> found;
        for (const Message &m : messages()) {
            if (m.topic == topic)
                found.push_back(m);
        }
        return found;
    }
    QStringList payloads(const QString &topic) const {
        QStringList texts;
        for (const Message &m : on(topic))
            texts << QString::fromUtf8(m.payload);
        return texts;
    }
    QByteArray last(const QString &topic) const {
        const auto found = on(topic);
        return found.empty() ? QByteArray() : found.back().payload;
    }

private:
    mosquitto *m_mosq = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
};

class Simulator {
public:
    // Logging: the simulator logs every request on stderr, for requestsHeard().
    Simulator(const QString &folder, const QStringList &arguments, bool logging = false) {
        m_link = folder + QStringLiteral("/line");
        QStringList all = arguments + QStringList{QStringLiteral("--link"), m_link};
        if (!logging)
            all << QStringLiteral("--quiet");
        m_process.start(kSim, all);
    }
    ~Simulator() {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool started() {
        return m_process.waitForStarted(10000) &&
               waitUntil([this] { return QFile::exists(m_link); });
    }
    QString port() const { return m_link; }
    int requestsHeard() {
        m_log += m_process.readAllStandardError();
        return int(m_log.count("<- "));
    }

private:
    QString m_link;
    QProcess m_process;
    QByteArray m_log;
};

class Cli {
public:
    // inChild: run in the child before the program starts (a resource limit, say).
    explicit Cli(const QStringList &arguments, std::function<void()> inChild = {}) {
        if (inChild)
            m_process.setChildProcessModifier(inChild);
        m_process.start(kCli, arguments);
    }
    ~Cli() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QStringList outLines() {
        m_out += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString err() {
        m_err += m_process.readAllStandardError();
        return QString::fromUtf8(m_err);
    }
    bool finished() { return m_process.waitForFinished(kLongWaitMs); }
    int exitCode() const { return m_process.exitCode(); }
    void signal(int sig) { ::kill(pid_t(m_process.processId()), sig); }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

QJsonObject json(const QByteArray &bytes) {
    return QJsonDocument::fromJson(bytes).object();
}

} // namespace

class TstCliMqtt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { mosquitto_lib_init(); }
    void cleanupTestCase() { mosquitto_lib_cleanup(); }
    void readingsDiscoveryAndExit();
    void killedProcessLeavesItsWill();
    void outageLosesNothing();
    void credentials_data();
    void credentials();
    void silentLoggerGoesOfflineAndBack();
    void fullBufferDropsTheOldest();
    void tlsNeedsTheBrokersCa_data();
    void tlsNeedsTheBrokersCa();
    void refusedPublishesAreTold();
    void csvInsteadOfJson();
    void csvLogKeepsToItsPathAndWholeRows_data();
    void csvLogKeepsToItsPathAndWholeRows();
    void closedGatewayEndsTheRun();
    void lateCountersNeverShiftAReading_data();
    void lateCountersNeverShiftAReading();
    void signalEndsTheRunAfterTheRequestInFlight_data();
    void signalEndsTheRunAfterTheRequestInFlight();
    void linkCountsWhatTheLineDid();
    void commandsThroughTheMonitor();
    void commandsNeedTheFlag();
};

void TstCliMqtt::readingsDiscoveryAndExit() {
    QTemporaryDir dir;
    Broker broker(dir.path());
    QVERIFY(broker.start());
    // Input 1 of the QTR-8D stands still, input 2 counts 10 pulses a second.
    Simulator sim(dir.path(), {"--slave", "1:QTR-8D", "--slave", "2:QTR-4D", "--pulse-rate",
                               "0", "--pulse-rate", "1:2:10"});
    QVERIFY(sim.started());
    Listener listener(broker.port());
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--window", "200", "--address", "1,2",
             "--interval", "1", "--mqtt", broker.url(), "--ha-discovery"});
    QVERIFY2(waitUntil([&] {
                 return listener.on("site/1/state").size() >= 3 &&
                        listener.on("site/2/state").size() >= 3;
             }),
             qPrintable(cli.err()));
    QCOMPARE(listener.last("site/status"), QByteArray("online"));
    QCOMPARE(listener.last("site/1/availability"), QByteArray("online"));

    // Each reading on the broker is the line on stdout, in the same order.
    QStringList published;
    for (const Message &m : listener.messages()) {
        if (m.topic.endsWith(QLatin1String("/state")))
            published << QString::fromUtf8(m.payload);
    }
    // Each line is printed before it is published, but the test may read the broker first.
    QVERIFY(waitUntil([&] { return cli.outLines().size() >= published.size(); }));
    QCOMPARE(cli.outLines().mid(0, published.size()), published);

    const auto states = listener.on("site/1/state");
    const QJsonObject first = json(states.front().payload);
    const QJsonObject third = json(states[2].payload);
    QCOMPARE(first.value("address").toInt(), 1);
    QCOMPARE(first.value("model").toString(), QStringLiteral("QTR-8D"));
    QVERIFY(first.value("error").isNull());
    QVERIFY(QDateTime::fromString(first.value("time").toString(), Qt::ISODate).isValid());
    QCOMPARE(first.value("battery").toDouble(), 3.61);
    const QJsonArray inputs = first.value("inputs").toArray();
    QCOMPARE(inputs.size(), 8);
    QCOMPARE(inputs[0].toObject().value("unit").toString(), QStringLiteral("m3"));
    QCOMPARE(inputs[0].toObject().value("tariffPulses").toArray().size(), 4);
    // The still input reads the same each cycle; the counting one has moved on.
    const auto pulses = [](const QJsonObject &reading, int input) {
        return reading.value("inputs").toArray()[input - 1].toObject().value("totalPulses").toInt();
    };
    QCOMPARE(pulses(third, 1), pulses(first, 1));
    QVERIFY2(pulses(third, 2) > pulses(first, 2), states[2].payload.constData());
    QCOMPARE(json(listener.on("site/2/state").front().payload).value("inputs").toArray().size(), 4);

    // Discovery configs are retained: a client that comes afterwards gets them.
    Listener late(broker.port());
    // The broker hands out retained messages in its own order: wait for all of them.
    const auto sensorConfigs = [&] {
        qsizetype n = 0;
        for (const Message &m : late.messages())
            n += m.topic.startsWith(QLatin1String("homeassistant/sensor/"));
        return n;
    };
    // 8 and 4 inputs, three quantities each, and a battery, a share of replies and a reply time
    // each.
    const int expected = 3 * 12 + 2 * 3;
    QVERIFY(waitUntil([&] { return late.on("site/status").size() == 1 && sensorConfigs() >= expected; }));
    int configs = 0;
    QSet<QString> uniqueIds;
    for (const Message &m : late.messages()) {
        if (!m.topic.startsWith(QLatin1String("homeassistant/sensor/")))
            continue;
        ++configs;
        QVERIFY(m.retained);
        QVERIFY2(m.topic.endsWith(QLatin1String("/config")), qPrintable(m.topic));
        QJsonParseError error;
        const QJsonObject config = QJsonDocument::fromJson(m.payload, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QString id = config.value("unique_id").toString();
        QVERIFY2(m.topic == QStringLiteral("homeassistant/sensor/%1/config").arg(id),
                 qPrintable(m.topic));
        QVERIFY(!uniqueIds.contains(id));
        uniqueIds.insert(id);
        QVERIFY(config.value("state_topic").toString().startsWith(QLatin1String("site/")));
        QVERIFY(config.value("availability_topic").toString().endsWith(QLatin1String("/availability")));
        QVERIFY(config.value("device").toObject().contains("identifiers"));
        if (id.endsWith(QLatin1String("_0_replies")) || id.endsWith(QLatin1String("_0_reply_ms"))) {
            QCOMPARE(config.value("entity_category").toString(), QStringLiteral("diagnostic"));
            QVERIFY(config.value("value_template").toString().contains(QLatin1String("value_json.link.")));
        }
        if (id.endsWith(QLatin1String("_1_consumption")) &&
            config.value("state_topic").toString() == QLatin1String("site/1/state")) {
            QCOMPARE(config.value("device_class").toString(), QStringLiteral("water"));
            QCOMPARE(config.value("state_class").toString(), QStringLiteral("total_increasing"));
            QCOMPARE(config.value("unit_of_measurement").toString(), QStringLiteral("m³"));
        }
    }
    QCOMPARE(configs, expected);

    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(waitUntil([&] { return listener.last("site/status") == "offline"; }));
    QCOMPARE(listener.last("site/1/availability"), QByteArray("offline"));
}

void TstCliMqtt::killedProcessLeavesItsWill() {
    QTemporaryDir dir;
    Broker broker(dir.path());
    QVERIFY(broker.start());
    Simulator sim(dir.path(), {});
    QVERIFY(sim.started());
    Listener listener(broker.port());
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--interval", "1", "--mqtt",
             broker.url()});
    QVERIFY2(waitUntil([&] { return listener.last("site/status") == "online"; }),
             qPrintable(cli.err()));
    cli.signal(SIGKILL);
    QVERIFY(waitUntil([&] { return listener.last("site/status") == "offline"; }));
    Listener late(broker.port());
    QVERIFY(waitUntil([&] { return late.last("site/status") == "offline"; }));
}

void TstCliMqtt::outageLosesNothing() {
    QTemporaryDir dir;
    Broker broker(dir.path());
    QVERIFY(broker.start());
    Simulator sim(dir.path(), {});
    QVERIFY(sim.started());
    // A persistent session: what is published while the listener is cut off waits for it.
    auto listener = std::make_unique<Listener>(broker.port(), "tst-outage");
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--interval", "1", "--mqtt",
             broker.url()});
    QVERIFY2(waitUntil([&] { return listener->on("site/1/state").size() >= 2; }),
             qPrintable(cli.err()));
    broker.stop();
    const qsizetype before = cli.outLines().size();
    // Three cycles with no broker.
    QVERIFY(waitUntil([&] { return cli.outLines().size() >= before + 3; }));
    QVERIFY2(cli.err().contains(QLatin1String("cannot be reached")), qPrintable(cli.err()));
    QVERIFY(broker.start());
    const QStringList printedBefore = cli.outLines();
    // At least once: a reading whose acknowledgement the outage swallowed may come twice.
    const auto delivered = [&] {
        QStringList got = listener->payloads("site/1/state");
        got.removeDuplicates();
        return got;
    };
    QVERIFY2(waitUntil([&] { return delivered().size() >= printedBefore.size(); }),
             qPrintable(cli.err()));
    QCOMPARE(delivered().mid(0, printedBefore.size()), printedBefore);
    cli.signal(SIGINT);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 0);
}

void TstCliMqtt::credentials_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("right") << QByteArray("meter:s3cret:with:colons\n") << 0;
    QTest::newRow("wrong password") << QByteArray("meter:guess\n") << 3;
    QTest::newRow("unknown user") << QByteArray("nobody:s3cret:with:colons\n") << 3;
}

void TstCliMqtt::credentials() {
    QFETCH(QByteArray, line);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString passwords = dir.filePath("passwords");
    QCOMPARE(QProcess::execute(kPasswd, {"-c", "-b", passwords, "meter", "s3cret:with:colons"}),
             0);
    Broker broker(dir.path(), passwords);
    QVERIFY(broker.start());
    Simulator sim(dir.path(), {});
    QVERIFY(sim.started());
    QFile file(dir.filePath("credentials"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(line);
    file.close();
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--interval", "1", "--mqtt", broker.url(),
             "--mqtt-credentials", file.fileName()});
    if (exitCode == 0) {
        QVERIFY2(waitUntil([&] { return cli.err().contains(QLatin1String("connected to")); }),
                 qPrintable(cli.err()));
        cli.signal(SIGTERM);
    }
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), exitCode);
    // The password is never told.
    QVERIFY(!cli.err().contains(QLatin1String("s3cret")));
    QVERIFY(!cli.err().contains(QLatin1String("guess")));
    if (exitCode != 0) {
        const QStringList lines = cli.err().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(QLatin1String("refused the credentials")),
                 qPrintable(lines.first()));
    }
}

void TstCliMqtt::silentLoggerGoesOfflineAndBack() {
    QTemporaryDir dir;
    Broker broker(dir.path());
    QVERIFY(broker.start());
    // Address 2 is silent for its first four requests: the start's identification and three
    // cycles' (a logger of unknown model is only identified).
    Simulator sim(dir.path(), {"--slave", "1:QTR-8D", "--slave", "2:QTR-6D", "--fault",
                               "no-reply,slave=2,times=4"});
    QVERIFY(sim.started());
    Listener listener(broker.port());
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--window", "100", "--address", "1,2",
             "--interval", "1", "--mqtt", broker.url()});
    QVERIFY2(waitUntil([&] { return listener.last("site/2/availability") == "online"; }),
             qPrintable(cli.err()));
    QCOMPARE(listener.payloads("site/2/availability"), QStringList({"offline", "online"}));
    QVERIFY(listener.on("site/2/state").size() >= 4);
    QCOMPARE(json(listener.on("site/2/state").front().payload).value("error").toString(),
             QStringLiteral("no reply"));
    QCOMPARE(json(listener.on("site/2/state").back().payload).value("model").toString(),
             QStringLiteral("QTR-6D"));
    QCOMPARE(listener.last("site/1/availability"), QByteArray("online"));
    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 0);
}

// No broker listens: every reading waits, and past the limit the oldest give way, counted and
// told once.
void TstCliMqtt::fullBufferDropsTheOldest() {
    corvane::MqttPublisher::Settings settings;
    settings.target = *corvane::parseMqttTarget(
        QStringLiteral("mqtt://127.0.0.1:%1/site").arg(corvane::broker::freePort()));
    settings.bufferLimit = 3;
    settings.statusTopic = "site/status";
    corvane::MqttPublisher publisher(settings);
    QList<qint64> told;
    connect(&publisher, &corvane::MqttPublisher::readingsDropped, this,
            [&told](qint64 total) { told << total; });
    QString problem;
    QVERIFY2(publisher.start(&problem), qPrintable(problem));
    for (int i = 1; i <= 8; ++i)
        publisher.publishReading("site/1/state", QByteArray::number(i));
    QCOMPARE(publisher.queued(), 3);
    QCOMPARE(publisher.dropped(), 5);
    QVERIFY(waitUntil([&] { return !told.isEmpty(); }));
    QCOMPARE(told, QList<qint64>{1});
    publisher.finish(std::chrono::milliseconds(0));
    QCOMPARE(publisher.undelivered(), 3);
}

namespace {

// A CA, and a certificate for 127.0.0.1 that it signed, in folder; or an empty string.
QString makeCertificates(const QString &folder, const QString &name, bool server) {
    const auto openssl = [&folder](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("openssl"), arguments);
        return process.waitForFinished(60000) && process.exitCode() == 0;
    };
    const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    if (!openssl(QStringList{"req", "-x509"} + key +
                 QStringList{"-keyout", name + ".key", "-out", name + ".crt", "-days", "2",
                             "-subj", "/CN=" + name}))
        return {};
    if (server) {
        QFile ext(folder + "/ext.cnf");
        if (!ext.open(QIODevice::WriteOnly))
            return {};
        ext.write("subjectAltName=IP:127.0.0.1\n");
        ext.close();
        if (!openssl(QStringList{"req"} + key +
                     QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj",
                                 "/CN=127.0.0.1"}) ||
            !openssl({"x509", "-req", "-in", "server.csr", "-CA", name + ".crt", "-CAkey",
                      name + ".key", "-CAcreateserial", "-out", "server.crt", "-days", "2",
                      "-extfile", "ext.cnf"}))
            return {};
    }
    return folder + "/" + name + ".crt";
}

} // namespace

void TstCliMqtt::tlsNeedsTheBrokersCa_data() {
    QTest::addColumn<QString>("ca");
    QTest::newRow("the broker's CA") << QStringLiteral("broker");
    QTest::newRow("another CA") << QStringLiteral("other");
    QTest::newRow("a CA file that is not PEM") << QStringLiteral("text");
    QTest::newRow("TLS to a plain broker") << QStringLiteral("plain");
}

// mqtts:// with --mqtt-ca: the broker's certificate is checked against the CA given. One that
// another CA signed is not trusted, and a handshake that cannot succeed is a setting to mend:
// one line, and status 3, not an outage waited out without end.
void TstCliMqtt::tlsNeedsTheBrokersCa() {
    QFETCH(QString, ca);
    QTemporaryDir dir;
    const QString brokerCa = makeCertificates(dir.path(), "broker-ca", true);
    const QString otherCa = makeCertificates(dir.path(), "other-ca", false);
    QVERIFY(!brokerCa.isEmpty() && !otherCa.isEmpty());
    const bool plain = ca == QLatin1String("plain");
    Broker broker(dir.path(), {},
                  plain ? QString()
                        : QStringLiteral("cafile %1\ncertfile %2/server.crt\nkeyfile %2/server.key\n")
                              .arg(brokerCa, dir.path()));
    QVERIFY(broker.start());
    Simulator sim(dir.path(), {});
    QVERIFY(sim.started());
    const QString text = dir.filePath("not-a-certificate.txt");
    QFile notPem(text);
    QVERIFY(notPem.open(QIODevice::WriteOnly));
    notPem.write("not a certificate\n");
    notPem.close();
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--interval", "1", "--mqtt",
             QStringLiteral("mqtts://127.0.0.1:%1/site").arg(broker.port()), "--mqtt-ca",
             ca == QLatin1String("other") ? otherCa : ca == QLatin1String("text") ? text : brokerCa});
    if (ca == QLatin1String("broker")) {
        QVERIFY2(waitUntil([&] { return cli.err().contains(QLatin1String("connected to the MQTT broker")); }),
                 qPrintable(cli.err()));
        QVERIFY(waitUntil([&] { return cli.outLines().size() >= 2; }));
        cli.signal(SIGTERM);
        QVERIFY(cli.finished());
        QCOMPARE(cli.exitCode(), 0);
        return;
    }
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 3);
    const QStringList lines = cli.err().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(!lines.filter(QStringLiteral("corvane-cli: the TLS connection to the MQTT broker at "
                                          "127.0.0.1:%1 failed: ")
                               .arg(broker.port()))
                  .isEmpty(),
             qPrintable(cli.err()));
    QVERIFY(lines.filter(QLatin1String("cannot be reached")).isEmpty());
}

// A prefix the broker does not allow: every reading is refused, and the run says so at once,
// then at most once a minute, and counts them as undelivered at its end.
void TstCliMqtt::refusedPublishesAreTold() {
    QTemporaryDir dir;
    const QString acl = dir.filePath("acl");
    QFile rules(acl);
    QVERIFY(rules.open(QIODevice::WriteOnly));
    rules.write("topic readwrite allowed/#\n");
    rules.close();
    Broker broker(dir.path(), {}, QStringLiteral("acl_file %1\n").arg(acl));
    QVERIFY(broker.start());
    Simulator sim(dir.path(), {});
    QVERIFY(sim.started());
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--interval", "1", "--mqtt",
             broker.url(QStringLiteral("site"))});
    QVERIFY(waitUntil([&] { return cli.outLines().size() >= 3; }));
    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 0);
    const QStringList lines = cli.err().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.filter(QLatin1String("refused")).size(), 1);
    QVERIFY2(lines.filter(QLatin1String("refused")).first().contains(QLatin1String("Not authorized")),
             qPrintable(cli.err()));
    QVERIFY2(!lines.filter(QRegularExpression(QStringLiteral("^corvane-cli: [1-9][0-9]* readings could not "
                                                             "be delivered")))
                  .isEmpty(),
             qPrintable(cli.err()));
}

// --csv FILE: the monitor's CSV is appended to the file, and stdout stays empty.
void TstCliMqtt::csvInsteadOfJson() {
    QTemporaryDir dir;
    Simulator sim(dir.path(), {"--slave", "3:QTR-4D"});
    QVERIFY(sim.started());
    const QString csv = dir.filePath("monitor.csv");
    QFile before(csv);
    QVERIFY(before.open(QIODevice::WriteOnly));
    before.write("kept\r\n");
    before.close();
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--address", "3", "--interval", "1",
             "--csv", csv});
    QFile file(csv);
    const auto rows = [&] {
        file.open(QIODevice::ReadOnly);
        const QList<QByteArray> lines = file.readAll().split('\n');
        file.close();
        QList<QByteArray> readings;
        for (const QByteArray &line : lines) {
            if (line.contains(";3;QTR-4D;"))
                readings << line;
        }
        return readings;
    };
    QVERIFY2(waitUntil([&] { return rows().size() >= 2; }), qPrintable(cli.err()));
    cli.signal(SIGINT);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(cli.outLines().isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith("kept\r\n"));
}

void TstCliMqtt::csvLogKeepsToItsPathAndWholeRows_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to a regular file") << QStringLiteral("link");
    QTest::newRow("dangling link") << QStringLiteral("dangling");
    QTest::newRow("a cut last row") << QStringLiteral("cut");
    QTest::newRow("the file size limit reached") << QStringLiteral("limit");
}

// The log is written where it was named and nowhere else, and always ends in whole rows.
void TstCliMqtt::csvLogKeepsToItsPathAndWholeRows() {
    QFETCH(QString, kind);
    QTemporaryDir dir;
    Simulator sim(dir.path(), {"--slave", "3:QTR-4D"});
    QVERIFY(sim.started());
    const QString csv = dir.filePath("monitor.csv");
    const QString other = dir.filePath("other.txt");
    const QByteArray kept = kind == QLatin1String("cut") ? QByteArray("kept\r\n2026-12-08T21:05:07+01:00;3;QTR")
                                                       : QByteArray("kept\r\n");
    if (kind != QLatin1String("dangling")) {
        QFile file(kind == QLatin1String("link") ? other : csv);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kept);
    }
    if (kind == QLatin1String("link") || kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(other, csv));
    // Room for the header and one row and a bit.
    const auto limit = rlim_t(kept.size() + 4000);
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--address", "3", "--interval", "1", "--csv",
             csv},
            [limit] {
                const rlimit size{limit, limit};
                ::setrlimit(RLIMIT_FSIZE, &size);
            });
    const auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    if (kind == QLatin1String("link") || kind == QLatin1String("dangling")) {
        QVERIFY(cli.finished());
        QCOMPARE(cli.exitCode(), 2);
        QCOMPARE(cli.err().trimmed(),
                 QStringLiteral("corvane-cli: monitor log %1: it is a symbolic link").arg(csv));
        QCOMPARE(contents(other), kind == QLatin1String("link") ? kept : QByteArray());
        QCOMPARE(QFileInfo::exists(other), kind == QLatin1String("link"));
        return;
    }
    if (kind == QLatin1String("cut")) {
        QVERIFY2(waitUntil([&] { return contents(csv).count(";3;QTR-4D;") >= 1; }), qPrintable(cli.err()));
        cli.signal(SIGTERM);
        QVERIFY(cli.finished());
        QCOMPARE(cli.exitCode(), 0);
        QVERIFY(contents(csv).startsWith(kept + "\r\nCorvane monitor log\r\n"));
        return;
    }
    // The row that does not fit is taken back; the run ends with one line.
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY2(cli.err().contains(QStringLiteral("monitor log %1: ").arg(csv)), qPrintable(cli.err()));
    const QByteArray written = contents(csv);
    QVERIFY(written.startsWith(kept + "Corvane monitor log\r\n"));
    QVERIFY(written.endsWith("\r\n"));
    QVERIFY(written.size() <= qsizetype(limit));
    QVERIFY(written.count(";3;QTR-4D;") >= 1);
}

// The gateway goes away: the run ends with one line naming it and status 3, so that a service
// manager starts it again.
void TstCliMqtt::closedGatewayEndsTheRun() {
    QProcess gateway;
    gateway.start(kSim, {"--tcp-listen", "0", "--quiet"});
    QVERIFY(gateway.waitForStarted(10000));
    QByteArray port;
    QVERIFY(waitUntil([&] {
        port += gateway.readAllStandardOutput();
        return port.contains('\n');
    }));
    Cli cli({"monitor", "--port", "tcp://127.0.0.1:" + QString::fromLatin1(port.trimmed()),
             "--fast", "--interval", "1"});
    QVERIFY2(waitUntil([&] { return cli.outLines().size() >= 1; }), qPrintable(cli.err()));
    gateway.kill();
    gateway.waitForFinished(5000);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 3);
    const QStringList lines = cli.err().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList{"corvane-cli: the gateway closed the connection"});
}

// A logger on a line-true simulator answers the tariff block late, twice, by more than two
// windows, while fast mode and a retry keep the line busy with counter blocks of the same length;
// or it loses those two requests. Every reading given without an error is the logger's own: each
// input's tariff 1 follows its total pulses and the other tariffs stay at 0. A shifted block would
// put the totals, the battery or the flow into the tariffs.
void TstCliMqtt::lateCountersNeverShiftAReading_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("late") << "delay=480,register=0x10,times=2";
    QTest::newRow("lost") << "no-reply,register=0x10,times=2";
}

void TstCliMqtt::lateCountersNeverShiftAReading() {
    QFETCH(QString, fault);
    QTemporaryDir dir;
    Simulator sim(dir.path(), {"--line-time", "--fault", fault});
    QVERIFY(sim.started());
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--retries", "1", "--window", "200",
             "--interval", "1", "--verbose"});
    const auto good = [&] {
        int count = 0;
        for (const QString &line : cli.outLines())
            count += json(line.toUtf8()).value("error").isNull() ? 1 : 0;
        return count;
    };
    QVERIFY2(waitUntil([&] { return good() >= 4; }), qPrintable(cli.err()));
    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    int checked = 0;
    for (const QString &line : cli.outLines()) {
        const QJsonObject reading = json(line.toUtf8());
        if (!reading.value("error").isNull())
            continue;
        ++checked;
        QCOMPARE(reading.value("battery").toDouble(), 3.61);
        for (const QJsonValue &value : reading.value("inputs").toArray()) {
            const QJsonObject input = value.toObject();
            const QJsonArray tariffs = input.value("tariffPulses").toArray();
            const double total = input.value("totalPulses").toDouble();
            // The counters move on while a reading is taken, a pulse a second.
            QVERIFY2(std::abs(tariffs[0].toDouble() - total) <= 2, qPrintable(line));
            for (int tariff = 1; tariff < 4; ++tariff)
                QVERIFY2(tariffs[tariff].toDouble() == 0, qPrintable(line));
        }
    }
    QVERIFY(checked >= 4);
}

// SIGTERM as a service manager sends it, in designed timing with a long window: while the
// monitor learns its address (the model, then the parameter table) and while it reads. The
// request in flight is finished and nothing more goes out: a stop never outlasts one window.
void TstCliMqtt::signalEndsTheRunAfterTheRequestInFlight_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("request"); // the signal comes once the logger has heard this many
    QTest::newRow("preparing, the model") << QStringList() << 1;
    QTest::newRow("preparing, the parameter table") << QStringList() << 2;
    // Silent while it is prepared, the logger is identified by the monitor's first cycle.
    QTest::newRow("reading") << QStringList{"--fault", "no-reply,function=0x2B,times=1"} << 3;
}

void TstCliMqtt::signalEndsTheRunAfterTheRequestInFlight() {
    QFETCH(QStringList, faults);
    QFETCH(int, request);
    QTemporaryDir dir;
    Simulator sim(dir.path(), faults, true);
    QVERIFY(sim.started());
    Cli cli({"monitor", "--port", sim.port(), "--window", "3000", "--interval", "1"});
    QVERIFY2(waitUntil([&] { return sim.requestsHeard() >= request; }), qPrintable(cli.err()));
    cli.signal(SIGTERM);
    QVERIFY2(cli.finished(), qPrintable(cli.err()));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(sim.requestsHeard(), request);
}

// Each reading's link object counts, since the monitor started, every try the simulator's fault
// plan spoiled, by kind; in the designed timing, which owes no late answers, exactly.
void TstCliMqtt::linkCountsWhatTheLineDid() {
    QTemporaryDir dir;
    // Of logger 1: total pulses fail their CRC twice, so that block's retry fails too; tariff 1
    // gets "illegal address" (an answer, never retried); the battery is "busy" once and the flow
    // once silent, and each retry is answered. Logger 2 is not there.
    Simulator sim(dir.path(), {"--fault", "bad-crc,slave=1,function=4,register=0x0,times=2", "--fault",
                               "exception=2,slave=1,function=4,register=0x10,times=1", "--fault",
                               "exception=6,slave=1,function=4,register=999,times=1", "--fault",
                               "no-reply,slave=1,function=4,register=0x60,times=1"});
    QVERIFY(sim.started());
    Cli cli({"monitor", "--port", sim.port(), "--window", "150", "--retries", "1", "--interval",
             "1", "--address", "1,2"});
    QVERIFY2(waitUntil([&] { return cli.outLines().size() >= 6; }, kLongWaitMs), qPrintable(cli.err()));
    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    QJsonObject first;
    QJsonObject last;
    QJsonObject silent;
    for (const QString &line : cli.outLines()) {
        const QJsonObject reading = json(line.toUtf8());
        if (reading.value("address").toInt() == 2) {
            silent = reading.value("link").toObject();
            continue;
        }
        if (first.isEmpty())
            first = reading.value("link").toObject();
        last = reading.value("link").toObject();
    }
    const auto count = [](const QJsonObject &link, const char *key) {
        return link.value(QLatin1String(key)).toInteger(-1);
    };
    QCOMPARE(count(last, "noReply"), 1);
    QCOMPARE(count(last, "crcErrors"), 2);
    QCOMPARE(count(last, "exceptions"), 2);
    QCOMPARE(count(last, "mismatches"), 0);
    QCOMPARE(count(last, "retries"), 3);
    QCOMPARE(count(last, "requests"),
             count(last, "replies") + count(last, "noReply") + count(last, "crcErrors") +
                 count(last, "exceptions"));
    QVERIFY(count(last, "requests") > count(first, "requests"));
    QVERIFY(last.value("replyMs").toObject().value("median").isDouble());
    // An address nobody answers: every try counted as no reply, and no reply time.
    QCOMPARE(count(silent, "replies"), 0);
    QVERIFY(count(silent, "noReply") >= 2);
    QCOMPARE(count(silent, "requests"), count(silent, "noReply"));
    QVERIFY(silent.value("replyMs").toObject().value("median").isNull());
}

namespace {

// A monitor that takes commands, on a broker that wants a password.
struct CommandRig {
    CommandRig() {
        passwords = dir.filePath("passwords");
        QProcess::execute(kPasswd, {"-c", "-b", passwords, "meter", "s3cret"});
        credentials = dir.filePath("credentials");
        QFile file(credentials);
        if (file.open(QIODevice::WriteOnly))
            file.write("meter:s3cret\n");
    }
    QTemporaryDir dir;
    QString passwords;
    QString credentials;
};

// The results with this id so far.
QList<QJsonObject> results(const Listener &listener, const QString &topic, const QString &id) {
    QList<QJsonObject> found;
    for (const Message &m : listener.on(topic)) {
        const QJsonObject result = json(m.payload);
        if (result.value("id").toString() == id)
            found << result;
    }
    return found;
}

} // namespace

// Commands through the running monitor: each gets exactly one result, between the monitor's
// requests, and the monitor goes on whatever a message says.
void TstCliMqtt::commandsThroughTheMonitor() {
    CommandRig rig;
    Broker broker(rig.dir.path(), rig.passwords);
    QVERIFY(broker.start());
    // The logger takes its time, so that commands sent together wait for the line together.
    Simulator sim(rig.dir.path(), {"--slave", "1:QTR-8D", "--slave", "2:QTR-4D", "--turnaround", "150"});
    QVERIFY(sim.started());
    Listener listener(broker.port(), nullptr, "meter", "s3cret");
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--address", "1,2", "--interval", "2",
             "--mqtt", broker.url(), "--mqtt-credentials", rig.credentials, "--mqtt-commands",
             "--ha-discovery"});
    QVERIFY2(waitUntil([&] { return listener.on("site/2/state").size() >= 1; }), qPrintable(cli.err()));
    // Home Assistant's buttons press the commands.
    const auto buttons = [&] {
        QStringList pressed;
        for (const Message &m : listener.messages()) {
            if (!m.topic.startsWith(QLatin1String("homeassistant/button/")))
                continue;
            const QJsonObject config = json(m.payload);
            if (config.value("command_topic").toString().endsWith(QLatin1String("/command")))
                pressed << json(config.value("payload_press").toString().toUtf8())
                               .value("command")
                               .toString();
        }
        pressed.sort();
        return pressed;
    };
    QVERIFY(waitUntil([&] { return buttons().size() >= 4; }));
    QCOMPARE(buttons(), (QStringList{"read-now", "read-now", "set-clock", "set-clock"}));

    const auto send = [&](const char *topic, const QByteArray &payload) { listener.publish(topic, payload); };
    const auto resultOf = [&](const char *topic, const char *id) {
        QList<QJsonObject> found;
        waitUntil([&] { return !(found = results(listener, topic, id)).isEmpty(); });
        return found.isEmpty() ? QJsonObject() : found.first();
    };
    send("site/1/command", R"({"command": "set-clock", "time": "2026-12-09T10:30:00", "id": "with time"})");
    const QJsonObject set = resultOf("site/1/result", "with time");
    QCOMPARE(set.value("result").toString(), QStringLiteral("ok"));
    QVERIFY(set.value("error").isNull());
    QCOMPARE(set.value("command").toString(), QStringLiteral("set-clock"));
    QCOMPARE(set.value("written").toString(), QStringLiteral("2026-12-09T10:30:00"));
    QVERIFY(QDateTime::fromString(set.value("time").toString(), Qt::ISODate).isValid());
    QVERIFY(set.value("ms").toInteger(-1) >= 0);
    // The logger's clock was set: identify reads it back, with the model and its line.
    send("site/1/command", R"({"command": "identify", "id": "who"})");
    const QJsonObject who = resultOf("site/1/result", "who");
    QCOMPARE(who.value("result").toString(), QStringLiteral("ok"));
    const QJsonObject identify = who.value("identify").toObject();
    QCOMPARE(identify.value("model").toString(), QStringLiteral("QTR-8D"));
    QVERIFY2(identify.value("clock").toString().startsWith(QLatin1String("09.12.26 10:3")),
             qPrintable(identify.value("clock").toString()));
    QVERIFY(identify.contains("deviceId") && identify.contains("speed") && identify.contains("parity"));
    send("site/1/command", R"({"command": "set-clock", "id": "pc"})");
    const QJsonObject pc = resultOf("site/1/result", "pc");
    QCOMPARE(pc.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(QDateTime::fromString(pc.value("written").toString(), Qt::ISODate).date(), QDate::currentDate());
    // read-now: a reading of address 2 made after it came, published as any reading.
    const auto states = listener.on("site/2/state").size();
    send("site/2/command", R"({"command": "read-now", "id": "now"})");
    const QJsonObject now = resultOf("site/2/result", "now");
    QCOMPARE(now.value("result").toString(), QStringLiteral("ok"));
    QVERIFY(listener.on("site/2/state").size() > states);

    // What is not a command, or not one for this monitor, is answered and changes nothing.
    const struct {
        const char *topic;
        QByteArray payload;
        const char *id;
        const char *error;
    } refused[] = {
        {"site/1/command", "not json", nullptr, "not a JSON object"},
        {"site/1/command", R"({"command": "set-address", "id": "unknown"})", "unknown", "unknown command"},
        {"site/9/command", R"({"command": "read-now", "id": "unwatched"})", "unwatched", "address 9 is not watched"},
        {"site/1/command", R"({"command": "set-clock", "time": "tomorrow", "id": "bad time"})", "bad time", "bad time"},
    };
    for (const auto &message : refused) {
        const std::size_t before = listener.on(QString::fromLatin1(message.topic).replace("command", "result")).size();
        send(message.topic, message.payload);
        const QString resultTopic = QString::fromLatin1(message.topic).replace("command", "result");
        QVERIFY(waitUntil([&] { return listener.on(resultTopic).size() > before; }));
        const QJsonObject result = json(listener.on(resultTopic).back().payload);
        QCOMPARE(result.value("result").toString(), QStringLiteral("error"));
        QVERIFY2(result.value("error").toString().contains(QLatin1String(message.error)),
                 qPrintable(result.value("error").toString()));
        if (message.id)
            QCOMPARE(result.value("id").toString(), QLatin1String(message.id));
    }
    // Eight at once for one address: four wait (and one may be under way), the rest are refused.
    for (int i = 0; i < 8; ++i)
        send("site/1/command", QStringLiteral(R"({"command": "identify", "id": "burst %1"})").arg(i).toUtf8());
    int ok = 0;
    int full = 0;
    QVERIFY(waitUntil([&] {
        ok = full = 0;
        for (int i = 0; i < 8; ++i) {
            for (const QJsonObject &r : results(listener, "site/1/result", QStringLiteral("burst %1").arg(i))) {
                ok += r.value("result").toString() == QLatin1String("ok");
                full += r.value("error").toString().contains(QLatin1String("commands waiting"));
            }
        }
        return ok + full == 8;
    }));
    QVERIFY2(full >= 3 && ok >= 4, qPrintable(QStringLiteral("%1 ok, %2 refused").arg(ok).arg(full)));
    // The monitor went on reading all the while.
    const auto readings = listener.on("site/1/state").size();
    QVERIFY(waitUntil([&] { return listener.on("site/1/state").size() > readings; }));
    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    QCOMPARE(cli.exitCode(), 0);
    // One line for every command.
    QCOMPARE(cli.err().count(QLatin1String("MQTT command ")), 4 + 4 + 8);
}

// Without --mqtt-commands the command topic is nobody's: no result, and the clock stays.
void TstCliMqtt::commandsNeedTheFlag() {
    CommandRig rig;
    Broker broker(rig.dir.path(), rig.passwords);
    QVERIFY(broker.start());
    Simulator sim(rig.dir.path(), {});
    QVERIFY(sim.started());
    Listener listener(broker.port(), nullptr, "meter", "s3cret");
    Cli cli({"monitor", "--port", sim.port(), "--fast", "--interval", "1", "--mqtt", broker.url(),
             "--mqtt-credentials", rig.credentials});
    QVERIFY2(waitUntil([&] { return listener.on("site/1/state").size() >= 1; }), qPrintable(cli.err()));
    listener.publish("site/1/command", R"({"command": "set-clock", "time": "2030-01-01T00:00:00", "id": "x"})");
    const auto readings = listener.on("site/1/state").size();
    QVERIFY(waitUntil([&] { return listener.on("site/1/state").size() >= readings + 2; }));
    QVERIFY(listener.on("site/1/result").empty());
    cli.signal(SIGTERM);
    QVERIFY(cli.finished());
    QVERIFY(!cli.err().contains(QLatin1String("MQTT command")));
}

QTEST_GUILESS_MAIN(TstCliMqtt)
#include "tst_cli_mqtt.moc"
