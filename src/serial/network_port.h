#pragma once

#include "network_port_name.h"

#include <QString>

#include <chrono>

namespace corvane {

// The Qt side of network_port_name.h: the name as the settings and the dialogs hold it.
bool isNetworkPortName(const QString &name);

// How long opening such a port waits for the gateway to accept the connection, name lookup
// included.
inline constexpr std::chrono::milliseconds kNetworkConnectTimeout{3000};

// The text of one of the kNet... codes; empty for any other code.
QString networkPortErrorText(int code);

int parseNetworkPortName(const QString &name, NetworkPortAddress &address);

} // namespace corvane
