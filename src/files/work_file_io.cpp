#include "work_file_io.h"

#include "regular_file.h"

#include <QFile>

namespace corvane {

WorkFileLoad loadWorkFile(const QString &path) {
    WorkFileLoad load;
    QFile file;
    switch (openRegularFile(file, path)) {
    case RegularFileOpen::Opened:
        break;
    case RegularFileOpen::NotRegular:
        load.status = WorkFileLoad::Status::NotRegular;
        return load;
    case RegularFileOpen::Failed:
        load.status = WorkFileLoad::Status::NotOpened;
        return load;
    }
    const auto damaged = [&load](const QString &problem) {
        load.status = WorkFileLoad::Status::Damaged;
        load.problem = problem;
        return load;
    };
    const qint64 length = file.size();
    const QString lengthProblem = workFileLengthProblem(length);
    if (!lengthProblem.isEmpty())
        return damaged(lengthProblem);

    WorkFileParser parser;
    QByteArray record(WorkFile::kRecordSize, '\0');
    for (qint64 read = 0; read < length; read += WorkFile::kRecordSize) {
        const qint64 got = file.read(record.data(), WorkFile::kRecordSize);
        if (got < 0)
            return damaged(QStringLiteral("reading it failed (%1)").arg(file.errorString()));
        if (got != WorkFile::kRecordSize)
            return damaged(QStringLiteral("it ended after %1 bytes, in the middle of a record")
                               .arg(read + qMax<qint64>(got, 0)));
        parser.addRecord(record);
    }
    load.status = WorkFileLoad::Status::Loaded;
    load.contents = parser.takeContents();
    return load;
}

} // namespace corvane
