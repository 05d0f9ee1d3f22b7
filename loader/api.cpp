#include "loader/api.h"

#include <stdexcept>

namespace tvx {

APIBase::~APIBase() {
    if (module != nullptr) platform::free_module(module);
}

bool API::applies(Availability cls, const std::string& library) noexcept {
    switch (cls) {
        case Availability::Both: return true;
        case Availability::Common: return library == "common";
        case Availability::Remote: return library == "remote";
    }
    return false;
}

void API::loadFunctions() {
    ordered_functions.reserve(kSlotCount);
    function_index.reserve(kSlotCount);
    for (int i = 0; i < kSlotCount; ++i) {
        const SlotInfo& s = kSlots[i];
        platform::Symbol f = nullptr;
        if (applies(s.availability, name)) {
            f = platform::find_symbol(module, s.name);
            if (f == nullptr && options == 0) {
                throw std::logic_error(std::string("Unable to load \"") + s.name +
                                       "\" from shared library. Expected type is " + s.type);
            }
        }
        table[i] = f;
        ordered_functions.push_back(f);
        // A function shared by several slots (null in particular) maps to the last of them.
        function_index[reinterpret_cast<std::uintptr_t>(f)] =
            static_cast<std::int32_t>(ordered_functions.size() - 1);
    }
}

}  // namespace tvx
