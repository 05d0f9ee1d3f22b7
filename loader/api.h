// One loaded implementation library and its entry table.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "loader/entry_table.gen.h"
#include "platform/module.h"

namespace tvx {

// The slot of each function a library resolved: for a function several slots share (null in
// particular), the last of them. Built once per load as one sorted array.
class FunctionIndex {
public:
    // Indexes `functions`, position = slot.
    void build(const platform::Symbol* functions, int count);
    std::size_t size() const noexcept { return entries_.size(); }
    // The slot of `function`; throws std::out_of_range when no slot holds it.
    std::int32_t at(std::uintptr_t function) const;

private:
    std::vector<std::pair<std::uintptr_t, std::int32_t>> entries_;
};

// The abstract base of a loaded implementation library: its module, registry name, reference
// count, options and the two lookup structures that let a call find the same entry in another
// library (slot of a function, function at a slot).
class APIBase {
public:
    APIBase(std::string name, std::int32_t options) : name(std::move(name)), options(options) {}
    APIBase(const APIBase&) = delete;
    APIBase& operator=(const APIBase&) = delete;
    virtual ~APIBase();

    // Resolves the entry table from the module.
    virtual void loadFunctions() = 0;

    platform::Module module = nullptr;
    std::int32_t reference_count = 1;
    std::string name;
    std::int32_t options;  // 0: strict resolution, anything else: lenient
    FunctionIndex function_index;                                      // function -> last slot holding it
    std::vector<platform::Symbol> ordered_functions;                   // slot -> function
    APIBase* next_retired = nullptr;  // the registry's list of unloaded libraries

    // Whether a handle naming this library was ever made: such a library is retired when unloaded,
    // not destroyed, since the caller may still hold one. Written once, read on unload only.
    void note_handle() noexcept {
        if (!handed_out.load(std::memory_order_relaxed)) handed_out.store(true, std::memory_order_relaxed);
    }
    bool handed_out_handles() const noexcept { return handed_out.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> handed_out{false};
};

class API final : public APIBase {
public:
    using APIBase::APIBase;
    ~API() override = default;

    // Resolves every slot in slot order. In strict mode the first applicable entry the module does
    // not export throws std::logic_error naming the entry and its function type.
    void loadFunctions() override;

    // The implementation entry at `slot`, typed; null when the entry does not apply or is missing.
    template <class Fn>
    Fn entry(int slot) const noexcept {
        return reinterpret_cast<Fn>(table[slot]);
    }

    // What stays of the library once unloaded: no module, every slot empty. Handles it made that
    // the caller still holds keep naming it, so a call on one reports the missing entry.
    void retire() noexcept;

    // Whether a slot of the given class is looked up in a library registered under `name`.
    static bool applies(Availability cls, const std::string& name) noexcept;

    platform::Symbol table[kSlotCount] = {};
};

}  // namespace tvx
