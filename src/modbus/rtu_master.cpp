// Master.
#include "modbus/classes.hpp"

namespace brel {

const ClassSpec& master_class() {
    static const ClassSpec spec{.name = "Master", .members = {}};
    return spec;
}

}  // namespace brel
