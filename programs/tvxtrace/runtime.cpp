#include "runtime.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#if defined(__x86_64__)
#  include <x86intrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace tvxtrace {

namespace {

// --- settings, from the environment tvxtrace prepares --------------------------------------------

enum class Detail { Full, Names, None };  // arguments decoded; entry names only; summary only

struct Settings {
    std::string directory;
    Detail detail = Detail::Full;
    bool flush_each_call = false;
    std::vector<bool> logged;  // by entry: matches the filter
};
Settings g_settings;

std::uint64_t clock_ns() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// Time. Two reads of the system clock a call would cost more than all else a summary needs (on a
// virtual machine each is some 50 ns), so where the processor's time-stamp counter runs at a
// constant rate, it is read instead and scaled to nanoseconds against the system clock.
struct Ticks {
    bool usable = false;
    std::uint64_t tick0 = 0, ns0 = 0;
    double ns_per_tick = 0;
};
Ticks g_ticks;

std::uint64_t now_ns() noexcept {
#if defined(__x86_64__)
    if (g_ticks.usable)
        return g_ticks.ns0 + static_cast<std::uint64_t>(static_cast<double>(__rdtsc() - g_ticks.tick0) * g_ticks.ns_per_tick);
#endif
    return clock_ns();
}

void calibrate_ticks() {
#if defined(__x86_64__)
    FILE* info = std::fopen("/proc/cpuinfo", "r");
    if (info == nullptr) return;
    char line[8192];
    bool constant = false;
    while (std::fgets(line, sizeof line, info) != nullptr) {
        if (std::strncmp(line, "flags", 5) != 0) continue;
        constant = std::strstr(line, " constant_tsc") != nullptr && std::strstr(line, " nonstop_tsc") != nullptr;
        break;
    }
    std::fclose(info);
    if (!constant) return;
    const std::uint64_t t0 = clock_ns(), k0 = __rdtsc();
    std::uint64_t t1 = t0;
    while (t1 - t0 < 2000000) t1 = clock_ns();
    const std::uint64_t k1 = __rdtsc();
    if (k1 <= k0) return;
    g_ticks.ns_per_tick = static_cast<double>(t1 - t0) / static_cast<double>(k1 - k0);
    g_ticks.tick0 = k1;
    g_ticks.ns0 = t1;
    g_ticks.usable = true;
#endif
}

std::uint64_t g_origin = 0;
std::atomic<std::uint64_t> g_seq{0};
std::atomic<bool> g_ready{false};
std::atomic<bool> g_finished{false};
int g_log_fd = -1, g_timeline_fd = -1;
unsigned long long g_pid = 0;  // kept: asking the system on every call would cost a system call

void write_all(int fd, const char* data, std::size_t n) noexcept {
    while (n > 0 && fd >= 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace

// --- text made without allocating -------------------------------------------------------------

template <std::size_t N>
struct Text {
    char data[N];
    std::size_t size = 0;

    void clear() noexcept { size = 0; }
    void add(const char* s, std::size_t n) noexcept {
        n = std::min(n, N - size);
        std::memcpy(data + size, s, n);
        size += n;
    }
    void add(const char* s) noexcept { add(s, std::strlen(s)); }
    void add(char c) noexcept {
        if (size < N) data[size++] = c;
    }
    void add_unsigned(unsigned long long v) noexcept {
        char digits[24];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0);
        while (n > 0) add(digits[--n]);
    }
    void add_signed(long long v) noexcept {
        if (v < 0) {
            add('-');
            add_unsigned(0ull - static_cast<unsigned long long>(v));
        } else {
            add_unsigned(static_cast<unsigned long long>(v));
        }
    }
    void add_real(double v) noexcept {
        char buffer[32];
        const int n = std::snprintf(buffer, sizeof buffer, "%.6g", v);
        add(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    void add_hex(const void* p) noexcept {
        char buffer[24];
        const int n = std::snprintf(buffer, sizeof buffer, "%p", p);
        add(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    // Microseconds with three decimals, from nanoseconds.
    void add_micro(std::uint64_t ns) noexcept {
        add_unsigned(ns / 1000);
        add('.');
        const unsigned frac = static_cast<unsigned>(ns % 1000);
        add(static_cast<char>('0' + frac / 100));
        add(static_cast<char>('0' + frac / 10 % 10));
        add(static_cast<char>('0' + frac % 10));
    }
    // A JSON string's content: quote, backslash and control bytes escaped.
    void add_json(const char* s, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; ++i) {
            // Runs of plain characters in one copy: a log line rarely needs escaping.
            std::size_t run = i;
            while (run < n && s[run] != '"' && s[run] != '\\' && static_cast<unsigned char>(s[run]) >= 0x20) ++run;
            if (run > i) {
                add(s + i, run - i);
                i = run;
                if (i == n) break;
            }
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '"' || c == '\\') {
                add('\\');
                add(static_cast<char>(c));
            } else if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                add("\\u00", 4);
                add(hex[c >> 4]);
                add(hex[c & 15]);
            } else {
                add(static_cast<char>(c));
            }
        }
    }
    bool full() const noexcept { return size >= N; }
};

namespace {

// A quoted, cut text: what a log line shows of a string argument or result.
constexpr std::size_t kTextShown = 48;
constexpr long long kValuesShown = 4;

template <class T>
void add_quoted(T& line, const char* s, std::size_t n, bool cut) {
    line.add('"');
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            line.add('\\');
            line.add(static_cast<char>(c));
        } else if (c == '\n') {
            line.add("\\n", 2);
        } else if (c < 0x20 || c == 0x7F) {
            line.add('?');
        } else {
            line.add(static_cast<char>(c));
        }
    }
    line.add('"');
    if (cut) line.add("...", 3);
}

// A text argument or result: null, or its first kTextShown bytes quoted.
template <class T>
void add_text(T& line, const char* s) {
    if (s == nullptr) return line.add("null");
    const std::size_t n = strnlen(s, kTextShown + 1);
    add_quoted(line, s, std::min(n, kTextShown), n > kTextShown);
}

}  // namespace

// --- threads -------------------------------------------------------------------------------------

struct Stats {
    std::uint64_t calls, failures, total, min, max;
};

struct ThreadState {
    int number = 0;
    long os_id = 0;
    int depth = 0;
    bool in_call = false;
    Text<4096> line;
    Text<1 << 16> log;
    Text<1 << 16> timeline;
    Stats* stats = nullptr;
};

namespace {

std::mutex g_threads_lock;
std::vector<ThreadState*>& threads() {
    static auto* list = new std::vector<ThreadState*>;
    return *list;
}
std::atomic<int> g_thread_numbers{0};

void flush(ThreadState& t) noexcept {
    write_all(g_log_fd, t.log.data, t.log.size);
    t.log.clear();
    write_all(g_timeline_fd, t.timeline.data, t.timeline.size);
    t.timeline.clear();
}

// Flushes a thread's buffers when it ends, so its calls are out before the process is.
struct ThreadEnd {
    ThreadState* state = nullptr;
    ~ThreadEnd() {
        if (state != nullptr && !g_finished.load()) flush(*state);
    }
};
thread_local ThreadEnd t_end;
thread_local ThreadState* t_state = nullptr;

ThreadState* this_thread() noexcept {
    if (t_state != nullptr) return t_state;
    auto* t = new ThreadState;
    t->stats = static_cast<Stats*>(std::calloc(static_cast<std::size_t>(kEntryCount), sizeof(Stats)));
    t->number = ++g_thread_numbers;
    t->os_id = static_cast<long>(syscall(SYS_gettid));
    {
        std::lock_guard<std::mutex> lock(g_threads_lock);
        threads().push_back(t);
    }
    t_state = t;
    t_end.state = t;
    return t;
}

// --- handles -------------------------------------------------------------------------------------

struct HandleInfo {
    const void* address = nullptr;
    std::uint32_t id = 0;
    const char* label = "";
    std::uint64_t made_by = 0;  // call number
    int made_entry = -1;
    int thread = 0;
    std::uint64_t released_by = 0;  // 0: alive
    int released_entry = -1;
    bool moved = false;
};

// Every handle seen, by address: open addressing in one block, grown by doubling, so that a new
// handle costs no allocation of its own. A released handle stays, as the record of its release,
// until a new handle comes at its address.
class HandleTable {
public:
    HandleInfo* find(const void* address) noexcept {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = home(address);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].address == address) return &slots_[i];
            if (slots_[i].address == nullptr) return nullptr;
        }
    }
    HandleInfo& operator[](const void* address) {
        if (HandleInfo* found = find(address)) return *found;
        if ((used_ + 1) * 2 > slots_.size()) grow();
        std::size_t i = home(address);
        while (slots_[i].address != nullptr) i = (i + 1) & (slots_.size() - 1);
        ++used_;
        slots_[i].address = address;
        return slots_[i];
    }
    template <class F>
    void each(F&& f) const {
        for (const HandleInfo& h : slots_)
            if (h.address != nullptr) f(h);
    }

