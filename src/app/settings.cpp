#include "settings.h"

#include "settings_file.h"
#include "value_encoding.h"

#include <utility>
#include <vector>

namespace corvane {
namespace {

const QString kComPort = QStringLiteral("Com port");
const QString kMisc = QStringLiteral("Misc");
const QString kWindow = QStringLiteral("Window");
// The largest window side X11 can describe.
constexpr int kLargestWindowSide = 32767;

std::optional<int> plainInt(const SettingsSnapshot &file, const QString &key) {
    bool ok = false;
    const int value = file.readString(kWindow, key).trimmed().toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

} // namespace

LinkOptions linkOptions(const Settings &settings) {
    LinkOptions options;
    options.responseWindow = std::chrono::milliseconds(settings.ResponseTime);
    options.fast = settings.FastReplies;
    options.ignoreEcho = settings.IgnoreEcho;
    options.retries = settings.Retries;
    options.direction = settings.LineDirection == sdDriverRs485 ? sdDriverRs485
                        : settings.LineDirection == sdAdapter   ? sdAdapter
                                                                : sdKeyedRts;
    return options;
}

Settings readSettings(const QString &path) {
    // One reading of the file for all nineteen keys.
    const SettingsSnapshot file(path);
    const Settings defaults;
    Settings s;
    s.ComName = file.readString(kComPort, QStringLiteral("Name"));
    s.ComSpeed = file.readString(kComPort, QStringLiteral("Speed"));
    s.ComParity = file.readString(kComPort, QStringLiteral("Parity"));
    s.ComDataBits = file.readString(kComPort, QStringLiteral("Data bits"));
    s.ComStopBits = file.readString(kComPort, QStringLiteral("Stop bits"));
    s.RtsControlOption = file.readBool(kComPort, QStringLiteral("RTS"), defaults.RtsControlOption);
    s.OpenAtStart = file.readBool(kComPort, QStringLiteral("AutoOpen"), defaults.OpenAtStart);
    s.StartWithWindows =
        file.readBool(kMisc, QStringLiteral("AutoLoad"), defaults.StartWithWindows);
    s.LoadLastWorkFile =
        file.readBool(kMisc, QStringLiteral("AutoRead"), defaults.LoadLastWorkFile);
    s.DecSeparator = file.readString(kMisc, QStringLiteral("Separator"), defaults.DecSeparator);
    s.ExportSeparator =
        file.readString(kMisc, QStringLiteral("Export separator"), defaults.ExportSeparator);
    s.ResponseTime = file.readInt(kMisc, QStringLiteral("Response Time"), defaults.ResponseTime);
    s.FastReplies = file.readBool(kMisc, QStringLiteral("FastReplies"), defaults.FastReplies);
    s.Retries = file.readInt(kMisc, QStringLiteral("Retries"), defaults.Retries);
    if (s.Retries < 0 || s.Retries > 5)
        s.Retries = defaults.Retries;
    s.LogTimestamps = file.readBool(kMisc, QStringLiteral("LogTimestamps"), defaults.LogTimestamps);
    s.LogSentFrames = file.readBool(kMisc, QStringLiteral("LogSentFrames"), defaults.LogSentFrames);
    s.LogLineLimit = file.readInt(kMisc, QStringLiteral("LogLineLimit"), defaults.LogLineLimit);
    s.ReopenPort = file.readBool(kComPort, QStringLiteral("Reopen"), defaults.ReopenPort);
    s.LineDirection = file.readInt(kComPort, QStringLiteral("Direction"), defaults.LineDirection);
    if (s.LineDirection < 0 || s.LineDirection > 2)
        s.LineDirection = defaults.LineDirection;
    s.IgnoreEcho = file.readBool(kComPort, QStringLiteral("Echo"), defaults.IgnoreEcho);
    return s;
}

QString settingsProblem(const Settings &s) {
    if (s.DecSeparator.size() != 1)
        return QStringLiteral("Decimal separator: enter exactly one character.");
    if (s.ExportSeparator.isEmpty())
        return QStringLiteral("Export separator: enter one character.");
    if (!s.ComSpeed.isEmpty()) {
        const std::optional<qint64> speed = parseInteger(s.ComSpeed);
        if (!speed || *speed <= 0)
            return QStringLiteral("Speed, bps: '%1' is not a whole number of bits per second.")
                .arg(visibleText(s.ComSpeed));
    }
    return {};
}

void writeSettings(const QString &path, const Settings &s) {
    SettingsFile file(path);
    file.writeString(kComPort, QStringLiteral("Name"), s.ComName);
    file.writeString(kComPort, QStringLiteral("Speed"), s.ComSpeed);
    file.writeString(kComPort, QStringLiteral("Parity"), s.ComParity);
    file.writeString(kComPort, QStringLiteral("Data bits"), s.ComDataBits);
    file.writeString(kComPort, QStringLiteral("Stop bits"), s.ComStopBits);
    file.writeBool(kComPort, QStringLiteral("RTS"), s.RtsControlOption);
    file.writeBool(kComPort, QStringLiteral("AutoOpen"), s.OpenAtStart);
    file.writeBool(kMisc, QStringLiteral("AutoLoad"), s.StartWithWindows);
    file.writeBool(kMisc, QStringLiteral("AutoRead"), s.LoadLastWorkFile);
    file.writeString(kMisc, QStringLiteral("Separator"), s.DecSeparator);
    file.writeString(kMisc, QStringLiteral("Export separator"), s.ExportSeparator);
    file.writeInt(kMisc, QStringLiteral("Response Time"), s.ResponseTime);
    file.writeBool(kMisc, QStringLiteral("FastReplies"), s.FastReplies);
    file.writeInt(kMisc, QStringLiteral("Retries"), s.Retries);
    file.writeBool(kMisc, QStringLiteral("LogTimestamps"), s.LogTimestamps);
    file.writeBool(kMisc, QStringLiteral("LogSentFrames"), s.LogSentFrames);
    file.writeInt(kMisc, QStringLiteral("LogLineLimit"), s.LogLineLimit);
    file.writeBool(kComPort, QStringLiteral("Reopen"), s.ReopenPort);
    file.writeInt(kComPort, QStringLiteral("Direction"), s.LineDirection);
    file.writeBool(kComPort, QStringLiteral("Echo"), s.IgnoreEcho);
}

std::optional<WindowPlacement> readWindowPlacement(const QString &path) {
    const SettingsSnapshot file(path);
    const std::optional<int> left = plainInt(file, QStringLiteral("Left"));
    const std::optional<int> top = plainInt(file, QStringLiteral("Top"));
    const std::optional<int> width = plainInt(file, QStringLiteral("Width"));
    const std::optional<int> height = plainInt(file, QStringLiteral("Height"));
    if (!left || !top || !width || !height)
        return std::nullopt;
    const auto sideOk = [](int side) { return side >= 1 && side <= kLargestWindowSide; };
    if (!sideOk(*width) || !sideOk(*height))
        return std::nullopt;
    WindowPlacement placement;
    placement.geometry = QRect(*left, *top, *width, *height);
    placement.maximized = plainInt(file, QStringLiteral("Maximized")).value_or(0) != 0;
    return placement;
}

void writeWindowPlacement(const QString &path, const WindowPlacement &placement) {
    const QRect &g = placement.geometry;
    const std::pair<QString, int> keys[] = {
        {QStringLiteral("Left"), g.left()},
        {QStringLiteral("Top"), g.top()},
        {QStringLiteral("Width"), g.width()},
        {QStringLiteral("Height"), g.height()},
        {QStringLiteral("Maximized"), placement.maximized ? 1 : 0}};
    // A run that moved nothing leaves the file as it was.
    std::vector<std::pair<QString, int>> changed;
    const SettingsSnapshot before(path);
    for (const auto &[key, value] : keys) {
        if (before.readString(kWindow, key) != QString::number(value))
            changed.emplace_back(key, value);
    }
    SettingsFile file(path);
    for (const auto &[key, value] : changed)
        file.writeInt(kWindow, key, value);
}

} // namespace corvane
