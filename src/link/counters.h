#pragma once

#include "link/modbus_master.h"

namespace tarvo {

/// Device reads counted for the trace window.
struct Counters {
    long goodCount = 0;
    long badCount = 0;
    int lastError = Ok;
    /// Sampled records dropped by the bound of the file and database queues
    /// because their sink did not take them; shown as "Dropped".
    unsigned long droppedCount = 0;
};

} // namespace tarvo
