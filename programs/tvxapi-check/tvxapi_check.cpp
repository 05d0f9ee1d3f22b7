// tvxapi-check PATH NAME [--json] [--timeout SECONDS] [--protocol NAME] [--server ADDRESS]
//
// Tells the author of an implementation library whether it keeps what TVXClientAPI and its callers
// rely on: one line per requirement of docs/implementation-requirements.md, held, violated (with the
// evidence) or not applicable (with the reason). The library is never loaded into this process:
// children load it through TVXClientAPI and make the calls, each announced before it is made; a
// child that crashes or stops answering within the time limit is killed, the call it was making is
// reported, and a new child goes on with the next unit of checks.
//
// Exit status: 0 when every applicable requirement holds, 1 when one is violated, 2 when the file
// cannot be loaded, 3 on a usage error.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "programs/shared/json_text.h"
#include "requirements.h"

namespace tvxcheck {
namespace {

struct Verdict {
    std::vector<std::string> violations;
    std::vector<std::string> held_notes;
    std::vector<std::string> reasons;  // not applicable
    int held = 0;
};

struct OtherExport {
    std::string name, nearest;
    int edits = -1;
};

struct Report {
    std::map<std::string, Verdict> verdicts;
    std::vector<std::string> entries;
    std::vector<OtherExport> others;
    std::string load_failure;  // set when the file cannot be loaded
};

struct Options {
    std::string path, name, protocol = "grpc", server;
    bool json = false;
    int timeout = 5;
};

// What a child was doing when it was lost.
struct Progress {
    int unit = -1;          // the unit begun and not finished, -1 between units
    std::string req, call;  // its last announced call
    bool finished = false;  // every unit done
};

void apply(const std::string& line, Report& report, Progress& progress) {
    if (line.size() < 2) return;
    const char tag = line[0];
    const std::size_t space = line.find(' ', 2);
    const std::string field = line.substr(2, space == std::string::npos ? std::string::npos : space - 2);
    const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
    switch (tag) {
    case 'B': progress.unit = std::atoi(field.c_str()); progress.req.clear(); progress.call = text; break;
    case 'A': progress.req = field; progress.call = text; break;
    case 'D': progress.unit = -1; break;
    case 'Z': progress.finished = true; break;
    case 'V': report.verdicts[field].violations.push_back(text); break;
    case 'H': {
        Verdict& v = report.verdicts[field];
        ++v.held;
        if (!text.empty() && text != "-" && v.held_notes.size() < 20) v.held_notes.push_back(text);
        break;
    }
    case 'N': report.verdicts[field].reasons.push_back(text); break;
    case 'E': report.entries.push_back(field); break;
    case 'O': {
        const std::size_t gap = text.rfind(' ');
        OtherExport o{field, text.substr(0, gap), std::atoi(text.c_str() + gap + 1)};
        if (o.nearest == "-") o.nearest.clear();
        report.others.push_back(o);
        break;
    }
    case 'F': report.load_failure = text; break;
    default: break;
    }
}

std::string signal_text(int status) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = sigabbrev_np(sig);
        return std::string("crashed (SIG") + (name != nullptr ? name : std::to_string(sig).c_str()) + ")";
    }
    return "ended the process (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}

// One child from `first_unit` on; returns the unit it was lost in, or -1 when it finished.
int run_child(const Options& o, int first_unit, Report& report) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("tvxapi-check: pipe");
        std::exit(3);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("tvxapi-check: fork");
        std::exit(3);
    }
    if (pid == 0) {
        setpgid(0, 0);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        close(fds[0]);
        dup2(STDERR_FILENO, STDOUT_FILENO);  // what the library prints stays out of the report
        const std::string unit = std::to_string(first_unit), fd = std::to_string(fds[1]);
        execl("/proc/self/exe", "tvxapi-check", "--child", o.path.c_str(), o.name.c_str(), o.protocol.c_str(),
              o.server.c_str(), unit.c_str(), fd.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    setpgid(pid, pid);
    close(fds[1]);

    Progress progress;
    progress.unit = first_unit;  // loading counts as part of the first unit
    progress.req = first_unit == 0 ? "R1" : "";
    progress.call = "loading the library";
    std::string pending;
    bool timed_out = false;
    // Each call gets the whole limit; loading a library and reading its export table (the checker's
    // own work, slow on a large file), four times it.
    auto limit = [&] {
        return progress.call == "loading the library" || progress.call == "names" ? o.timeout * 4 : o.timeout;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit());
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            apply(pending.substr(0, end), report, progress);
            pending.erase(0, end + 1);
        }
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit());
    }
    if (timed_out) kill(-pid, SIGKILL);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (progress.finished || !report.load_failure.empty()) return -1;

    const std::string what = timed_out ? "did not return within " + std::to_string(limit()) + " s" : signal_text(status);
    if (progress.call == "loading the library") {
        if (first_unit == 0) {
            report.load_failure = "loading the library " + what;
            return -1;
        }
        // Loaded once already: a second load that fails is the library's fault, charged to the unit.
    }
    if (progress.unit < 0) {
        report.verdicts["R1"].violations.push_back("the process " + what + " between checks");
        return -1;
    }
    const std::string req = progress.req.empty() ? "R1" : progress.req;
    report.verdicts[req].violations.push_back(progress.call + " " + what);
    return progress.unit;
}

