#include "loader/api.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace tvx {

APIBase::~APIBase() {
    if (module != nullptr) platform::free_module(module);
}

void API::retire() noexcept {
    std::fill(std::begin(table), std::end(table), nullptr);
    ordered_functions = {};
    function_index = FunctionIndex();
    if (module != nullptr) platform::free_module(module);
    module = nullptr;
}

bool API::applies(Availability cls, const std::string& library) noexcept {
    switch (cls) {
        case Availability::Both: return true;
        case Availability::Common: return library == "common";
        case Availability::Remote: return library == "remote";
    }
    return false;
}

void FunctionIndex::build(const platform::Symbol* functions, int count) {
    entries_.clear();
    entries_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) entries_.emplace_back(reinterpret_cast<std::uintptr_t>(functions[i]), i);
    // By function, then slot; of each run of one function only its last (highest) slot stays.
    std::sort(entries_.begin(), entries_.end());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (i + 1 < entries_.size() && entries_[i + 1].first == entries_[i].first) continue;
        entries_[kept++] = entries_[i];
    }
    entries_.resize(kept);
}

std::int32_t FunctionIndex::at(std::uintptr_t function) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), std::make_pair(function, std::int32_t{-1}));
    if (it == entries_.end() || it->first != function) throw std::out_of_range("function not in the index");
    return it->second;
}

void API::loadFunctions() {
    // Which classes apply, decided once for the name rather than once per slot.
    const bool applies_to[3] = {applies(Availability::Common, name), true, applies(Availability::Remote, name)};
    static_assert(static_cast<int>(Availability::Common) == 0 && static_cast<int>(Availability::Both) == 1 &&
                  static_cast<int>(Availability::Remote) == 2, "classes index applies_to");
    for (int i = 0; i < kSlotCount; ++i) {
        const SlotInfo& s = kSlots[i];
        platform::Symbol f = nullptr;
        if (applies_to[static_cast<int>(s.availability)]) {
            f = platform::find_symbol(module, s.name);
            if (f == nullptr && options == 0) {
                throw std::logic_error(std::string("Unable to load \"") + s.name +
                                       "\" from shared library. Expected type is " + s.type);
            }
        }
        table[i] = f;
    }
    ordered_functions.assign(table, table + kSlotCount);
    function_index.build(table, kSlotCount);
}

}  // namespace tvx
