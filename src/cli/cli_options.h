#pragma once

#include "address_list.h"
#include "link_options.h"
#include "mqtt_target.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

// The command line of corvane-cli, parsed and checked.
struct CliOptions {
    enum class Format { Text, Json, Csv };

    QString command; // identify, read, counters, write, set-clock, scan, export, ...
    QString port;
    int speed = 9600;
    QString parity = QStringLiteral("None");
    int windowMs = 500;
    bool windowGiven = false;
    bool fast = false;
    // --direction: 0 RTS keyed by the program, 1 the driver's RS-485 mode, 2 the adapter.
    int direction = 0;
    bool ignoreEcho = false; // --echo
    int retries = 0;         // --retries, 0 to 5
    bool verbose = false;    // --verbose: the logs on stderr
    QList<int> addresses{1};
    Format format = Format::Text;

    QString saveFile;              // read --save
    QString fromFile;              // write --from
    QStringList only;              // write --only, the groups' names; empty: all
    std::optional<QDateTime> time; // set-clock --time
    int scanFrom = 1;              // scan --from
    int scanTo = 250;              // scan --to
    bool allSettings = false;      // scan --all-settings
    QString exportFile;            // export FILE.dat
    QString csvFile;               // export --csv, monitor --csv
    int stopBits = 1;              // listen --stop-bits
    QString captureFile;           // listen --capture

    // The monitor's.
    int intervalSeconds = 60;   // --interval
    std::optional<MqttTarget> mqtt; // --mqtt mqtt[s]://HOST[:PORT]/PREFIX
    QString mqttCa;             // --mqtt-ca FILE
    QString mqttCredentials;    // --mqtt-credentials FILE, one user:password line
    bool haDiscovery = false;   // --ha-discovery
    int mqttBuffer = 10000;     // --mqtt-buffer, readings kept while the broker is away
    bool mqttCommands = false;  // --mqtt-commands

    // The service commands'.
    QString servicePassword;
    int newAddress = 0; // set-address --new-address
    int newSpeed = 0;   // set-line --new-speed
    QString newParity;  // set-line --new-parity
    QString code;       // set-code --code

    bool help = false;
    bool version = false;
};

struct CliParse {
    std::optional<CliOptions> options;
    // One line saying what is wrong, for a usage error.
    QString error;
};

// arguments: without the program's name.
CliParse parseCliArguments(const QStringList &arguments);

// The help of the program, or of one command.
QString cliUsage(const QString &command = {});

inline const QStringList kCliCommands{
    QStringLiteral("identify"), QStringLiteral("read"),        QStringLiteral("counters"),
    QStringLiteral("write"),    QStringLiteral("set-clock"),   QStringLiteral("scan"),
    QStringLiteral("export"),   QStringLiteral("set-address"), QStringLiteral("set-line"),
    QStringLiteral("lock"),     QStringLiteral("unlock"),      QStringLiteral("read-code"),
    QStringLiteral("set-code"), QStringLiteral("monitor"),     QStringLiteral("listen")};
// The commands behind the service page's password.
inline const QStringList kServiceCommands{
    QStringLiteral("set-address"), QStringLiteral("set-line"),  QStringLiteral("lock"),
    QStringLiteral("unlock"),      QStringLiteral("read-code"), QStringLiteral("set-code")};
inline const QStringList kWriteGroups{QStringLiteral("unit"),    QStringLiteral("constant"),
                                      QStringLiteral("user"),    QStringLiteral("text"),
                                      QStringLiteral("tariffs"), QStringLiteral("initial")};

// A time for the logger's clock, as --time takes it: ISO 8601, its wall-clock fields as they
// stand, in the years the clock holds. Nothing, with the reason, otherwise.
std::optional<QDateTime> parseLoggerTime(const QString &text, QString *problem);

// The options that say how the program talks on its line.
LinkOptions linkOptions(const CliOptions &options);

} // namespace corvane