// --- the report --------------------------------------------------------------------------------

const char* verdict_word(const Verdict& v) {
    return !v.violations.empty() ? "violated" : v.held > 0 ? "held" : "not applicable";
}

std::string default_reason(const std::string& id) {
    if (id == "R4") return "no failure was provoked";
    if (id == "R5") return "no call was made that could succeed";
    return "nothing it is about was found";
}

using tvx::programs::json_string;

std::string json_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + json_string(items[i]);
    return out + "]";
}

int exit_status(const Report& r) {
    if (!r.load_failure.empty()) return 2;
    for (const auto& [id, v] : r.verdicts)
        if (!v.violations.empty()) return 1;
    return 0;
}

std::vector<std::string> evidence(const std::string& id, const Verdict& v) {
    if (!v.violations.empty()) return v.violations;
    if (v.held > 0) {
        // What was counted, then what was seen (the kinds of object, the proxies).
        static const std::map<std::string, std::pair<const char*, const char*>> counted = {
            {"R4", {" failure", ", each message as long as its size"}},
            {"R5", {" success", " that cleared an earlier failure"}},
            {"R6", {" call", " with null objects"}},
            {"R7", {" release", ""}}};
        std::vector<std::string> notes;
        const auto c = counted.find(id);
        if (c != counted.end())
            notes.push_back(std::to_string(v.held) + c->second.first +
                            (v.held == 1 ? "" : id == "R5" ? "es" : "s") + c->second.second);
        notes.insert(notes.end(), v.held_notes.begin(), v.held_notes.end());
        if (notes.empty()) notes.push_back(std::to_string(v.held) + (v.held == 1 ? " check" : " checks"));
        return notes;
    }
    return v.reasons.empty() ? std::vector<std::string>{default_reason(id)} : std::vector<std::string>{v.reasons.front()};
}

void print_json(const Options& o, const Report& r) {
    std::printf("{\"schema\": 1, \"path\": %s, \"name\": %s", json_string(o.path).c_str(), json_string(o.name).c_str());
    if (!r.load_failure.empty()) std::printf(", \"error\": %s", json_string(r.load_failure).c_str());
    std::printf(", \"requirements\": [");
    const char* sep = "";
    for (const auto& req : kRequirements) {
        const auto found = r.verdicts.find(req.id);
        const Verdict v = found == r.verdicts.end() ? Verdict{} : found->second;
        std::printf("%s{\"id\": \"%s\", \"title\": %s, \"verdict\": \"%s\", \"checks\": %d, \"evidence\": %s}", sep, req.id,
                    json_string(req.title).c_str(), verdict_word(v), v.held + static_cast<int>(v.violations.size()),
                    json_list(evidence(req.id, v)).c_str());
        sep = ", ";
    }
    std::printf("], \"entries\": %s, \"other_exports\": [", json_list(r.entries).c_str());
    sep = "";
    for (const auto& x : r.others) {
        std::printf("%s{\"name\": %s, \"nearest\": %s, \"edits\": %d}", sep, json_string(x.name).c_str(),
                    x.nearest.empty() ? "null" : json_string(x.nearest).c_str(), x.edits);
        sep = ", ";
    }
    std::printf("], \"exit\": %d}\n", exit_status(r));
}

