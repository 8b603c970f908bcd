// ModbusTCPMaster.
#include "modbus/classes.hpp"

namespace brel {

const ClassSpec& tcp_master_class() {
    static const ClassSpec spec{.name = "ModbusTCPMaster", .doc = "Modbus 主站控制端，也叫客户端。", .members = {}};
    return spec;
}

}  // namespace brel
