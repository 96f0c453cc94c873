#include "autostart.h"

#include "atomic_file.h"
#include "settings_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace corvane {
namespace {

const QString kReserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");

} // namespace

AutostartError::AutostartError()
    : m_message(QStringLiteral("Failed to set data for '%1'").arg(Autostart::kName).toUtf8()) {}

Autostart::Autostart(QString entryPath, QString executablePath)
    : m_entryPath(std::move(entryPath)), m_executablePath(std::move(executablePath)) {}

QString Autostart::defaultEntryPath() {
    return configHome() + QStringLiteral("/autostart/") + kName + QStringLiteral(".desktop");
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
    if (!QDir().mkpath(QFileInfo(m_entryPath).absolutePath()))
        throw AutostartError();
    if (!replaceFile(m_entryPath, entryText()))
        throw AutostartError();
}

bool Autostart::disable() const {
    QFile::remove(m_entryPath);
    return !isEnabled();
}

bool Autostart::isEnabled() const {
    return QFileInfo::exists(m_entryPath);
}

} // namespace corvane
