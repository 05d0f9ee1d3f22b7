// tvxapi-inspect PATH NAME [--strict] [--json]
//
// Loads an implementation library the way TVXClientAPI does (the platform's suffix appended to PATH,
// the slots that apply to NAME looked up by name) and reports, per availability class, how many
// slots apply and resolve, every missing entry with its type, the entries that share one address,
// and what a strict load under NAME says. With --strict only the strict load's outcome is reported.
//
// Exit status: 0 when every applicable entry resolved, 1 when entries are missing, 2 when the file
// cannot be loaded (with TVXClientAPI's own message), 3 on a usage error.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "TVXClientAPI.hpp"
#include "programs/shared/applies.h"
#include "programs/shared/json_text.h"
#include "loader/entry_table.gen.h"
#include "platform/module.h"

namespace {

using tvx::Availability;

const char* class_name(Availability a) {
    switch (a) {
    case Availability::Common: return "common";
    case Availability::Remote: return "remote";
    default: return "both";
    }
}

using tvx::programs::applies;

// UTF-8 of a message from the error pair, as the C++ binding converts it.
using tvx::detail::utf8;

using tvx::programs::json_string;

// What a load through TVXClientAPI says: empty when it succeeded. The library is unloaded again.
std::string load_through_library(const char* path, const char* name, int options) {
    int size = 0;
    wchar_t* message = nullptr;
    QuorixCore_LoadAPIWithOptions(path, name, options, &size, &message);
    if (size != 0) {
        std::string text = utf8(message);
        TVX_FreeErrorMessage(message);
        return text.empty() ? "load failed" : text;
    }
    QuorixCore_UnloadAPI(name, &size, &message);
    if (size != 0) TVX_FreeErrorMessage(message);
    return {};
}

struct ClassCount {
    int applicable = 0;
    int resolved = 0;
};

struct Report {
    std::map<Availability, ClassCount> classes;
    std::vector<int> missing;                    // slot numbers
    std::vector<std::vector<int>> shared;        // groups of slots resolved to one address
    std::string strict_message;                  // empty when a strict load succeeds
};

Report inspect(tvx::platform::Module module, const std::string& name) {
    Report r;
    for (Availability a : {Availability::Common, Availability::Both, Availability::Remote}) r.classes[a];
    std::map<tvx::platform::Symbol, std::vector<int>> by_address;
    for (int slot = 0; slot < tvx::kSlotCount; ++slot) {
        const tvx::SlotInfo& info = tvx::kSlots[slot];
        if (!applies(info.availability, name)) continue;
        ClassCount& count = r.classes[info.availability];
        ++count.applicable;
        if (const tvx::platform::Symbol f = tvx::platform::find_symbol(module, info.name)) {
            ++count.resolved;
            by_address[f].push_back(slot);
        } else {
            r.missing.push_back(slot);
        }
    }
    for (auto& [address, slots] : by_address)
        if (slots.size() > 1) r.shared.push_back(slots);
    return r;
}

void print_text(const Report& r, const std::string& path, const std::string& name, bool strict_only) {
    std::printf("%s loaded as \"%s\"\n", path.c_str(), name.c_str());
    if (!strict_only) {
        std::printf("  %-8s %10s %9s %8s\n", "class", "applicable", "resolved", "missing");
        for (const auto& [a, c] : r.classes) {
            if (c.applicable == 0)
                std::printf("  %-8s %10s\n", class_name(a), "-");
            else
                std::printf("  %-8s %10d %9d %8d\n", class_name(a), c.applicable, c.resolved, c.applicable - c.resolved);
        }
        std::printf("missing entries: %zu\n", r.missing.size());
        for (int slot : r.missing)
            std::printf("  %-6s %s  %s\n", class_name(tvx::kSlots[slot].availability), tvx::kSlots[slot].name,
                        tvx::kSlots[slot].type);
        std::printf("entries sharing one address: %zu\n", r.shared.size());
        for (const auto& group : r.shared) {
            std::printf(" ");
            for (int slot : group) std::printf(" %s", tvx::kSlots[slot].name);
            std::printf("\n");
        }
    }
    if (r.strict_message.empty())
        std::printf("strict load: succeeds\n");
    else
        std::printf("strict load: fails: %s\n", r.strict_message.c_str());
}

void print_json(const Report& r, const std::string& path, const std::string& name, bool strict_only) {
    std::printf("{\"path\": %s, \"name\": %s", json_string(path).c_str(), json_string(name).c_str());
    if (!strict_only) {
        std::printf(", \"classes\": {");
        const char* sep = "";
        for (const auto& [a, c] : r.classes) {
            std::printf("%s\"%s\": {\"applicable\": %d, \"resolved\": %d, \"missing\": %d}", sep, class_name(a),
                        c.applicable, c.resolved, c.applicable - c.resolved);
            sep = ", ";
        }
        std::printf("}, \"missing\": [");
        sep = "";
        for (int slot : r.missing) {
            const tvx::SlotInfo& info = tvx::kSlots[slot];
            std::printf("%s{\"name\": %s, \"class\": \"%s\", \"type\": %s}", sep, json_string(info.name).c_str(),
                        class_name(info.availability), json_string(info.type).c_str());
            sep = ", ";
        }
        std::printf("], \"shared_addresses\": [");
        sep = "";
        for (const auto& group : r.shared) {
            std::printf("%s[", sep);
            const char* inner = "";
            for (int slot : group) {
                std::printf("%s%s", inner, json_string(tvx::kSlots[slot].name).c_str());
                inner = ", ";
            }
            std::printf("]");
            sep = ", ";
        }
        std::printf("]");
    }
    std::printf(", \"strict\": {\"succeeds\": %s, \"message\": %s}}\n", r.strict_message.empty() ? "true" : "false",
                r.strict_message.empty() ? "null" : json_string(r.strict_message).c_str());
}

int usage() {
    std::fprintf(stderr,
                 "usage: tvxapi-inspect PATH NAME [--strict] [--json]\n"
                 "  PATH   the implementation library without its suffix (as given to QuorixCore_LoadAPI)\n"
                 "  NAME   the name it would be loaded under: \"common\", \"remote\" or any other\n");
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    bool strict_only = false;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0)
            strict_only = true;
        else if (std::strcmp(argv[i], "--json") == 0)
            json = true;
        else if (std::strncmp(argv[i], "--", 2) == 0)
            return usage();
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 2) return usage();
    const std::string& path = positional[0];
    const std::string& name = positional[1];

    // A file that cannot be loaded is reported with the library's own message.
    const std::string lenient = load_through_library(path.c_str(), name.c_str(), 1);
    if (!lenient.empty()) {
        if (json)
            std::printf("{\"path\": %s, \"name\": %s, \"error\": %s}\n", json_string(path).c_str(),
                        json_string(name).c_str(), json_string(lenient).c_str());
        else
            std::fprintf(stderr, "tvxapi-inspect: %s\n", lenient.c_str());
        return 2;
    }
    const std::string file = path + tvx::platform::module_suffix();
    tvx::platform::Module module = tvx::platform::load_module(file.c_str());
    if (module == nullptr) {
        std::fprintf(stderr, "tvxapi-inspect: %s could not be loaded a second time\n", file.c_str());
        return 2;
    }
    Report report = inspect(module, name);
    tvx::platform::free_module(module);
    report.strict_message = load_through_library(path.c_str(), name.c_str(), 0);

    if (json)
        print_json(report, path, name, strict_only);
    else
        print_text(report, path, name, strict_only);
    return report.missing.empty() ? 0 : 1;
}
