#include "request_handler.h"
#include "sim_test_support.h"

#include <QTest>

using namespace corvane;
using corvane::test::frame;

Q_DECLARE_METATYPE(corvane::LineSettings)

namespace {

QByteArray repeated(const char *hex, int times) {
    return QByteArray::fromHex(hex).repeated(times);
}

QByteArray withCrc(QByteArray bytes) {
    appendCrc(bytes);
    return bytes;
}

QByteArray identification(const char *header, const QList<QPair<int, QByteArray>> &objects) {
    QByteArray bytes = QByteArray::fromHex(header);
    bytes.append(char(objects.size()));
    for (const auto &[id, text] : objects) {
        bytes.append(char(id));
        bytes.append(char(text.size()));
        bytes.append(text);
    }
    return withCrc(bytes);
}

// The model digit a master finds in an identification reply: the text runs from byte 7 to the
// byte before the one preceding the CRC, control bytes read as blanks, and the last "Q" with
// five characters after it decides by the character four places on.
QChar recognisedModelDigit(const QByteArray &reply) {
    QString text;
    for (qsizetype i = 7; i <= reply.size() - 4; ++i) {
        const auto byte = static_cast<std::uint8_t>(reply.at(i));
        text += byte <= 0x1E ? QChar(u' ') : QChar(byte);
    }
    QChar digit;
    for (qsizetype i = 0; i + 5 < text.size(); ++i) {
        if (text[i] == u'Q')
            digit = text[i + 4];
    }
    return digit;
}

} // namespace

class TstLoggerRequests : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void readsOfAFreshLogger_data();
    void readsOfAFreshLogger();
    void writesAreReadBack_data();
    void writesAreReadBack();
    void refusedRequests_data();
    void refusedRequests();
    void refusedBlockStoresNothing();
    void addressChangeTakesEffect();
    void addressChangeToATakenAddressIsRefused();
    void broadcastActsWithoutReply();
    void onlyTheAddressedLoggerAnswers();
    void requestWithBadCrcIsIgnored();
    void loggerHearsOnlyItsLineSettings_data();
    void loggerHearsOnlyItsLineSettings();
    void lineChangeTakesEffectAfterTheAcknowledgement();
    void broadcastReachesLoggersAtItsSettings();
    void identificationNamesTheModel_data();
    void identificationNamesTheModel();

private:
    std::unique_ptr<test::ManualSim> m_fixture;
    LoggerSimulator &sim() { return m_fixture->sim; }
};

void TstLoggerRequests::init() {
    m_fixture = std::make_unique<test::ManualSim>();
    QVERIFY(sim().addSlave(1, Model::Qtr8d));
    QVERIFY(sim().addSlave(2, Model::Qtr4d));
    sim().withLogger(2, [](LoggerModel &logger) { logger.setLocked(true); }); // for "unlock"
}

void TstLoggerRequests::readsOfAFreshLogger_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    auto row = [](const char *name, const char *request, const QByteArray &reply) {
        QTest::newRow(name) << frame(request) << withCrc(reply);
    };
    row("units", "010380000008", QByteArray::fromHex("010310") + repeated("0001", 8));
    row("pulse length 10 ms, English", "010380100001", QByteArray::fromHex("0103020201"));
    row("clock", "010380120002", QByteArray::fromHex("0103043C460905"));
    row("tariff 1 day", "010380160008", QByteArray::fromHex("010310") + repeated("0610", 8));
    row("user numbers", "010380360008",
        QByteArray::fromHex("010310 00010002000300040005000600070008"));
    row("tariff 4 initial values, last block", "0103807E0010",
        QByteArray::fromHex("010320") + repeated("00", 32));
    row("battery", "010403E70002", QByteArray::fromHex("01040400B80000"));
    row("input status, 4D", "020407D00004", QByteArray::fromHex("020408") + repeated("00", 8));
    row("free text of input 1", "01140706000A00000006",
        QByteArray::fromHex("01140E0D06") + "Input 1" + repeated("00", 5));
    row("free text of input 4, 4D", "02140706000A00030006",
        QByteArray::fromHex("02140E0D06") + "Input 4" + repeated("00", 5));
    row("menu code", "01470200", QByteArray::fromHex("0147020431323334"));
    row("status: unlocked, 8 inputs, positive, none/9600, ID 12345678", "01470400",
        QByteArray::fromHex("014704080008002412345678"));
    QTest::newRow("identification, basic")
        << frame("012B0E0100")
        << identification("012B0E01820000", {{0, "Logger simulator"}, {1, "QTR-8D"}, {2, "V1.00"}});
    QTest::newRow("identification, regular")
        << frame("022B0E0200")
        << identification("022B0E02820000", {{0, "Logger simulator"},
                                             {1, "QTR-4D"},
                                             {2, "V1.00"},
                                             {4, "Pulse data logger"},
                                             {5, "QTR-4D"},
                                             {6, "Pulse counter"}});
    QTest::newRow("identification, one object")
        << frame("012B0E0401") << identification("012B0E04820000", {{1, "QTR-8D"}});
}

