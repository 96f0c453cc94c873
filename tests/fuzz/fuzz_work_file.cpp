// The work-file loader on a file of the input's bytes, then a save and a load of what it
// loaded: the second save must give the same bytes, and every record's texts must survive it.
#include "fuzz_check.h"
#include "scratch_folder.h"
#include "work_file.h"
#include "work_file_io.h"

#include <QFile>

using namespace corvane;

namespace {

QString filePath() {
    static const QString path = fuzz::scratchPath(QStringLiteral("work.dat"));
    return path;
}

void writeFile(const QByteArray &bytes) {
    QFile file(filePath());
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    writeFile(bytes);
    const WorkFileLoad load = loadWorkFile(filePath());
    const bool wellSized = workFileLengthProblem(bytes.size()).isEmpty();
    FUZZ_CHECK((load.status == WorkFileLoad::Status::Loaded) == wellSized);
    FUZZ_CHECK(wellSized == parseWorkFile(bytes).has_value());
    if (!wellSized)
        return 0;

    // Kept between inputs, since building a store of 250 slots costs more than the rest; cleared
    // first, as applyWorkFile keeps the model texts.
    static AddressStore store;
    static AddressStore again;
    store.clear();
    again.clear();
    applyWorkFile(load.contents, store);
    const QByteArray saved = encodeWorkFile(store);
    writeFile(saved);
    const WorkFileLoad reload = loadWorkFile(filePath());
    FUZZ_CHECK(reload.status == WorkFileLoad::Status::Loaded);
    applyWorkFile(reload.contents, again);
    FUZZ_CHECK(encodeWorkFile(again) == saved);
    FUZZ_CHECK(again.HighestAddress == store.HighestAddress);

    for (const WorkFileRecord &record : load.contents.records) {
        FUZZ_CHECK(AddressStore::isValidAddress(record.address));
        for (int col = 1; col <= AddressStore::kColumns; ++col)
            for (int row = 1; row <= AddressStore::kRows; ++row)
                FUZZ_CHECK(again.cell(record.address, col, row) == record.cell(col, row));
        FUZZ_CHECK(again.model(record.address) == record.model);
    }
    return 0;
}
