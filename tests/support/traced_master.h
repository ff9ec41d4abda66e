#pragma once

#include "link/comm_trace.h"
#include "link/device_table.h"
#include "link/modbus_master.h"

namespace tarvo::test {

/// The master with the trace and the slave-ID table it records into, as the
/// program's state holds them.
struct TracedMaster {
    CommTrace trace;
    DeviceTable devices;
    ModbusMaster master{trace, devices};
};

} // namespace tarvo::test
