#include "file_commands.h"

#include "atomic_file.h"
#include "csv_export.h"
#include "device_session.h"
#include "error_display.h"
#include "file_ui.h"
#include "output.h"
#include "work_file.h"
#include "work_file_io.h"

#include <utility>

namespace corvane {
namespace {

const QString kCaption = QStringLiteral("Corvane");
const QString kNotCreatedMessage = QStringLiteral(
    "File can not be created, either you do not have proper rights or you are writing on CD");

// A foreign file can hold thousands of records without a slot; the operator needs to know that
// they were skipped, not every one of them.
constexpr std::size_t kSkippedLinesShown = 10;

} // namespace

const QString FileCommands::kWorkFileFilter = QStringLiteral("DAT files (*.dat)");
const QString FileCommands::kWorkFileSuffix = QStringLiteral("dat");
const QString FileCommands::kCsvFilter = QStringLiteral("CSV files (*.csv)");
const QString FileCommands::kCsvSuffix = QStringLiteral("csv");

FileCommands::FileCommands(DeviceSession &session, FileDialogs &dialogs, MessageBoxes &messages,
                           std::function<void(int)> setSelector,
                           std::function<QString()> exportSeparator)
    : m_session(session), m_dialogs(dialogs), m_messages(messages),
      m_setSelector(std::move(setSelector)), m_exportSeparator(std::move(exportSeparator)) {}

void FileCommands::saveWorkFile() {
    runGuarded([this] { save(); });
}

void FileCommands::openWorkFile() {
    runGuarded([this] { load(); });
}

void FileCommands::exportParameters() {
    runGuarded([this] {
        exportCsv(
            [this] {
                return parameterExport(m_session.store, m_session.tables.Grid_data,
                                       m_exportSeparator());
            },
            QStringLiteral("File can not be created - no rights or CD"));
    });
}

void FileCommands::exportCounters() {
    runGuarded([this] {
        exportCsv(
            [this] {
                return countersExport(m_session.tables.Grid_data2, m_session.selectedAddress(),
                                      m_exportSeparator());
            },
            QStringLiteral("File can NOT be created"));
    });
}

void FileCommands::reportNotCreated(const QString &logLine) {
    m_messages.inform(kCaption, kNotCreatedMessage);
    m_session.env.out.log(logLine);
}

// The file is replaced only once all of it is written, so a failure half-way (a full disk)
// leaves the operator's previous work file as it was.
void FileCommands::save() {
    const QString path = m_dialogs.saveFileName(kWorkFileFilter, kWorkFileSuffix);
    if (path.isEmpty())
        return;
    const QString notSaved = QStringLiteral("File was NOT saved");
    AtomicFile file(path);
    if (!file.open()) {
        reportNotCreated(notSaved);
        return;
    }
    if (!file.commit(encodeWorkFile(m_session.store))) {
        showError(QStringLiteral("The work file %1 could not be written: %2. Any earlier file of "
                                 "that name is unchanged.")
                      .arg(path, file.errorString()));
        m_session.env.out.log(notSaved);
        return;
    }
    m_session.env.out.log(QStringLiteral("File was written successfully"));
}

// Nothing changes until the whole file has been read and found sound: a damaged file must not
// leave the store half-replaced.
void FileCommands::load() {
    const QString path = m_dialogs.openFileName(kWorkFileFilter);
    if (path.isEmpty())
        return;
    WorkFileContents contents;
    if (!readWorkFile(path, contents))
        return;

    Output &out = m_session.env.out;
    const std::vector<std::int32_t> &skipped = contents.skippedAddresses;
    for (std::size_t i = 0; i < skipped.size() && i < kSkippedLinesShown; ++i)
        out.log(QStringLiteral("Record for address %1 skipped: addresses are %2 to %3")
                    .arg(skipped[i])
                    .arg(AddressStore::kFirstAddress)
                    .arg(AddressStore::kLastAddress));
    if (skipped.size() > kSkippedLinesShown)
        out.log(QStringLiteral("%1 more records skipped: addresses are %2 to %3")
                    .arg(skipped.size() - kSkippedLinesShown)
                    .arg(AddressStore::kFirstAddress)
                    .arg(AddressStore::kLastAddress));
    // Applying a file without records would empty every slot for nothing; an operator who
    // picked the wrong file must hear that nothing came of it.
    if (contents.records.empty()) {
        out.log(QStringLiteral("%1 holds no record for addresses %2 to %3, nothing was loaded")
                    .arg(path)
                    .arg(AddressStore::kFirstAddress)
                    .arg(AddressStore::kLastAddress));
        return;
    }
    applyLoaded(contents);
}

bool FileCommands::readWorkFile(const QString &path, WorkFileContents &contents) {
    WorkFileLoad load = loadWorkFile(path);
    switch (load.status) {
    case WorkFileLoad::Status::Loaded:
        contents = std::move(load.contents);
        return true;
    case WorkFileLoad::Status::NotRegular:
        m_session.env.out.log(
            QStringLiteral("%1 is not a regular file, nothing was loaded").arg(path));
        return false;
    case WorkFileLoad::Status::NotOpened:
        m_session.env.out.log(QStringLiteral("File does not exists or is already open"));
        return false;
    case WorkFileLoad::Status::Damaged:
        showError(QStringLiteral("The work file %1 was not loaded: %2. Nothing was changed.")
                      .arg(path, load.problem));
        return false;
    }
    return false;
}

void FileCommands::applyLoaded(const WorkFileContents &contents) {
    AddressStore &store = m_session.store;
    applyWorkFile(contents, store);
    store.storeToTable(store.HighestAddress, m_session.tables.Grid_data);
    store.CurrentAddress = store.HighestAddress;
    if (m_setSelector)
        m_setSelector(store.HighestAddress);
    m_session.tables.Grid_data2.clearContents();
}

// The file is created as a test before the text is assembled, and replaced only once all of
// the text is written.
void FileCommands::exportCsv(const std::function<QByteArray()> &text,
                             const QString &notCreatedLine) {
    const QString path = m_dialogs.saveFileName(kCsvFilter, kCsvSuffix);
    if (path.isEmpty())
        return;
    AtomicFile file(path);
    if (!file.open()) {
        reportNotCreated(notCreatedLine);
        return;
    }
    if (!file.commit(text()))
        showError(QStringLiteral("The export file %1 could not be written: %2. Any earlier file "
                                 "of that name is unchanged.")
                      .arg(path, file.errorString()));
}

} // namespace corvane
