// The library's names in the module namespace, in their fixed order: its imports, functions and classes.
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/traffic.hpp"
#include "modbus/tls.hpp"
#include "module/function.hpp"
#include "module/namespace.hpp"

namespace brel {

void fill_library_namespace(PyObject* ns) {
    import_from(ns, "brel_linkkit", {{"create_serial_instance", "create_serial_instance"}});
    import_module(ns, "array");
    import_from(ns, "socket", {{"create_connection", "_tcp_connect"}});
    import_module(ns, "struct");
    import_from(ns, "typing", {{"Iterable", "_Iterable"}, {"List", "_List"}, {"Optional", "_Optional"}});
    import_from(ns, "typing", {{"Sequence", "_Sequence"}});
    bind(ns, "_byte_array", build_function(byte_array_function()));
    bind(ns, "ModbusStatic", build_class(modbus_static_class()));
    // SlaveException derives from Exception alone, as documented; TCPSlaveException, the
    // library's own, is a ModbusError too. The family's names come last.
    make_error_family();
    Ref refusal = build_class(slave_exception_class());
    record_refusal_class(refusal.get());
    bind(ns, "SlaveException", std::move(refusal));
    bind(ns, "Master", build_class(master_class()));
    bind(ns, "FixMaster", build_class(fix_master_class()));
    Ref tcp_master = build_class(tcp_master_class());
    record_tcp_master_type(tcp_master.get());
    bind(ns, "ModbusTCPMaster", std::move(tcp_master));
    bind(ns, "TCPSlaveException", build_class(tcp_slave_exception_class(), nullptr, errors.base));
    bind(ns, "Poller", build_class(poller_class()));
    record_async_link_type(build_class(async_tcp_link_class()).release());
    bind(ns, "AsyncModbusTCPMaster", build_class(async_tcp_master_class()));
    bind_error_family(ns);
    bind_traffic(ns);
    Ref channel = build_class(tcp_channel::tcp_channel_class());
    tcp_channel::record_tcp_channel_type(channel.get());
    bind(ns, "TcpChannel", std::move(channel));
    Ref udp_master = build_class(udp_master_class());
    record_udp_master_type(udp_master.get());
    bind(ns, "ModbusUDPMaster", std::move(udp_master));
    bind(ns, "tls_context", build_function(tls::tls_context_function()));
    bind(ns, "certificate_role", build_function(tls::certificate_role_function()));
    bind(ns, "AsciiChannel", build_class(ascii::ascii_channel_class()));
    record_async_rtu_link_type(build_class(async_rtu_link_class()).release());
    bind(ns, "AsyncMaster", build_class(async_rtu_master_class()));
    bind(ns, "AsyncPoller", build_class(async_poller_class()));
}

}  // namespace brel
