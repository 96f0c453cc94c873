#include "autostart.h"

#include "atomic_file.h"
#include "settings_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#ifdef Q_OS_WIN
#include <QSettings>
#endif

#include <algorithm>
#include <utility>

namespace corvane {
namespace {

const QString kReserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");

#ifdef Q_OS_WIN
// The user's own Run key. The machine's key (HKEY_LOCAL_MACHINE) needs administrator rights; a
// normal user's write there fails without a word, or lands in a virtualised copy that Windows
// never starts anything from.
const QString kRunKey =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");

// The command of the Run value: the executable with native separators, quoted for its blanks.
QString runCommand(const QString &executablePath) {
    return u'"' + QDir::toNativeSeparators(executablePath) + u'"';
}
#endif

} // namespace

AutostartError::AutostartError()
    : m_message(QStringLiteral("Failed to set data for '%1'").arg(Autostart::kName).toUtf8()) {}

Autostart::Autostart(QString entryPath, QString executablePath)
    : m_entryPath(std::move(entryPath)), m_executablePath(std::move(executablePath)) {}

QString Autostart::defaultEntryPath() {
#ifdef Q_OS_WIN
    return kRunKey;
#else
    return configHome() + QStringLiteral("/autostart/") + kName + QStringLiteral(".desktop");
#endif
}

Autostart Autostart::forThisProgram() {
    return Autostart(defaultEntryPath(), QCoreApplication::applicationFilePath());
}

QString Autostart::execArgument(const QString &executablePath) {
    QString argument;
    const bool quote = std::any_of(executablePath.begin(), executablePath.end(),
                                   [](QChar c) { return kReserved.contains(c); });
    if (quote) {
        argument += u'"';
        for (QChar c : executablePath) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                argument += u'\\';
            argument += c;
        }
        argument += u'"';
    } else {
        argument = executablePath;
    }
    argument.replace(u'%', QStringLiteral("%%"));

    QString value;
    for (QChar c : argument) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else
            value += c;
    }
    return value;
}

QByteArray Autostart::entryText() const {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=%1\n"
                          "Exec=%2\n")
        .arg(kName, execArgument(m_executablePath))
        .toUtf8();
}

void Autostart::enable() const {
#ifdef Q_OS_WIN
    // The value is read back: the registry may refuse a write without an error status.
    QSettings run(m_entryPath, QSettings::NativeFormat);
    const QString command = runCommand(m_executablePath);
    run.setValue(kName, command);
    run.sync();
    if (run.status() != QSettings::NoError || run.value(kName).toString() != command)
        throw AutostartError();
#else
    if (!QDir().mkpath(QFileInfo(m_entryPath).absolutePath()))
        throw AutostartError();
    if (!replaceFile(m_entryPath, entryText()))
        throw AutostartError();
#endif
}

bool Autostart::disable() const {
#ifdef Q_OS_WIN
    {
        QSettings run(m_entryPath, QSettings::NativeFormat);
        run.remove(kName);
        run.sync();
    }
#else
    QFile::remove(m_entryPath);
#endif
    return !isEnabled();
}

bool Autostart::isEnabled() const {
#ifdef Q_OS_WIN
    return QSettings(m_entryPath, QSettings::NativeFormat).contains(kName);
#else
    return QFileInfo::exists(m_entryPath);
#endif
}

} // namespace corvane