void print_text(const Options& o, const Report& r) {
    std::printf("tvxapi-check: %s under the name \"%s\"\n", o.path.c_str(), o.name.c_str());
    if (!r.load_failure.empty()) std::printf("the file cannot be loaded: nothing else can be checked\n");
    const std::string heading = "entries resolved (" + std::to_string(r.entries.size()) + "):";
    if (r.load_failure.empty()) std::printf("%s", heading.c_str());
    std::size_t column = heading.size();
    for (const auto& e : r.entries) {
        if (column + e.size() + 1 > 100) {
            std::printf("\n ");
            column = 1;
        }
        std::printf(" %s", e.c_str());
        column += e.size() + 1;
    }
    if (r.load_failure.empty()) std::printf("\nother exports (%zu):\n", r.others.size());
    const std::size_t shown = r.others.size() > 20 ? 15 : r.others.size();
    for (std::size_t i = 0; i < shown; ++i) {
        const auto& x = r.others[i];
        // Far from every entry name (a runtime's own symbols): the nearest one says nothing.
        if (x.nearest.empty() || x.edits > 2 + static_cast<int>(x.nearest.size()) / 4)
            std::printf("  %s  (near no entry name)\n", x.name.c_str());
        else
            std::printf("  %s  (nearest entry: %s, %d %s)\n", x.name.c_str(), x.nearest.c_str(), x.edits,
                        x.edits == 1 ? "edit" : "edits");
    }
    if (shown < r.others.size()) std::printf("  ... and %zu more (--json lists them all)\n", r.others.size() - shown);
    int counts[3] = {0, 0, 0};
    for (const auto& req : kRequirements) {
        const auto found = r.verdicts.find(req.id);
        const Verdict v = found == r.verdicts.end() ? Verdict{} : found->second;
        const std::string word = verdict_word(v);
        ++counts[word == "held" ? 0 : word == "violated" ? 1 : 2];
        std::vector<std::string> lines = evidence(req.id, v);
        if (word == "held") {
            std::string joined;
            for (const auto& line : lines) joined += (joined.empty() ? "" : "; ") + line;
            lines = {joined};
        }
        std::printf("%-4s %-15s %s: %s\n", req.id, word.c_str(), req.title, lines.front().c_str());
        const std::size_t more = word == "violated" ? (lines.size() > 10 ? 8 : lines.size()) : 1;
        for (std::size_t i = 1; i < more; ++i) std::printf("%-20s %s\n", "", lines[i].c_str());
        if (more < lines.size() && word == "violated")
            std::printf("%-20s ... and %zu more (--json lists them all)\n", "", lines.size() - more);
    }
    std::printf("summary: %d held, %d violated, %d not applicable\n", counts[0], counts[1], counts[2]);
}

int usage() {
    std::fprintf(stderr,
                 "usage: tvxapi-check PATH NAME [--json] [--timeout SECONDS] [--protocol NAME] [--server ADDRESS]\n"
                 "  PATH        the implementation library without its suffix (as given to QuorixCore_LoadAPI)\n"
                 "  NAME        the name it is meant to be loaded under: \"common\", \"remote\" or another\n"
                 "  --json      the report as one JSON document\n"
                 "  --timeout   the limit for one call, in seconds (5; loading the library: four times it)\n"
                 "  --protocol  the key the proxy's data sources get the server address under (grpc)\n"
                 "  --server    for a library loaded as \"remote\": the server its objects are made on\n");
    return 3;
}

}  // namespace
}  // namespace tvxcheck

int main(int argc, char** argv) {
    using namespace tvxcheck;
    if (argc == 8 && std::strcmp(argv[1], "--child") == 0)
        return run_worker(argv[2], argv[3], argv[4], argv[5], std::atoi(argv[6]), std::atoi(argv[7]));

    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            o.json = true;
        } else if ((a == "--timeout" || a == "--protocol" || a == "--server") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (a == "--protocol") {
                o.protocol = value;
            } else if (a == "--server") {
                o.server = value;
            } else {
                o.timeout = std::atoi(value.c_str());
                if (o.timeout <= 0) return usage();
            }
        } else if (a.rfind("--", 0) == 0) {
            return usage();
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) return usage();
    o.path = positional[0];
    o.name = positional[1];

    Report report;
    for (int unit = 0; unit >= 0;) {
        const int lost = run_child(o, unit, report);
        unit = lost < 0 ? -1 : lost + 1;
    }
    if (!report.load_failure.empty()) {
        report.verdicts.clear();
        report.verdicts["R1"].violations.push_back(report.load_failure);
        for (const auto& req : kRequirements)
            if (std::strcmp(req.id, "R1") != 0) report.verdicts[req.id].reasons.push_back("the file does not load");
    }
    if (o.json)
        print_json(o, report);
    else
        print_text(o, report);
    return exit_status(report);
}