private:
    std::size_t home(const void* address) const noexcept {
        std::uint64_t x = reinterpret_cast<std::uintptr_t>(address);
        x = (x ^ (x >> 29)) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(x >> 32) & (slots_.size() - 1);
    }
    void grow() {
        std::vector<HandleInfo> old(slots_.empty() ? 4096 : slots_.size() * 2);
        old.swap(slots_);
        used_ = 0;
        for (const HandleInfo& h : old)
            if (h.address != nullptr) (*this)[h.address] = h;
    }
    std::vector<HandleInfo> slots_;
    std::size_t used_ = 0;
};

// Whether a handle was moved into the common library, as the library itself answers.
using MovedQuery = bool (*)(const void*);
MovedQuery g_moved = nullptr;

std::mutex g_handles_lock;
HandleTable& handle_table() {
    static auto* table = new HandleTable;
    return *table;
}
std::atomic<std::uint32_t> g_handle_ids{0};

struct Owned {  // a string or array of the library, to be handed back
    std::uint64_t made_by;
    int entry;
};
std::map<const void*, Owned>& owned_table() {
    static auto* table = new std::map<const void*, Owned>;
    return *table;
}

std::vector<std::string>& refusals() {
    static auto* list = new std::vector<std::string>;
    return *list;
}

template <class T>
void add_handle(T& line, const HandleInfo& h) {
    line.add(h.label);
    line.add('#');
    line.add_unsigned(h.id);
}

