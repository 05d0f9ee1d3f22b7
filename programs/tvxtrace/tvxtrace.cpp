// tvxtrace [options] -- PROGRAM [ARGS...]
//
// Runs PROGRAM with the tracing library in front of TVXClientAPI and leaves, in a folder, what it
// asked of the library: calls.log (one line per call), timeline.json (trace events: open it in
// Perfetto or chrome://tracing), summary.txt, summary.csv and summary.json (per entry), leaks.txt
// (handles never released, strings never handed back, calls on released handles). The program's
// input, output and exit status are its own. Programs linked against the library are traced through
// LD_PRELOAD; programs that load it by path (the Python package) through TVXAPI_LIBRARY.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: tvxtrace [options] -- PROGRAM [ARGS...]\n"
                 "  -o DIR              where the outputs go (default: tvxtrace-PROGRAM-DATE-TIME here)\n"
                 "  --filter PATTERNS   the entries to log, comma-separated shell patterns (Field_*,Operator_run);\n"
                 "                      the summary and the leak report count every call\n"
                 "  --detail LEVEL      full: arguments decoded (default); names: entry names only;\n"
                 "                      none: no log or timeline, the summary and the leak report only\n"
                 "  --flush WHEN        buffered: in blocks (default); call: after every call, so that\n"
                 "                      nothing is lost however the program ends\n"
                 "  --library PATH      the TVXClientAPI to trace (default: $TVXAPI_LIBRARY, else the one\n"
                 "                      installed beside tvxtrace)\n");
    return 2;
}

std::string directory_of(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : file.substr(0, slash);
}

std::string absolute(const std::string& file) {
    char resolved[PATH_MAX];
    return realpath(file.c_str(), resolved) != nullptr ? resolved : file;
}

bool exists(const std::string& file) { return access(file.c_str(), R_OK) == 0; }

// The first of `names` found in the folder of this program or in its installed library folder.
std::string beside_me(std::initializer_list<const char*> names) {
    const std::string here = directory_of(absolute("/proc/self/exe"));
    for (const std::string& folder : {here, here + "/" TVXTRACE_LIBDIR_FROM_BINDIR})
        for (const char* name : names)
            if (exists(folder + "/" + name)) return absolute(folder + "/" + name);
    return {};
}

bool make_directories(const std::string& path) {
    std::string partial;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || (path[i] == '/' && i > 0)) {
            partial = path.substr(0, i);
            if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string output, filter, detail = "full", flush = "buffered", library;
    int first = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            first = i + 1;
            break;
        }
        if (i + 1 >= argc) return usage();
        if (a == "-o")
            output = argv[++i];
        else if (a == "--filter")
            filter = argv[++i];
        else if (a == "--detail")
            detail = argv[++i];
        else if (a == "--flush")
            flush = argv[++i];
        else if (a == "--library")
            library = argv[++i];
        else
            return usage();
    }
    if (first < 0 || first >= argc) return usage();
    if (detail != "full" && detail != "names" && detail != "none") return usage();
    if (flush != "buffered" && flush != "call") return usage();

    // The real library: it must load and be TVXClientAPI, before anything runs.
    if (library.empty() && std::getenv("TVXAPI_LIBRARY") != nullptr) library = std::getenv("TVXAPI_LIBRARY");
    if (library.empty()) library = beside_me({"libTVXClientAPI.so", "libTVXClientAPI.so.0"});
    if (library.empty()) {
        std::fprintf(stderr, "tvxtrace: no TVXClientAPI found beside tvxtrace: give one with --library PATH\n");
        return 2;
    }
    library = absolute(library);
    void* real = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (real == nullptr) {
        std::fprintf(stderr, "tvxtrace: cannot load %s: %s\n", library.c_str(), dlerror());
        return 2;
    }
    for (const char* entry : {"QuorixCore_LoadAPI", "QuorixCore_UnloadAPI", "Quorix_delete_shared_object"}) {
        if (dlsym(real, entry) == nullptr) {
            std::fprintf(stderr, "tvxtrace: %s is not TVXClientAPI (it has no entry %s)\n", library.c_str(), entry);
            return 2;
        }
    }
    const std::string tracer = beside_me({"libtvxtrace.so"});
    if (tracer.empty()) {
        std::fprintf(stderr, "tvxtrace: the tracing library libtvxtrace.so is not installed beside tvxtrace\n");
        return 2;
    }

    // The folder: made, and written to once, before the program starts.
    if (output.empty()) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
        std::string program = argv[first];
        program = program.substr(program.rfind('/') == std::string::npos ? 0 : program.rfind('/') + 1);
        output = "tvxtrace-" + program + "-" + stamp;
    }
    if (!make_directories(output)) {
        std::fprintf(stderr, "tvxtrace: cannot make the folder %s: %s\n", output.c_str(), std::strerror(errno));
        return 2;
    }
    output = absolute(output);
    const std::string probe = output + "/.owner";
    unlink(probe.c_str());
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "tvxtrace: cannot write in %s: %s\n", output.c_str(), std::strerror(errno));
        return 2;
    }
    close(fd);
    unlink(probe.c_str());  // the first process that calls the library claims the folder again
    for (const char* old : {"calls.log", "timeline.json", "summary.txt", "summary.csv", "summary.json", "leaks.txt"})
        unlink((output + "/" + old).c_str());

    const char* preload = std::getenv("LD_PRELOAD");
    const std::string preloads = tracer + (preload != nullptr && *preload != '\0' ? std::string(":") + preload : "");
    setenv("LD_PRELOAD", preloads.c_str(), 1);
    setenv("TVXAPI_LIBRARY", tracer.c_str(), 1);
    setenv("TVXTRACE_LIBRARY", library.c_str(), 1);
    setenv("TVXTRACE_DIR", output.c_str(), 1);
    setenv("TVXTRACE_DETAIL", detail.c_str(), 1);
    setenv("TVXTRACE_FLUSH", flush.c_str(), 1);
    setenv("TVXTRACE_FILTER", filter.c_str(), 1);

    // The terminal's interrupt goes to the program; tvxtrace waits for it to end either way.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("tvxtrace: fork");
        return 2;
    }
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execvp(argv[first], argv + first);
        std::fprintf(stderr, "tvxtrace: cannot run %s: %s\n", argv[first], std::strerror(errno));
        std::_Exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::fprintf(stderr, "tvxtrace: %s: calls.log, timeline.json, summary.txt/.csv/.json, leaks.txt\n", output.c_str());
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
