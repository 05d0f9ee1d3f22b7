// What a shared library file exports, read from the file itself, and how close a name is to an
// entry name.
#pragma once

#include <string>
#include <vector>

namespace tvxcheck {

struct ExportList {
    std::vector<std::string> names;  // defined, visible symbols of the dynamic symbol table
    std::string error;               // why the table could not be read (empty when it was)
};

// The exports of an ELF shared object.
ExportList read_exports(const std::string& file);

// For a C++ (mangled) name, the unqualified name of the function it denotes ("CSField_GetData" for
// the mangled form of a CSField_GetData defined without C linkage); empty for any other name.
std::string demangled_function(const std::string& name);

// Edits (insertions, deletions, substitutions) from a to b, letter case ignored.
int edit_distance(const std::string& a, const std::string& b);

}  // namespace tvxcheck
