// A text-services module from another build: its table carries another
// version and must be refused before any of its functions is called.

#include "platform/foundation/VxTextModulePrivate.h"

extern "C" __attribute__((visibility("default"))) const VxTextModuleTable* vx_text_module_table() {
    static const VxTextModuleTable table = [] {
        VxTextModuleTable t{};
        t.version = kVxTextModuleVersion + 1;
        t.size = sizeof(VxTextModuleTable);
        return t;
    }();
    return &table;
}
