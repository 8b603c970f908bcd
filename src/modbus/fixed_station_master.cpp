// FixMaster.
#include "modbus/classes.hpp"

namespace brel {

const ClassSpec& fix_master_class() {
    static const ClassSpec spec{.name = "FixMaster", .members = {}};
    return spec;
}

}  // namespace brel
