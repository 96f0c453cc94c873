#include "autostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace corvane;

class TstAutostart : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { m_entry = m_dir.filePath(QStringLiteral("config/autostart/Corvane.desktop")); }
    void cleanup() { QDir(m_dir.filePath(QStringLiteral("config"))).removeRecursively(); }

    void enableWritesEntry();
    void execArgument_data();
    void execArgument();
    void disable();
    void enableFails();

private:
    QTemporaryDir m_dir;
    QString m_entry;
};

void TstAutostart::enableWritesEntry() {
    const Autostart autostart(m_entry, QStringLiteral("/opt/corvane/corvane"));
    QVERIFY(!autostart.isEnabled());
    autostart.enable();
    QVERIFY(autostart.isEnabled());
    QFile file(m_entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[Desktop Entry]\nType=Application\nName=Corvane\n"
                                        "Exec=/opt/corvane/corvane\n"));
    autostart.enable(); // a second click rewrites the same entry
    QVERIFY(autostart.isEnabled());
}

void TstAutostart::execArgument_data() {
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("exec");
    QTest::newRow("plain") << "/usr/bin/corvane"
                           << "/usr/bin/corvane";
    QTest::newRow("space") << "/opt/my tools/corvane"
                           << "\"/opt/my tools/corvane\"";
    QTest::newRow("dollar and quote") << "/opt/a$b\"c/corvane"
                                      << "\"/opt/a\\\\$b\\\\\"c/corvane\"";
    QTest::newRow("percent") << "/opt/100%/corvane"
                             << "/opt/100%%/corvane";
}

void TstAutostart::execArgument() {
    QFETCH(QString, executable);
    QFETCH(QString, exec);
    QCOMPARE(Autostart::execArgument(executable), exec);
}

void TstAutostart::disable() {
    const Autostart autostart(m_entry, QStringLiteral("/opt/corvane/corvane"));
    autostart.enable();
    QVERIFY(autostart.disable());
    QVERIFY(!QFile::exists(m_entry));
    QVERIFY(autostart.disable()); // nothing there: no error
}

void TstAutostart::enableFails() {
    // The autostart folder's place is taken by a file, so neither folder nor entry can be made.
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("config"))));
    QFile blocker(m_dir.filePath(QStringLiteral("config/autostart")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QString message;
    try {
        Autostart(m_entry, QStringLiteral("/opt/corvane/corvane")).enable();
    } catch (const AutostartError &e) {
        message = QString::fromUtf8(e.what());
    }
    QCOMPARE(message, QStringLiteral("Failed to set data for 'Corvane'"));
}

QTEST_GUILESS_MAIN(TstAutostart)
#include "tst_autostart.moc"
