#include "monitor_json.h"

#include "cli_report.h"
#include "device_model.h"
#include "monitor_log.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace corvane {
namespace {

int inputCountOf(const QString &model) {
    const ModelInfo *info = findModel(model);
    return info ? info->InputCount : kMaxInputs;
}

struct UnitClass {
    const char *unit;        // the logger's text
    const char *shown;       // Home Assistant's unit of measurement
    const char *deviceClass; // empty: none
};

// The logger's units that Home Assistant knows; "N/A" and "Unknown" get no class.
constexpr UnitClass kUnitClasses[] = {
    {"m3", "m³", "water"},
    {"kWh", "kWh", "energy"},
    {"kJ", "kJ", "energy"},
};

} // namespace

QByteArray stateTopic(const QString &prefix, int address) {
    return QStringLiteral("%1/%2/state").arg(prefix).arg(address).toUtf8();
}

QByteArray availabilityTopic(const QString &prefix, int address) {
    return QStringLiteral("%1/%2/availability").arg(prefix).arg(address).toUtf8();
}

QByteArray statusTopic(const QString &prefix) {
    return QStringLiteral("%1/status").arg(prefix).toUtf8();
}

QJsonObject linkJson(const LinkCounts &link) {
    const auto ms = [](const std::optional<double> &value) {
        return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject{{QStringLiteral("requests"), link.requests},
                       {QStringLiteral("replies"), link.replies},
                       {QStringLiteral("noReply"), link.noReply},
                       {QStringLiteral("crcErrors"), link.crcErrors},
                       {QStringLiteral("mismatches"), link.mismatches},
                       {QStringLiteral("exceptions"), link.exceptions},
                       {QStringLiteral("retries"), link.retries},
                       {QStringLiteral("strayBytes"), link.strayBytes},
                       {QStringLiteral("replyMs"),
                        QJsonObject{{QStringLiteral("median"), ms(link.medianMs)},
                                    {QStringLiteral("p95"), ms(link.p95Ms)},
                                    {QStringLiteral("max"), ms(link.maxMs)}}}};
}

QJsonObject monitorReadingJson(const DeviceReading &reading, const LinkCounts *link) {
    QJsonArray inputs;
    const int count = inputCountOf(reading.model);
    for (int i = 0; i < count; ++i) {
        const InputReading &in = reading.inputs[std::size_t(i)];
        QJsonArray tariffs;
        for (const auto &pulses : in.tariffPulses)
            tariffs.append(jsonNumber(pulses));
        inputs.append(QJsonObject{{QStringLiteral("input"), i + 1},
                                  {QStringLiteral("consumption"), jsonTenths(in.consumptionTenths)},
                                  {QStringLiteral("unit"), in.consumptionUnit},
                                  {QStringLiteral("totalPulses"), jsonNumber(in.totalPulses)},
                                  {QStringLiteral("tariffPulses"), tariffs},
                                  {QStringLiteral("flow"), jsonTenths(in.flowTenths)}});
    }
    const std::optional<double> volts = reading.batteryVolts();
    const std::optional<QString> error = reading.failureReason();
    QJsonObject json{
        {QStringLiteral("time"), MonitorLog::timeText(reading.time)},
        {QStringLiteral("address"), reading.address},
        {QStringLiteral("model"), reading.model},
        {QStringLiteral("inputs"), inputs},
        {QStringLiteral("battery"), volts ? QJsonValue(*volts) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("error"), error ? QJsonValue(*error) : QJsonValue(QJsonValue::Null)}};
    if (link)
        json.insert(QStringLiteral("link"), linkJson(*link));
    return json;
}

QByteArray monitorReadingLine(const DeviceReading &reading, const LinkCounts *link) {
    return QJsonDocument(monitorReadingJson(reading, link)).toJson(QJsonDocument::Compact);
}

QJsonObject discoveryDevice(int address, const QString &deviceId, const QString &model) {
    return QJsonObject{
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("corvane_") + deviceId}},
        {QStringLiteral("name"), QStringLiteral("%1 %2 (address %3)").arg(model, deviceId).arg(address)},
        {QStringLiteral("model"), model},
        {QStringLiteral("serial_number"), deviceId}};
}

