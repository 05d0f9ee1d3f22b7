// The requirements tvxapi-check reports on, numbered as in docs/implementation-requirements.md, and
// the records a checking child sends its parent.
#pragma once

#include <string>

namespace tvxcheck {

struct Requirement {
    const char* id;
    const char* title;
};

inline constexpr Requirement kRequirements[] = {
    {"R1", "loads and offers entries"},
    {"R2", "entries under their exact names"},
    {"R3", "entries TVXClientAPI calls on its own account"},
    {"R4", "failure messages"},
    {"R5", "a success clears the error size"},
    {"R6", "null objects"},
    {"R7", "releasing"},
    {"R8", "duplicated references"},
    {"R9", "deep copy"},
    {"R10", "proxy operators"},
    {"R11", "a remote object's client"},
};

// Records, one line each: a tag, a field, and the rest of the line.
//   B unit label      a unit of checks begins (a crash or hang is charged to its last A)
//   A req text        about to call: what a crash or hang would be reported as
//   V req text        violated, with the evidence
//   H req text        held (the text may be empty)
//   N req text        not applicable, with the reason
//   E name -          an entry that resolves
//   O name nearest edits   an export that is not an entry name
//   F - text          the file cannot be loaded
//   D unit -          the unit is done
//   Z - -             every unit is done
// Texts are made one line: control characters become spaces.
inline std::string one_line(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}

// Runs the checks from `first_unit` on, writing records to file descriptor `fd`.
int run_worker(const std::string& path, const std::string& name, const std::string& protocol, const std::string& server,
               int first_unit, int fd);

}  // namespace tvxcheck
