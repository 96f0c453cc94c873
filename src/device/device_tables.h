#pragma once

#include "string_grid.h"

namespace corvane {

// The three tables of device values, titled and sized as the window shows them at start-up.
// Only the parameter table is edited in place.
struct DeviceTables {
    DeviceTables();

    StringGrid Grid_data;
    StringGrid Grid_data2;
    StringGrid Grid_flow;
};

// "Input 1" .. "Input 8".
QString inputTitle(int input);

} // namespace corvane