QList<DiscoveryConfig> discoveryConfigs(const QString &prefix, int address,
                                        const QString &deviceId, const QString &model,
                                        const QStringList &units) {
    QList<DiscoveryConfig> configs;
    const QString node = QStringLiteral("corvane_") + deviceId;
    const QJsonObject device = discoveryDevice(address, deviceId, model);
    const QString state = QString::fromUtf8(stateTopic(prefix, address));
    const QString availability = QString::fromUtf8(availabilityTopic(prefix, address));
    const auto add = [&](int input, const QString &quantity, const QString &name,
                         const QString &value, QJsonObject extra) {
        const QString id = QStringLiteral("%1_%2_%3").arg(node).arg(input).arg(quantity);
        extra.insert(QStringLiteral("name"), name);
        extra.insert(QStringLiteral("unique_id"), id);
        extra.insert(QStringLiteral("object_id"), id);
        extra.insert(QStringLiteral("state_topic"), state);
        extra.insert(QStringLiteral("value_template"), value);
        extra.insert(QStringLiteral("availability_topic"), availability);
        extra.insert(QStringLiteral("device"), device);
        configs.append({QStringLiteral("homeassistant/sensor/%1/config").arg(id).toUtf8(),
                        QJsonDocument(extra).toJson(QJsonDocument::Compact)});
    };
    const int count = inputCountOf(model);
    for (int input = 1; input <= count; ++input) {
        const QString path = QStringLiteral("value_json.inputs[%1]").arg(input - 1);
        QJsonObject consumption{{QStringLiteral("state_class"), QStringLiteral("total_increasing")}};
        const QString unit = input <= units.size() ? units.at(input - 1) : QString();
        for (const UnitClass &known : kUnitClasses) {
            if (unit == QLatin1String(known.unit)) {
                consumption.insert(QStringLiteral("unit_of_measurement"),
                                   QString::fromUtf8(known.shown));
                consumption.insert(QStringLiteral("device_class"),
                                   QLatin1String(known.deviceClass));
            }
        }
        add(input, QStringLiteral("consumption"), QStringLiteral("Input %1 consumption").arg(input),
            QStringLiteral("{{ %1.consumption }}").arg(path), consumption);
        add(input, QStringLiteral("pulses"), QStringLiteral("Input %1 pulses").arg(input),
            QStringLiteral("{{ %1.totalPulses }}").arg(path),
            {{QStringLiteral("state_class"), QStringLiteral("total_increasing")}});
        add(input, QStringLiteral("flow"), QStringLiteral("Input %1 flow").arg(input),
            QStringLiteral("{{ %1.flow }}").arg(path),
            {{QStringLiteral("state_class"), QStringLiteral("measurement")},
             {QStringLiteral("unit_of_measurement"), QStringLiteral("L/s")}});
    }
    // Input 0 stands for the logger itself.
    add(0, QStringLiteral("battery"), QStringLiteral("Battery"),
        QStringLiteral("{{ value_json.battery }}"),
        {{QStringLiteral("state_class"), QStringLiteral("measurement")},
         {QStringLiteral("device_class"), QStringLiteral("voltage")},
         {QStringLiteral("unit_of_measurement"), QStringLiteral("V")},
         {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}});
    // How the line serves it, from the reading's link statistics. "None" leaves a sensor
    // unknown rather than at a made-up zero.
    add(0, QStringLiteral("replies"), QStringLiteral("Replies"),
        QStringLiteral("{{ (100 * value_json.link.replies / value_json.link.requests) | round(1) "
                       "if value_json.link.requests else None }}"),
        {{QStringLiteral("state_class"), QStringLiteral("measurement")},
         {QStringLiteral("unit_of_measurement"), QStringLiteral("%")},
         {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}});
    add(0, QStringLiteral("reply_ms"), QStringLiteral("Reply time"),
        QStringLiteral("{{ value_json.link.replyMs.median }}"),
        {{QStringLiteral("state_class"), QStringLiteral("measurement")},
         {QStringLiteral("device_class"), QStringLiteral("duration")},
         {QStringLiteral("unit_of_measurement"), QStringLiteral("ms")},
         {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}});
    return configs;
}

} // namespace corvane
