// The member tables of the module, one per class file, in the order the module
// creates them.
#pragma once

#include "module/class_builder.hpp"

namespace brel {

const FunctionSpec& byte_array_function();     // protocol.cpp
const ClassSpec& modbus_static_class();        // protocol.cpp
const ClassSpec& slave_exception_class();      // protocol.cpp
const ClassSpec& master_class();               // rtu_master.cpp
const ClassSpec& fix_master_class();           // fixed_station_master.cpp
const ClassSpec& tcp_master_class();           // tcp_master.cpp
const ClassSpec& tcp_slave_exception_class();  // protocol.cpp
const ClassSpec& poller_class();               // poller.cpp
const ClassSpec& async_tcp_master_class();     // async_tcp_master.cpp
const ClassSpec& async_tcp_link_class();       // async_tcp_master.cpp: its asyncio protocol, not exported
const ClassSpec& async_rtu_master_class();     // async_rtu_master.cpp
const ClassSpec& async_rtu_link_class();       // async_rtu_link.cpp: its asyncio protocol, not exported
const ClassSpec& udp_master_class();           // udp_master.cpp
const ClassSpec& async_poller_class();         // async_poller.cpp

namespace ascii {
const ClassSpec& ascii_channel_class();  // ascii_channel.cpp
}  // namespace ascii

namespace tcp_channel {
const ClassSpec& tcp_channel_class();  // tcp_channel.cpp
// The class made from tcp_channel_class(), recorded by the exec step: the guard of the
// master's direct calls on its channel.
void record_tcp_channel_type(PyObject* type);
}  // namespace tcp_channel

// The class made from tcp_master_class(), recorded by the exec step: the guard of the TCP
// master's fast paths (an instance of exactly this class, its class dict untouched).
void record_tcp_master_type(PyObject* type) noexcept;
// The asyncio protocol class of AsyncModbusTCPMaster's links, made by the exec step and kept
// for the process (no module name holds it).
void record_async_link_type(PyObject* type) noexcept;
void record_async_rtu_link_type(PyObject* type) noexcept;
// The class made from udp_master_class(): its instances' transactions run over datagrams.
void record_udp_master_type(PyObject* type) noexcept;

}  // namespace brel