// --- outputs at the end ----------------------------------------------------------------------------

void close_timeline() noexcept {
    if (g_timeline_fd < 0) return;
    Text<1 << 14> tail;
    {
        std::lock_guard<std::mutex> lock(g_threads_lock);
        for (ThreadState* t : threads()) {
            tail.add("{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":");
            tail.add_unsigned(static_cast<unsigned long long>(getpid()));
            tail.add(",\"tid\":");
            tail.add_unsigned(static_cast<unsigned long long>(t->number));
            tail.add(",\"args\":{\"name\":\"T");
            tail.add_unsigned(static_cast<unsigned long long>(t->number));
            tail.add(" (os ");
            tail.add_unsigned(static_cast<unsigned long long>(t->os_id));
            tail.add(")\"}},\n");
        }
    }
    tail.add("{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":");
    tail.add_unsigned(static_cast<unsigned long long>(getpid()));
    tail.add(",\"tid\":0,\"args\":{\"name\":\"TVXClientAPI calls\"}}\n]\n");
    write_all(g_timeline_fd, tail.data, tail.size);
    close(g_timeline_fd);
    g_timeline_fd = -1;
}

std::string path(const char* file) { return g_settings.directory + "/" + file; }

void write_file(const char* file, const std::string& text) {
    FILE* f = std::fopen(path(file).c_str(), "w");
    if (f == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

std::string micro(std::uint64_t ns) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", static_cast<double>(ns) / 1000.0);
    return b;
}

void write_summary() {
    std::vector<Stats> total(static_cast<std::size_t>(kEntryCount), Stats{0, 0, 0, UINT64_MAX, 0});
    {
        std::lock_guard<std::mutex> lock(g_threads_lock);
        for (ThreadState* t : threads())
            for (int e = 0; e < kEntryCount; ++e) {
                const Stats& s = t->stats[e];
                if (s.calls == 0) continue;
                Stats& m = total[static_cast<std::size_t>(e)];
                m.calls += s.calls;
                m.failures += s.failures;
                m.total += s.total;
                m.min = std::min(m.min, s.min);
                m.max = std::max(m.max, s.max);
            }
    }
    std::vector<int> order;
    std::uint64_t calls = 0, failures = 0, all = 0;
    for (int e = 0; e < kEntryCount; ++e) {
        if (total[static_cast<std::size_t>(e)].calls == 0) continue;
        order.push_back(e);
        calls += total[static_cast<std::size_t>(e)].calls;
        failures += total[static_cast<std::size_t>(e)].failures;
        all += total[static_cast<std::size_t>(e)].total;
    }
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const auto& x = total[static_cast<std::size_t>(a)];
        const auto& y = total[static_cast<std::size_t>(b)];
        return x.total != y.total ? x.total > y.total : std::strcmp(kEntryNames[a], kEntryNames[b]) < 0;
    });
    std::string table, csv = "entry,calls,failures,total_us,share,mean_us,min_us,max_us\n", json = "{\"calls\": ";
    json += std::to_string(calls) + ", \"failures\": " + std::to_string(failures) + ", \"total_us\": " + micro(all) +
            ", \"entries\": [";
    char row[512];
    std::snprintf(row, sizeof row, "%-48s %8s %8s %12s %6s %10s %10s %10s\n", "entry", "calls", "failures", "total us",
                  "share", "mean us", "min us", "max us");
    table += row;
    const char* sep = "";
    for (int e : order) {
        const Stats& s = total[static_cast<std::size_t>(e)];
        const double share = all > 0 ? 100.0 * static_cast<double>(s.total) / static_cast<double>(all) : 0.0;
        const std::uint64_t mean = s.total / s.calls;
        std::snprintf(row, sizeof row, "%-48s %8llu %8llu %12s %5.1f%% %10s %10s %10s\n", kEntryNames[e],
                      static_cast<unsigned long long>(s.calls), static_cast<unsigned long long>(s.failures),
                      micro(s.total).c_str(), share, micro(mean).c_str(), micro(s.min).c_str(), micro(s.max).c_str());
        table += row;
        std::snprintf(row, sizeof row, "%s,%llu,%llu,%s,%.4f,%s,%s,%s\n", kEntryNames[e],
                      static_cast<unsigned long long>(s.calls), static_cast<unsigned long long>(s.failures),
                      micro(s.total).c_str(), share / 100.0, micro(mean).c_str(), micro(s.min).c_str(), micro(s.max).c_str());
        csv += row;
        std::snprintf(row, sizeof row,
                      "%s{\"entry\": \"%s\", \"calls\": %llu, \"failures\": %llu, \"total_us\": %s, \"share\": %.4f, "
                      "\"mean_us\": %s, \"min_us\": %s, \"max_us\": %s}",
                      sep, kEntryNames[e], static_cast<unsigned long long>(s.calls),
                      static_cast<unsigned long long>(s.failures), micro(s.total).c_str(), share / 100.0,
                      micro(mean).c_str(), micro(s.min).c_str(), micro(s.max).c_str());
        json += row;
        sep = ", ";
    }
    std::snprintf(row, sizeof row, "%-48s %8llu %8llu %12s\n", "all", static_cast<unsigned long long>(calls),
                  static_cast<unsigned long long>(failures), micro(all).c_str());
    table += row;
    json += "]}\n";
    write_file("summary.txt", table);
    write_file("summary.csv", csv);
    write_file("summary.json", json);
}

void write_leaks() {
    std::map<int, std::vector<const HandleInfo*>> by_entry;
    std::map<int, std::vector<Owned>> texts;
    std::string report;
    std::lock_guard<std::mutex> lock(g_handles_lock);
    std::size_t alive = 0;
    handle_table().each([&](const HandleInfo& h) {
        if (h.released_by == 0) by_entry[h.made_entry].push_back(&h), ++alive;
    });
    std::size_t made = 0, moved = 0;
    handle_table().each([&](const HandleInfo& h) {
        ++made;
        moved += h.moved || (h.released_by == 0 && g_moved != nullptr && g_moved(h.address)) ? 1 : 0;
    });
    report += std::to_string(made) + " handles made, " + std::to_string(made - alive) + " released, " +
              std::to_string(moved) + " moved into the common library\n";
    report += std::to_string(alive) + (alive == 1 ? " handle" : " handles") + " never released\n";
    for (auto& [entry, list] : by_entry) {
        std::sort(list.begin(), list.end(), [](const HandleInfo* a, const HandleInfo* b) { return a->made_by < b->made_by; });
        report += "  " + std::string(entry >= 0 ? kEntryNames[entry] : "?") + ": " + std::to_string(list.size()) + "\n";
        for (const HandleInfo* h : list)
            report += "    " + std::string(h->label) + "#" + std::to_string(h->id) + "  made by call #" +
                      std::to_string(h->made_by) + " on T" + std::to_string(h->thread) +
                      (g_moved != nullptr && g_moved(h->address) ? ", moved into the common library" : "") + "\n";
    }
    std::size_t kept = 0;
    for (const auto& [address, o] : owned_table()) texts[o.entry].push_back(o), ++kept;
    report += std::to_string(kept) + (kept == 1 ? " string or array" : " strings or arrays") +
              " of the library never handed back\n";
    for (const auto& [entry, list] : texts) {
        report += "  " + std::string(kEntryNames[entry]) + ": " + std::to_string(list.size()) + " (calls";
        for (const Owned& o : list) report += " #" + std::to_string(o.made_by);
        report += ")\n";
    }
    report += std::to_string(refusals().size()) + (refusals().size() == 1 ? " call" : " calls") +
              " on a released handle, not forwarded\n";
    for (const auto& r : refusals()) report += "  " + r + "\n";
    write_file("leaks.txt", report);
}

void finish() {
    if (!g_ready.load() || g_finished.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(g_threads_lock);
        for (ThreadState* t : threads()) flush(*t);
    }
    close_timeline();
    if (g_log_fd >= 0) close(g_log_fd);
    g_log_fd = -1;
    write_summary();
    write_leaks();
}

// --- a crash: what is buffered goes out, then the signal goes on as it would have -----------------

struct sigaction g_previous[32];
volatile sig_atomic_t g_crashing = 0;

void on_crash(int sig) {
    if (!g_crashing && g_ready.load() && !g_finished.load()) {
        g_crashing = 1;
        for (ThreadState* t : threads()) {
            if (t->in_call && t->depth > 0) {
                // The call that was running: its line so far, marked.
                t->log.add(t->line.data, t->line.size);
                t->log.add(" <crashed: signal ");
                t->log.add_unsigned(static_cast<unsigned>(sig));
                t->log.add(">\n");
            }
            flush(*t);
        }
        close_timeline();
    }
    sigaction(sig, &g_previous[sig], nullptr);
    raise(sig);
}

void install_crash_handlers() {
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = on_crash;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, &g_previous[sig]);
    }
}