void TstLoggerRequests::readsOfAFreshLogger() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QCOMPARE(sim().handleRequest(request).toHex(' '), reply.toHex(' '));
}

void TstLoggerRequests::writesAreReadBack_data() {
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("ack");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<QByteArray>("readBack");
    auto row = [](const char *name, const char *write, const char *ack, const char *read,
                  const char *readBack) {
        QTest::newRow(name) << frame(write) << frame(ack) << frame(read) << frame(readBack);
    };
    row("units, 0x10", "01108000000810 00020000000100020003000100020000", "011080000008",
        "010380000008", "010310 00020000000100020003000100020000");
    row("pulse length 20 ms clears the language, 0x06", "010680100400", "010680100400",
        "010380100001", "0103020400");
    row("inputs displayed, 0x06", "010680150003", "010680150003", "010380150001", "0103020003");
    row("tariff 3 of a 4D, 0x10", "02108026000408 070816060000 0C0C", "021080260004",
        "020380260004", "020308 070816060000 0C0C");
    row("clock, 14:07 on 6.12.26", "011080120002043C460E07", "011080120002", "010380120002",
        "0103043C460E07");
    row("initial values, signed tenths", "0110803E000810 0000007BFFFFFFFF7FFFFFFF80000000",
        "0110803E0008", "0103803E0008", "010310 0000007BFFFFFFFF7FFFFFFF80000000");
    row("tariff 2 initial value, 0x06 on the low half", "0106805F0064", "0106805F0064",
        "0103805E0002", "01030400000064");
    row("free text of input 3", "01150B06000A00020002 41424300", "01150B06000A0002000241424300",
        "01140706000A00020006", "01140E0D06 41424300 0000000000000000");
    row("set ID, 0x47/0", "01470004 87654321", "01470000", "01470400",
        "01470408 00080024 87654321");
    row("line settings odd/19200, 0x47/1", "01470102 0105", "01470100", "01470400",
        "01470408 00080015 12345678");
    row("menu code, 0x47/3", "01470304 39383736", "01470300", "01470200", "01470204 39383736");
    row("lock, 0x47/5", "0147050155", "01470500", "01470400", "01470408 01080024 12345678");
    row("unlock, 0x47/25", "0247190101", "02471900", "02470400", "02470408 00040024 12345678");
    row("number of inputs 4, 0x47/42", "01472A01AA", "01472A00", "01470400",
        "01470408 00040024 12345678");
    row("negative polarity, 0x47/50", "0147320101", "01473200", "01470400",
        "01470408 00080124 12345678");
}

void TstLoggerRequests::writesAreReadBack() {
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, ack);
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, readBack);
    QCOMPARE(sim().handleRequest(write).toHex(' '), ack.toHex(' '));
    QCOMPARE(sim().handleRequest(read).toHex(' '), readBack.toHex(' '));
}

void TstLoggerRequests::refusedRequests_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("exceptionCode");
    auto row = [](const char *name, const char *request, int code) {
        QTest::newRow(name) << frame(request) << code;
    };
    row("read of a register the logger lacks", "010390000001", 2);
    row("read across the gap at 0x8014", "010380120003", 2);
    row("read of no register", "010380000000", 3);
    row("read of 126 registers", "01038000007E", 3);
    row("input register the logger lacks", "010401F40001", 2);
    row("input status beyond its block", "010407D00009", 2);
    row("write of a missing register", "010670000001", 2);
    row("bus address 0", "010680110000", 3);
    row("inputs displayed 9", "010680150009", 3);
    row("month 13", "010680123D46", 3);
    row("30 February", "01068012325E", 3);
    row("byte count not twice the count", "0110800000010400010002", 3);
    row("file other than 10", "01140706000B00000006", 2);
    row("record beyond the inputs of a 4D", "02140706000A00040006", 2);
    row("reference type 7", "01140707000A00000006", 2);
    row("record longer than 6 registers", "01140706000A00000007", 2);
    row("write of a record beyond the inputs", "02150B06000A00040002 41420000", 2);
    row("sub-request cut short", "0114060600 0A00000006", 3);
    row("identification code 5", "012B0E0500", 3);
    row("identification of a missing object", "012B0E0403", 2);
    row("other MEI type", "012B0D0000", 1);
    row("service sub-code 99", "01476300", 1);
    row("lock without 0x55", "0147050154", 3);
    row("5 inputs", "01472A01DA", 3);
    row("polarity 2", "0147320102", 3);
    row("parity code 3", "014701020304", 3);
    row("menu code with a letter", "0147030431326134", 3);
    row("ID digit above 9", "014700041A345678", 3);
    row("data length not matching", "0147050255", 3);
    row("coils", "010100000008", 1);
    row("unknown function", "014100000008", 1);
}

