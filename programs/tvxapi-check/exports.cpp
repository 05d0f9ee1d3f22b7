#include "exports.h"

#include <elf.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fstream>

namespace tvxcheck {

namespace {

// A view of the file's bytes with bounds-checked reads: a truncated or corrupt file gives an
// error, never a read past its end.
struct Bytes {
    std::vector<char> data;

    template <class T>
    bool read(std::size_t offset, T& out) const {
        if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
        std::memcpy(&out, data.data() + offset, sizeof(T));
        return true;
    }
};

}  // namespace

ExportList read_exports(const std::string& file) {
    ExportList list;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        list.error = "cannot open " + file;
        return list;
    }
    // One read of the whole file: a library with debug information runs to tens of megabytes.
    in.seekg(0, std::ios::end);
    Bytes bytes{std::vector<char>(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)))};
    in.seekg(0, std::ios::beg);
    in.read(bytes.data.data(), static_cast<std::streamsize>(bytes.data.size()));
    bytes.data.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));

    Elf64_Ehdr header;
    if (!bytes.read(0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        list.error = file + " is not an ELF file";
        return list;
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64) {
        list.error = file + " is not a 64-bit ELF file";
        return list;
    }
    auto section = [&](std::size_t index, Elf64_Shdr& out) {
        return index < header.e_shnum && header.e_shentsize == sizeof(Elf64_Shdr) &&
               bytes.read(header.e_shoff + index * sizeof(Elf64_Shdr), out);
    };
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr symbols;
        if (!section(i, symbols) || symbols.sh_type != SHT_DYNSYM) continue;
        Elf64_Shdr strings;
        if (!section(symbols.sh_link, strings) || symbols.sh_entsize != sizeof(Elf64_Sym)) break;
        for (std::size_t k = 1; k < symbols.sh_size / sizeof(Elf64_Sym); ++k) {
            Elf64_Sym sym;
            if (!bytes.read(symbols.sh_offset + k * sizeof(Elf64_Sym), sym)) break;
            const int binding = ELF64_ST_BIND(sym.st_info);
            const int type = ELF64_ST_TYPE(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK) ||
                ELF64_ST_VISIBILITY(sym.st_other) != STV_DEFAULT ||
                (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC))
                continue;
            if (sym.st_name >= strings.sh_size || strings.sh_offset > bytes.data.size()) continue;
            const char* start = bytes.data.data() + strings.sh_offset + sym.st_name;
            const std::size_t room = std::min<std::size_t>(strings.sh_size - sym.st_name,
                                                           bytes.data.size() - strings.sh_offset - sym.st_name);
            list.names.emplace_back(start, strnlen(start, room));
        }
        std::sort(list.names.begin(), list.names.end());
        list.names.erase(std::unique(list.names.begin(), list.names.end()), list.names.end());
        return list;
    }
    list.error = file + " has no dynamic symbol table";
    return list;
}

std::string demangled_function(const std::string& name) {
    if (name.rfind("_Z", 0) != 0) return {};
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || text == nullptr) {
        std::free(text);
        return {};
    }
    std::string readable(text);
    std::free(text);
    // "ns::Name(args)": the part before the parameter list, after the last scope.
    const std::size_t paren = readable.find('(');
    if (paren == std::string::npos || readable.find('<') < paren) return {};
    readable.resize(paren);
    const std::size_t scope = readable.rfind("::");
    return scope == std::string::npos ? readable : readable.substr(scope + 2);
}

int edit_distance(const std::string& a, const std::string& b) {
    std::vector<int> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace tvxcheck