// --- a fork: the child writes its own outputs, in a folder of its own ---------------------------

int open_output(const char* file, bool truncate) {
    return open(path(file).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
}

void open_outputs() {
    if (g_settings.detail != Detail::None) {
        g_log_fd = open_output("calls.log", true);
        g_timeline_fd = open_output("timeline.json", true);
        write_all(g_timeline_fd, "[\n", 2);
    }
}

void after_fork_in_child() {
    if (!g_ready.load() || g_finished.load()) return;
    g_pid = static_cast<unsigned long long>(getpid());
    g_settings.directory += "/fork-" + std::to_string(g_pid);
    mkdir(g_settings.directory.c_str(), 0755);
    if (g_log_fd >= 0) close(g_log_fd);
    if (g_timeline_fd >= 0) close(g_timeline_fd);
    g_log_fd = g_timeline_fd = -1;
    open_outputs();
    // Only the forking thread lives on; what the parent buffered is the parent's to write.
    ThreadState* self = t_state;
    threads().clear();
    if (self != nullptr) {
        self->log.clear();
        self->timeline.clear();
        std::memset(self->stats, 0, sizeof(Stats) * static_cast<std::size_t>(kEntryCount));
        threads().push_back(self);
    }
}

[[noreturn]] void fail_to_start(const std::string& why) {
    std::fprintf(stderr, "tvxtrace: %s\n", why.c_str());
    std::_Exit(70);
}

// Started by the first call, not when the library is loaded: a program's other processes (a shell,
// a server it starts) carry the preload too, and only those that call TVXClientAPI write outputs.
// The first such process owns the folder; any other writes into a folder of its own inside it.
void start_tracing() {
    const char* library = std::getenv("TVXTRACE_LIBRARY");
    const char* directory = std::getenv("TVXTRACE_DIR");
    if (library == nullptr || directory == nullptr)
        fail_to_start("TVXTRACE_LIBRARY and TVXTRACE_DIR are not set: start programs with tvxtrace -- PROGRAM");
    void* real = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (real == nullptr) fail_to_start(std::string("cannot load ") + library + ": " + dlerror());
    for (int e = 0; e < kEntryCount; ++e) {
        g_real[e] = reinterpret_cast<Symbol>(dlsym(real, kEntryNames[e]));
        if (g_real[e] == nullptr) fail_to_start(std::string(library) + " is not TVXClientAPI: it has no entry " + kEntryNames[e]);
        if (std::strcmp(kEntryNames[e], "QuorixCore_HasBeenMovedLocally") == 0) g_moved = reinterpret_cast<MovedQuery>(g_real[e]);
    }
    g_settings.directory = directory;
    const int owner = open((g_settings.directory + "/.owner").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (owner >= 0) {
        close(owner);
    } else {
        g_settings.directory += "/pid-" + std::to_string(getpid());
        mkdir(g_settings.directory.c_str(), 0755);
    }
    if (const char* d = std::getenv("TVXTRACE_DETAIL"))
        g_settings.detail = std::strcmp(d, "none") == 0 ? Detail::None : std::strcmp(d, "names") == 0 ? Detail::Names : Detail::Full;
    if (const char* f = std::getenv("TVXTRACE_FLUSH")) g_settings.flush_each_call = std::strcmp(f, "call") == 0;
    g_settings.logged.assign(static_cast<std::size_t>(kEntryCount), true);
    if (const char* filter = std::getenv("TVXTRACE_FILTER"); filter != nullptr && *filter != '\0') {
        std::vector<std::string> patterns;
        for (const char* p = filter; *p != '\0';) {
            const char* comma = std::strchr(p, ',');
            patterns.emplace_back(p, comma != nullptr ? static_cast<std::size_t>(comma - p) : std::strlen(p));
            p = comma != nullptr ? comma + 1 : p + std::strlen(p);
        }
        for (int e = 0; e < kEntryCount; ++e) {
            bool any = false;
            for (const auto& pattern : patterns) any = any || fnmatch(pattern.c_str(), kEntryNames[e], 0) == 0;
            g_settings.logged[static_cast<std::size_t>(e)] = any;
        }
    }
    g_pid = static_cast<unsigned long long>(getpid());
    open_outputs();
    calibrate_ticks();
    g_origin = now_ns();
    install_crash_handlers();
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    std::atexit(finish);
    g_ready = true;
}

std::once_flag g_start;

__attribute__((destructor)) void stop_tracing() { finish(); }

}  // namespace

// --- a call ----------------------------------------------------------------------------------------

Call::Call(int entry) noexcept : state_(nullptr), thread_(nullptr), entry_(entry) {
    if (!g_ready.load(std::memory_order_acquire)) std::call_once(g_start, start_tracing);
    if (g_finished.load(std::memory_order_relaxed)) return;
    ThreadState* t = this_thread();
    thread_ = t;
    if (t->depth++ > 0) return;  // the library calling itself: not the client's call
    state_ = t;
    seq_ = ++g_seq;
    t->in_call = true;
    if (g_settings.detail == Detail::None) return;
    Text<4096>& line = t->line;
    line.clear();
    line.add('#');
    line.add_unsigned(seq_);
    line.add(" T");
    line.add_unsigned(static_cast<unsigned>(t->number));
    line.add(' ');
    line.add(kEntryNames[entry]);
    line.add('(');
}

namespace {
bool detailed(ThreadState* t) { return t != nullptr && g_settings.detail == Detail::Full; }
}  // namespace

void Call::separator() noexcept {
    if (!first_arg_) state_->line.add(", ", 2);
    first_arg_ = false;
}

bool Call::handle(const void* h) noexcept {
    if (state_ == nullptr) return true;
    if (h == nullptr) {
        if (detailed(state_)) separator(), state_->line.add("null");
        return true;
    }
    std::lock_guard<std::mutex> lock(g_handles_lock);
    const HandleInfo* found = handle_table().find(h);
    if (found == nullptr) {
        if (detailed(state_)) separator(), state_->line.add("handle@"), state_->line.add_hex(h);
        return true;
    }
    const HandleInfo& info = *found;
    if (detailed(state_)) separator(), add_handle(state_->line, info);
    if (info.released_by == 0) return true;
    static thread_local char why[200];
    std::snprintf(why, sizeof why, "%s#%u was released by call #%llu (%s)", info.label, info.id,
                  static_cast<unsigned long long>(info.released_by),
                  info.released_entry >= 0 ? kEntryNames[info.released_entry] : "?");
    refusal_ = why;
    return false;
}

void Call::number(long long v) noexcept {
    if (detailed(state_)) separator(), state_->line.add_signed(v);
}
void Call::unsigned_number(unsigned long long v) noexcept {
    if (detailed(state_)) separator(), state_->line.add_unsigned(v);
}
void Call::real(double v) noexcept {
    if (detailed(state_)) separator(), state_->line.add_real(v);
}
void Call::boolean(bool v) noexcept {
    if (detailed(state_)) separator(), state_->line.add(v ? "true" : "false");
}
void Call::text(const char* s) noexcept {
    if (detailed(state_)) separator(), add_text(state_->line, s);
}
void Call::wide_text(const wchar_t* s) noexcept {
    if (!detailed(state_)) return;
    separator();
    if (s == nullptr) return state_->line.add("null");
    char narrow[kTextShown];
    std::size_t n = 0;
    for (; n < kTextShown && s[n] != 0; ++n) narrow[n] = s[n] < 0x80 ? static_cast<char>(s[n]) : '?';
    state_->line.add('L');
    add_quoted(state_->line, narrow, n, s[n] != 0);
}
void Call::pointer(const void* p) noexcept {
    if (!detailed(state_)) return;
    separator();
    if (p == nullptr) return state_->line.add("null");
    state_->line.add_hex(p);
}
void Call::out(const char* name, const void* p) noexcept {
    if (!detailed(state_)) return;
    separator();
    if (p == nullptr) return state_->line.add("null");
    state_->line.add('&');
    state_->line.add(name);
}

// An array as its length and its first items: "[3: 1.5 2 2.5]", " ..." past kValuesShown.
template <class T, class Show>
void Call::list(const T* items, long long count, Show show) noexcept {
    if (!detailed(state_)) return;
    separator();
    if (items == nullptr) return state_->line.add("null");
    state_->line.add('[');
    state_->line.add_signed(count);
    state_->line.add(':');
    for (long long i = 0; i < count && i < kValuesShown; ++i) {
        state_->line.add(' ');
        show(items[i]);
    }
    if (count > kValuesShown) state_->line.add(" ...");
    state_->line.add(']');
}

template <class T>
void Call::numbers(const T* values, long long count) noexcept {
    list(values, count, [this](T value) {
        if constexpr (std::is_floating_point_v<T>)
            state_->line.add_real(static_cast<double>(value));
        else
            state_->line.add_signed(static_cast<long long>(value));
    });
}
template void Call::numbers<int>(const int*, long long) noexcept;
template void Call::numbers<double>(const double*, long long) noexcept;
template void Call::numbers<std::size_t>(const std::size_t*, long long) noexcept;

void Call::bytes(const char* data, long long count) noexcept {
    if (!detailed(state_)) return;
    separator();
    if (data == nullptr) return state_->line.add("null");
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    state_->line.add('[');
    state_->line.add_signed(count);
    state_->line.add(" bytes: ");
    add_quoted(state_->line, data, std::min(n, kTextShown), n > kTextShown);
    state_->line.add(']');
}
void Call::texts(const char* const* items, long long count) noexcept {
    list(items, count, [this](const char* item) { add_text(state_->line, item); });
}
void Call::handles(const void* const* items, long long count) noexcept {
    if (!detailed(state_)) return;
    std::lock_guard<std::mutex> lock(g_handles_lock);
    list(items, count, [this](const void* item) {
        const HandleInfo* found = item != nullptr ? handle_table().find(item) : nullptr;
        if (item == nullptr)
            state_->line.add("null");
        else if (found == nullptr)
            state_->line.add_hex(item);
        else
            add_handle(state_->line, *found);
    });
}

void Call::start() noexcept {
    if (state_ == nullptr) return;
    if (g_settings.detail != Detail::None) state_->line.add(')');
    begin_ = now_ns();
}

void Call::stop() noexcept {
    if (state_ != nullptr) end_ = now_ns();
}

void Call::result_number(long long v) noexcept {
    if (detailed(state_)) state_->line.add(" -> "), state_->line.add_signed(v);
}
void Call::result_unsigned(unsigned long long v) noexcept {
    if (detailed(state_)) state_->line.add(" -> "), state_->line.add_unsigned(v);
}
void Call::result_real(double v) noexcept {
    if (detailed(state_)) state_->line.add(" -> "), state_->line.add_real(v);
}
void Call::result_boolean(bool v) noexcept {
    if (detailed(state_)) state_->line.add(" -> "), state_->line.add(v ? "true" : "false");
}
void Call::result_text(const char* s) noexcept {
    if (detailed(state_)) state_->line.add(" -> "), add_text(state_->line, s);
}
void Call::result_owned_text(const char* s) noexcept {
    result_text(s);
    result_owned_array(s);
}
void Call::result_owned_array(const void* p) noexcept {
    if (state_ == nullptr || p == nullptr) return;
    std::lock_guard<std::mutex> lock(g_handles_lock);
    owned_table()[p] = Owned{seq_, entry_};
}
template <class T>
void Call::result_numbers(const T* values, long long count) noexcept {
    if (!detailed(state_)) return;
    state_->line.add(" -> ");
    first_arg_ = true;
    numbers(values, count);
}
template void Call::result_numbers<int>(const int*, long long) noexcept;
template void Call::result_numbers<double>(const double*, long long) noexcept;

void Call::result_pointer(const void* p) noexcept {
    if (!detailed(state_)) return;
    state_->line.add(" -> ");
    if (p == nullptr) return state_->line.add("null");
    state_->line.add_hex(p);
}

namespace {
// A new handle: a new id, even at an address a released handle had.
const HandleInfo& remember(const void* h, const char* label, std::uint64_t seq, int entry, int thread) {
    HandleInfo& info = handle_table()[h];
    info = HandleInfo{h, ++g_handle_ids, label, seq, entry, thread, 0, -1, false};
    return info;
}
}  // namespace

void Call::result_handle(const void* h, const char* label) noexcept {
    if (state_ == nullptr) return;
    if (h == nullptr) {
        if (detailed(state_)) state_->line.add(" -> null");
        return;
    }
    std::lock_guard<std::mutex> lock(g_handles_lock);
    const HandleInfo& info = remember(h, label, seq_, entry_, state_->number);
    if (detailed(state_)) state_->line.add(" -> "), add_handle(state_->line, info);
}

void Call::result_handles(const void* const* items, long long count) noexcept {
    if (state_ == nullptr) return;
    if (detailed(state_)) state_->line.add(" -> [");
    if (items != nullptr) {
        std::lock_guard<std::mutex> lock(g_handles_lock);
        for (long long i = 0; i < count; ++i) {
            if (items[i] == nullptr) continue;
            const HandleInfo& info = remember(items[i], "TvxObject", seq_, entry_, state_->number);
            if (detailed(state_) && i < kValuesShown) state_->line.add(i ? " " : ""), add_handle(state_->line, info);
        }
    }
    if (detailed(state_)) {
        if (count > kValuesShown) state_->line.add(" ...");
        state_->line.add(']');
    }
}

void Call::output_number(const char* name, long long v) noexcept {
    if (!detailed(state_)) return;
    state_->line.add(' ');
    state_->line.add(name);
    state_->line.add('=');
    state_->line.add_signed(v);
}
void Call::output_real(const char* name, double v) noexcept {
    if (!detailed(state_)) return;
    state_->line.add(' ');
    state_->line.add(name);
    state_->line.add('=');
    state_->line.add_real(v);
}

void Call::error(const int* size, wchar_t* const* message) noexcept {
    if (state_ == nullptr || size == nullptr || *size == 0) return;
    failed_ = true;
    if (g_settings.detail == Detail::None) return;
    Text<4096>& line = state_->line;
    line.add("  !! ");
    if (message == nullptr || *message == nullptr) return line.add("(no message)");
    char narrow[200];
    std::size_t n = 0;
    const std::size_t limit = *size > 0 ? std::min<std::size_t>(static_cast<std::size_t>(*size - 1), sizeof narrow) : 0;
    for (const wchar_t* m = *message; n < limit && m[n] != 0; ++n) narrow[n] = m[n] < 0x80 ? static_cast<char>(m[n]) : '?';
    add_quoted(line, narrow, n, false);
}

void Call::note_moved(const void* h) noexcept {
    if (state_ == nullptr || h == nullptr || g_moved == nullptr) return;
    std::lock_guard<std::mutex> lock(g_handles_lock);
    if (HandleInfo* found = handle_table().find(h); found != nullptr && found->released_by == 0) found->moved = g_moved(h);
}

void Call::released(const void* h, bool succeeded) noexcept {
    if (state_ == nullptr || h == nullptr || !succeeded) return;
    std::lock_guard<std::mutex> lock(g_handles_lock);
    HandleInfo* found = handle_table().find(h);
    if (found == nullptr) return;
    found->released_by = seq_;
    found->released_entry = entry_;
}

void Call::handed_back(const void* p) noexcept {
    if (state_ == nullptr || p == nullptr) return;
    std::lock_guard<std::mutex> lock(g_handles_lock);
    owned_table().erase(p);
}

void Call::refuse(int* size, wchar_t** message) noexcept {
    if (state_ == nullptr || refusal_ == nullptr) return;
    const std::string text = std::string("tvxtrace did not forward this call: ") + refusal_;
    if (size != nullptr && message != nullptr) {
        auto* wide = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
        if (wide != nullptr) {
            for (std::size_t i = 0; i <= text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
            *message = wide;
            *size = static_cast<int>(text.size() + 1);
        }
    }
    failed_ = true;
    begin_ = end_ = now_ns();
    if (g_settings.detail != Detail::None) {
        state_->line.add(")  !! not forwarded: ");
        state_->line.add(refusal_);
    }
    std::lock_guard<std::mutex> lock(g_handles_lock);
    if (refusals().size() < 1000) refusals().push_back("call #" + std::to_string(seq_) + " " + kEntryNames[entry_] + ": " + refusal_);
}

Call::~Call() {
    if (state_ == nullptr) {
        if (thread_ != nullptr) --thread_->depth;
        return;
    }
    ThreadState& t = *state_;
    const std::uint64_t duration = end_ >= begin_ ? end_ - begin_ : 0;
    Stats& s = t.stats[entry_];
    if (s.calls == 0 || duration < s.min) s.min = duration;
    if (duration > s.max) s.max = duration;
    ++s.calls;
    s.failures += failed_ ? 1 : 0;
    s.total += duration;

    if (g_settings.detail != Detail::None && g_settings.logged[static_cast<std::size_t>(entry_)]) {
        Text<4096>& line = t.line;
        line.add("  ");
        line.add_micro(duration);
        line.add("us");
        if (t.log.size + line.size + 1 > sizeof t.log.data) flush(t);
        t.log.add(line.data, line.size);
        t.log.add('\n');
        // The timeline event: the same line as its argument.
        if (t.timeline.size + line.size * 2 + 256 > sizeof t.timeline.data) flush(t);
        Text<1 << 16>& ev = t.timeline;
        ev.add("{\"ph\":\"X\",\"cat\":\"tvx\",\"name\":\"");
        ev.add(kEntryNames[entry_]);
        ev.add("\",\"pid\":");
        ev.add_unsigned(g_pid);
        ev.add(",\"tid\":");
        ev.add_unsigned(static_cast<unsigned>(t.number));
        ev.add(",\"ts\":");
        ev.add_micro(begin_ - g_origin);
        ev.add(",\"dur\":");
        ev.add_micro(duration);
        ev.add(",\"args\":{\"call\":\"");
        ev.add_json(line.data, line.size);
        ev.add(failed_ ? "\",\"failed\":true}},\n" : "\"}},\n");
        if (g_settings.flush_each_call) flush(t);
    }
    t.in_call = false;
    --t.depth;
}

}  // namespace tvxtrace
