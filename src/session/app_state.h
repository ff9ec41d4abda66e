#pragma once

#include <memory>
#include <string>

#include "devices/device_kind.h"
#include "devices/meter_list.h"
#include "link/comm_trace.h"
#include "link/counters.h"
#include "link/device_table.h"
#include "link/modbus_master.h"
#include "link/port_link.h"
#include "logging/mqtt_sink.h"
#include "logging/odbc_library.h"
#include "logging/sample_queue.h"
#include "settings/settings.h"

namespace tarvo {

/// What the device is selected in the "Available Meters" list, and the
/// guard that keeps polling and sampling off the bus during a scan.
struct Selection {
    int selectedAddress = -1; ///< 1 to 247, or -1 for none
    DeviceKind selectedKind = NoDevice;
    bool scanInProgress = false;
    /// Limits for breaker ratings entered in the branch panel configuration.
    int ratingMin = 10;
    int ratingMax = 50;
};

/// What the opening policy keeps about the port between ticks.
struct LinkState {
    /// Failed opens in a row; a scan stops asking after two.
    int openFailures = 0;
    /// Set by reading a `port` line from the settings: the next timer tick
    /// opens that port.
    bool portReopenRequested = false;
    /// The open port went away (an adapter pulled out) and was closed; each
    /// tick tries once to reopen the port name of the settings (LinkKeeper).
    /// Polls and samples go on meanwhile and fail as time-outs.
    bool portLost = false;
};

/// The process-wide state: one instance, owned by main() and passed by
/// reference to whatever needs it. Nothing here is a global.
struct AppState {
    /// First, so that the members given pointers into it below are built
    /// after it.
    Settings settings;
    /// A serial line or a gateway, by the port name; a gateway's reply
    /// time-out follows the settings' `reply_timeout`.
    PortLink port{&settings.replyTimeout};
    LinkState link;
    DeviceTable devices;
    CommTrace trace;
    /// Follows the settings' `echo` from one transaction to the next.
    ModbusMaster master{trace, devices, &settings.adapterEchoes};
    Selection selection;
    Counters counters;
    /// The "Available Meters" list: what the scan found, and the line the
    /// operator selected. The sampling pass reads every listed device.
    MeterList meters;
    /// Sampled records waiting for the log file writer and for the database
    /// inserter. A record taken while both sinks are on sits in both.
    SampleQueue fileQueue;
    SampleQueue databaseQueue;
    /// The one ODBC driver manager of the run, loaded on first use and kept
    /// to the end: the sampling pass inserts through it, the database
    /// dialogs list data sources and tables through it.
    OdbcLibrary odbc;
    /// The MQTT sink while the settings name a broker (startMqttSink, by the
    /// window or the logger); it sends each pass from its own thread.
    std::unique_ptr<MqttSink> mqtt;

    /// Names of the selected device as the last name read left them (up to
    /// 4 characters each; the board name only for circuit meters).
    std::string panelName;
    std::string boardName;
    /// Circuit-meter current and power factor chosen from the CT size by the
    /// last circuit-meter poll; 0 before the first one.
    float currentScale = 0.0f;
};

} // namespace tarvo
