#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace corvane {

// SIGINT and SIGTERM as an event of the event loop: the handler only writes a byte to a pipe,
// and `stop` runs on the thread that made the object once the loop reads it. The handlers are
// the default ones again once the object is gone. One at a time.
class StopSignals : public QObject {
public:
    explicit StopSignals(std::function<void()> stop);
    ~StopSignals() override;
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    std::function<void()> m_stop;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace corvane
