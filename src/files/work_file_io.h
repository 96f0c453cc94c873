#pragma once

#include "work_file.h"

#include <QString>

namespace corvane {

// A work file read whole and checked before anyone applies it.
struct WorkFileLoad {
    enum class Status {
        Loaded,
        NotRegular, // a FIFO, a device, a folder: never read
        NotOpened,  // missing, or refused by the system
        Damaged,    // a length no run of records has, or a read that failed; see problem
    };
    Status status = Status::NotOpened;
    WorkFileContents contents;
    QString problem;
};

// Reads the file at path record by record, its length taken once up front so that a file that
// grows meanwhile is still read within bounds.
WorkFileLoad loadWorkFile(const QString &path);

} // namespace corvane
