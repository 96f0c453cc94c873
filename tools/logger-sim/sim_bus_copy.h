#pragma once

#include "sim_line.h"

#include <QString>

#include <cstddef>

namespace corvane {

// A copy of everything the line carries, both ways and in the order it passed, on a
// pseudo-terminal of its own: what a listener tapped onto the cable would hear while another
// master drives the line. The echo a 2-wire adapter gives its master is not on the cable and
// is not copied. Nothing ever waits for the copy: while nobody holds its slave side, or while
// its buffer is full, the bytes are dropped, as a line drops what nobody hears.
class BusCopy {
public:
    bool open(const QString &linkPath, QString *error);
    void close();
    bool isOpen() const { return m_line.fd() >= 0; }
    // What a listener opens.
    QString path() const { return m_line.path(); }

    // From the transport's thread only.
    void carry(const char *bytes, std::size_t size);
    // Bytes the listener's side has written since the last call: a listener never should.
    // From any thread.
    qint64 takeWrittenBack();

private:
    SimLine m_line;
};

} // namespace corvane
