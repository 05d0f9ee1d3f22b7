// The loading entries with arbitrary names, paths and options: never a crash, and every failure
// has a message whose size is its length plus one. Paths stay inside the directory of this program
// (where the benchmark implementation libraries are), so only those libraries can really load.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "TVXClientAPI.h"

namespace {

std::string g_dir;

void check_pair(int size, wchar_t* message) {
    if (size == 0) return;
    if (message == nullptr || size != static_cast<int>(std::wcslen(message) + 1)) std::abort();
    TVX_FreeErrorMessage(message);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    const std::string self = (*argv)[0];
    const std::size_t slash = self.find_last_of('/');
    g_dir = slash == std::string::npos ? "." : self.substr(0, slash);
    return 0;
}

// Input: a byte choosing the operation and the options, then name and path separated by a zero.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t op = data[0];
    const int options = static_cast<std::int8_t>(data[1]);
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t zero = rest.find('\0');
    const std::string name = rest.substr(0, zero);
    std::string file = zero == std::string::npos ? std::string() : rest.substr(zero + 1);
    for (char& c : file)
        if (c == '/' || c == '.' || c == '\\' || c == '\0') c = '_';
    const std::string path = g_dir + "/" + file;

    int size_out = 0;
    wchar_t* message = nullptr;
    switch (op % 4) {
    case 0:
        QuorixCore_LoadAPI(path.c_str(), name.c_str(), &size_out, &message);
        break;
    case 1:
        QuorixCore_LoadAPIWithOptions(path.c_str(), name.c_str(), options, &size_out, &message);
        break;
    case 2:
        QuorixCore_UnloadAPI(name.c_str(), &size_out, &message);
        break;
    default: {
        // A call after whatever is loaded: a free entry of the common library and an object entry
        // with a null handle; both either reach a library or report the missing entry.
        Quorix_release(1, &size_out, &message);
        check_pair(size_out, message);
        size_out = 0;
        message = nullptr;
        Operator_run(nullptr, &size_out, &message);
        break;
    }
    }
    check_pair(size_out, message);
    return 0;
}
