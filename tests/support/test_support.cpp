#include "tests/support/test_support.h"

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#else
#  include <limits.h>
#  include <unistd.h>
#endif

namespace tvxtest {

namespace {
std::string executable_dir() {
    std::string path;
#if defined(_WIN32)
    char buffer[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    path.assign(buffer, n);
#else
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n > 0) path.assign(buffer, static_cast<size_t>(n));
#endif
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}
}  // namespace

std::string double_path(const std::string& name) {
#if defined(_WIN32)
    return executable_dir() + "\\" + name;
#else
    return executable_dir() + "/" + name;
#endif
}

std::string utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        unsigned long c = static_cast<unsigned long>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\u{" + std::to_string(c) + "}";
        }
    }
    return out;
}

std::string ErrorPair::str() const { return utf8(text()); }

std::vector<RecordedCall> recorded_calls() {
    std::vector<RecordedCall> calls;
    const size_t n = tvxrec_count();
    for (size_t i = 0; i < n; ++i) {
        RecordedCall c{tvxrec_library(i), tvxrec_entry(i), tvxrec_slot(i), {}};
        for (int a = 0; a < tvxrec_nargs(i); ++a) c.args.push_back(*tvxrec_arg(i, a));
        calls.push_back(std::move(c));
    }
    return calls;
}

}  // namespace tvxtest