void TstLoggerRequests::refusedRequests() {
    QFETCH(QByteArray, request);
    QFETCH(int, exceptionCode);
    const QByteArray expected =
        exceptionReply(request.at(0), std::uint8_t(request.at(1)), exceptionCode);
    QCOMPARE(sim().handleRequest(request).toHex(' '), expected.toHex(' '));
}

void TstLoggerRequests::refusedBlockStoresNothing() {
    // 0x8010 is valid, 0x8011 (bus address 0) is not: neither may change.
    QCOMPARE(sim().handleRequest(frame("0110801000020403010000")), exceptionReply(1, 0x10, 3));
    QCOMPARE(sim().logger(1).pulseLengthCode(), 2);
    QCOMPARE(sim().logger(1).address(), 1);
}

void TstLoggerRequests::addressChangeTakesEffect() {
    QCOMPARE(sim().handleRequest(frame("010680110007")), frame("010680110007"));
    QVERIFY(sim().handleRequest(frame("010380110001")).isEmpty());
    QCOMPARE(sim().handleRequest(frame("070380110001")), frame("0703020007"));
    QCOMPARE(sim().slaveAddresses(), QList<int>({2, 7}));
    // The request to the old address found nobody there.
    QCOMPARE(sim().requestCount(1), 1);
    QCOMPARE(sim().requestCount(7), 1);
}

void TstLoggerRequests::addressChangeToATakenAddressIsRefused() {
    QCOMPARE(sim().handleRequest(frame("010680110002")), exceptionReply(1, 6, 3));
    QCOMPARE(sim().slaveAddresses(), QList<int>({1, 2}));
}

void TstLoggerRequests::broadcastActsWithoutReply() {
    QVERIFY(sim().handleRequest(frame("000680150003")).isEmpty());
    QCOMPARE(sim().logger(1).inputsDisplayed(), 3);
    QCOMPARE(sim().logger(2).inputsDisplayed(), 3);
    QCOMPARE(sim().requestCount(0), 1);
}

void TstLoggerRequests::onlyTheAddressedLoggerAnswers() {
    QVERIFY(sim().handleRequest(frame("030380000004")).isEmpty());
    QCOMPARE(sim().handleRequest(frame("020380000004")).left(3), QByteArray::fromHex("020308"));
    QCOMPARE(sim().handleRequest(frame("010380000008")).left(3), QByteArray::fromHex("010310"));
    QCOMPARE(sim().handleRequest(frame("010380080008")).left(3), QByteArray::fromHex("010310"));
    QCOMPARE(sim().requestCount(1, 0x03), 2);
    QCOMPARE(sim().requestCount(2), 1);
    QCOMPARE(sim().requestCount(3), 0);
    QCOMPARE(sim().requestCount(), 3);
    QCOMPARE(sim().receivedFrames().size(), 4);
    sim().resetCounters();
    QCOMPARE(sim().requestCount(), 0);
}

void TstLoggerRequests::requestWithBadCrcIsIgnored() {
    QByteArray request = frame("010380000008");
    request[request.size() - 1] = char(request.back() ^ 1);
    QVERIFY(sim().handleRequest(request).isEmpty());
    QCOMPARE(sim().requestCount(), 0);
}

