#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace corvane {

class DeviceSession;
class FileDialogs;
class MessageBoxes;
struct WorkFileContents;

// The work file and export commands of the main window. Each runs to completion inside the
// button event; none of them sends anything on the line.
class FileCommands {
public:
    FileCommands(DeviceSession &session, FileDialogs &dialogs, MessageBoxes &messages,
                 std::function<void(int address)> setSelector,
                 std::function<QString()> exportSeparator);

    void saveWorkFile();
    void openWorkFile();
    // The stored parameter tables.
    void exportParameters();
    // The counters table of the selected address.
    void exportCounters();

    static const QString kWorkFileFilter;
    static const QString kWorkFileSuffix;
    static const QString kCsvFilter;
    static const QString kCsvSuffix;

private:
    void save();
    void load();
    // Reads and checks the whole file before anything changes. False after a failure, which it
    // has reported.
    bool readWorkFile(const QString &path, WorkFileContents &contents);
    void applyLoaded(const WorkFileContents &contents);
    void exportCsv(const std::function<QByteArray()> &text, const QString &notCreatedLine);
    void reportNotCreated(const QString &logLine);

    DeviceSession &m_session;
    FileDialogs &m_dialogs;
    MessageBoxes &m_messages;
    std::function<void(int)> m_setSelector;
    std::function<QString()> m_exportSeparator;
};

} // namespace corvane