void TstLoggerRequests::loggerHearsOnlyItsLineSettings_data() {
    QTest::addColumn<LineSettings>("listens");
    QTest::addColumn<LineSettings>("line");
    QTest::addColumn<bool>("answered");
    const LineSettings defaults;
    const LineSettings even19200{0, 5};
    QTest::newRow("default logger, 9600 none") << defaults << LineSettings{2, 4} << true;
    QTest::newRow("default logger, 19200") << defaults << LineSettings{2, 5} << false;
    QTest::newRow("default logger, even parity") << defaults << LineSettings{0, 4} << false;
    QTest::newRow("19200 even, matching") << even19200 << even19200 << true;
    QTest::newRow("19200 even, odd parity") << even19200 << LineSettings{1, 5} << false;
    QTest::newRow("19200 even, no parity") << even19200 << LineSettings{2, 5} << false;
    QTest::newRow("38400 odd, matching") << LineSettings{1, 6} << LineSettings{1, 6} << true;
    QTest::newRow("mark or space parity") << defaults << LineSettings{kNoLineCode, 4} << false;
    QTest::newRow("speed no logger has") << defaults << LineSettings{2, kNoLineCode} << false;
}

// What does not reach the logger changes nothing and is not counted, though it was on the line.
void TstLoggerRequests::loggerHearsOnlyItsLineSettings() {
    QFETCH(LineSettings, listens);
    QFETCH(LineSettings, line);
    QFETCH(bool, answered);
    sim().withLogger(1, [&listens](LoggerModel &logger) { logger.setLineSettings(listens); });
    QCOMPARE(sim().handleRequest(frame("010680150003"), line).isEmpty(), !answered);
    QCOMPARE(sim().logger(1).inputsDisplayed(), answered ? 3 : 8);
    QCOMPARE(sim().requestCount(1), answered ? 1 : 0);
    QCOMPARE(sim().receivedFrames().size(), 1);
}

void TstLoggerRequests::lineChangeTakesEffectAfterTheAcknowledgement() {
    const LineSettings before;
    const LineSettings after{0, 5};
    const QByteArray status = frame("01470400");
    // Received at the old settings, so acknowledged at them.
    QCOMPARE(sim().handleRequest(frame("014701020005"), before), frame("01470100"));
    QVERIFY(sim().handleRequest(status, before).isEmpty());
    QCOMPARE(sim().handleRequest(status, after), frame("01470408 00080005 12345678"));
    QCOMPARE(sim().requestCount(1, 0x47), 2);
}

void TstLoggerRequests::broadcastReachesLoggersAtItsSettings() {
    sim().withLogger(2, [](LoggerModel &logger) { logger.setLineSettings({0, 5}); });
    QVERIFY(sim().handleRequest(frame("000680150003"), LineSettings{0, 5}).isEmpty());
    QCOMPARE(sim().logger(1).inputsDisplayed(), 8);
    QCOMPARE(sim().logger(2).inputsDisplayed(), 3);
    QVERIFY(sim().handleRequest(frame("000680150005"), LineSettings{1, 6}).isEmpty());
    QCOMPARE(sim().logger(1).inputsDisplayed(), 8);
    QCOMPARE(sim().logger(2).inputsDisplayed(), 3);
    QCOMPARE(sim().requestCount(0), 1);
}

void TstLoggerRequests::identificationNamesTheModel_data() {
    QTest::addColumn<Model>("model");
    QTest::addColumn<QByteArray>("inputsCommand");
    QTest::addColumn<QChar>("digit");
    QTest::newRow("8D") << Model::Qtr8d << QByteArray() << QChar(u'8');
    QTest::newRow("6D") << Model::Qtr6d << QByteArray() << QChar(u'6');
    QTest::newRow("4D") << Model::Qtr4d << QByteArray() << QChar(u'4');
    QTest::newRow("8D set to 6 inputs") << Model::Qtr8d << frame("05472A01BA") << QChar(u'6');
    QTest::newRow("4D set to 8 inputs") << Model::Qtr4d << frame("05472A01CA") << QChar(u'8');
}

void TstLoggerRequests::identificationNamesTheModel() {
    QFETCH(Model, model);
    QFETCH(QByteArray, inputsCommand);
    QFETCH(QChar, digit);
    QVERIFY(sim().addSlave(5, model));
    if (!inputsCommand.isEmpty())
        QCOMPARE(sim().handleRequest(inputsCommand), frame("05472A00"));
    for (const char *request : {"052B0E0100", "052B0E0200"})
        QCOMPARE(recognisedModelDigit(sim().handleRequest(frame(request))), digit);
}

QTEST_GUILESS_MAIN(TstLoggerRequests)
#include "tst_logger_requests.moc"
