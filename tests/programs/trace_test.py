#!/usr/bin/env python3
"""tvxtrace on a client that counts its own calls: the log, the summary and the timeline hold every
call; handles never released are reported with the entry that made them; a second release is
reported and not forwarded; four threads give a valid timeline in order; a crash keeps what came
before; a library that is not TVXClientAPI and a folder that cannot be written stop it before the
program runs. With the sample server, the C and the Python demo traced give the same summary.

    trace_test.py <tvxtrace> <bin dir> <trace_client> <source dir>
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

tool, bindir, client, source = sys.argv[1:5]
library = os.path.join(bindir, "libTVXClientAPI.so")
failures = []
LINE = re.compile(r"^#(\d+) T(\d+) (\w+)\(.*  \d+\.\d{3}us( <crashed: signal \d+>)?$")


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def trace(out, *program, options=(), env=None):
    p = subprocess.run([tool, "-o", out, "--library", library, *options, "--", *program],
                       capture_output=True, text=True, timeout=300, env=env)
    return p


def read(out, name):
    with open(os.path.join(out, name)) as f:
        return f.read()


def own_count(p):
    m = re.search(r"calls (\d+)", p.stdout)
    return int(m.group(1)) if m else None


def log_lines(out):
    lines = read(out, "calls.log").splitlines()
    for line in lines:
        if not LINE.match(line):
            failures.append("%s: a line not whole: %r" % (out, line))
    return lines


with tempfile.TemporaryDirectory() as tmp:
    # Handles never released: each named with the entry and call that made it; every call counted.
    out = os.path.join(tmp, "leak")
    p = trace(out, client, bindir, "leak")
    check("leak: exit", p.returncode, 0)
    n = own_count(p)
    check("leak: calls in the log", len(log_lines(out)), n)
    check("leak: calls in the summary", json.loads(read(out, "summary.json"))["calls"], n)
    leaks = read(out, "leaks.txt")
    check("leak: counts", leaks.splitlines()[:2],
          ["4 handles made, 2 released, 0 moved into the common library", "2 handles never released"])
    for entry, label in (("Scoping_new", "Scoping"), ("Field_new", "Field")):
        if not re.search(r"^  %s: 1\n    %s#\d+  made by call #\d+ on T1$" % (entry, label), leaks, re.M):
            failures.append("leak: %s not reported: %r" % (entry, leaks))

    # A second release: refused with a message, the program goes on; so does a call after it.
    out = os.path.join(tmp, "twice")
    p = trace(out, client, bindir, "twice")
    check("twice: exit", p.returncode, 0)
    check("twice: the program was told", "was released by call #" in p.stdout, True)
    log = read(out, "calls.log")
    check("twice: refusals in the log", log.count("!! not forwarded: Scoping#"), 2)
    check("twice: refusals in the report", "2 calls on a released handle, not forwarded" in read(out, "leaks.txt"), True)

    # Four threads: every call a complete event of the timeline, each thread's calls in order.
    out = os.path.join(tmp, "threads")
    p = trace(out, client, bindir, "threads")
    check("threads: exit", p.returncode, 0)
    n = own_count(p)
    lines = log_lines(out)
    check("threads: calls in the log", len(lines), n)
    by_thread = {}
    for line in lines:
        m = LINE.match(line)
        if m:
            by_thread.setdefault(m.group(2), []).append(int(m.group(1)))
    check("threads: threads seen", len(by_thread), 5)
    check("threads: each thread in order", all(s == sorted(s) for s in by_thread.values()), True)
    try:
        events = json.loads(read(out, "timeline.json"))
        complete = [e for e in events if e.get("ph") == "X"]
        check("threads: complete events", len(complete), n)
        check("threads: every event has its fields",
              all({"name", "ts", "dur", "pid", "tid", "args"} <= e.keys() for e in complete), True)
        tracks = {}
        for e in complete:
            tracks.setdefault(e["tid"], []).append(e["ts"])
        check("threads: each track in time order", all(t == sorted(t) for t in tracks.values()), True)
        names = [e for e in events if e.get("ph") == "M" and e.get("name") == "thread_name"]
        check("threads: named tracks", len(names), 5)
    except ValueError as error:
        failures.append("threads: timeline.json is not JSON: %s" % error)

    # A crash: the calls before it are in the log (buffered, flushed by the crash), the timeline
    # closed; the program's own exit status comes back.
    out = os.path.join(tmp, "crash")
    p = trace(out, client, bindir, "crash")
    check("crash: exit status", p.returncode, 128 + 11)
    check("crash: calls in the log", len(log_lines(out)), own_count(p))
    try:
        json.loads(read(out, "timeline.json"))
    except ValueError as error:
        failures.append("crash: timeline.json is not JSON: %s" % error)

    # Options: a filter logs only its entries (the summary counts every call); every call written at
    # once; with no detail, no log and no timeline, the summary all the same.
    out = os.path.join(tmp, "filtered")
    p = trace(out, client, bindir, "leak", options=("--filter", "Scoping_*,QuorixCore_Unload*", "--flush", "call"))
    check("filter: exit", p.returncode, 0)
    check("filter: entries logged", sorted({LINE.match(l).group(3) for l in log_lines(out)}),
          ["QuorixCore_UnloadAPI", "Scoping_new"])
    check("filter: the summary counts every call", json.loads(read(out, "summary.json"))["calls"], own_count(p))
    out = os.path.join(tmp, "quiet")
    p = trace(out, client, bindir, "leak", options=("--detail", "none"))
    check("no detail: exit", p.returncode, 0)
    check("no detail: outputs", sorted(n for n in os.listdir(out) if not n.startswith(".")),
          ["leaks.txt", "summary.csv", "summary.json", "summary.txt"])
    check("no detail: the summary", json.loads(read(out, "summary.json"))["calls"], own_count(p))

    # A fork: the child's calls go to a folder of their own; both logs whole, both timelines valid.
    out = os.path.join(tmp, "fork")
    p = trace(out, client, bindir, "fork")
    check("fork: exit", p.returncode, 0)
    check("fork: the parent's calls", len(log_lines(out)), own_count(p))
    children = [d for d in os.listdir(out) if d.startswith("fork-")]
    check("fork: one child folder", len(children), 1)
    for d in children:
        child = os.path.join(out, d)
        check("fork: the child's calls", [LINE.match(l).group(3) for l in log_lines(child)],
              ["Scoping_new", "Quorix_delete_shared_object"])
        for folder in (out, child):
            try:
                json.loads(read(folder, "timeline.json"))
            except ValueError as error:
                failures.append("fork: %s/timeline.json is not JSON: %s" % (folder, error))

    # Bad input: the program never runs.
    marker = os.path.join(tmp, "ran")
    for what, args in (("not TVXClientAPI", ["--library", os.path.join(bindir, "double_common.so")]),
                       ("a folder that cannot be written", ["-o", "/proc/tvxtrace"])):
        p = subprocess.run([tool, "-o", os.path.join(tmp, "bad"), *args, "--", "touch", marker],
                           capture_output=True, text=True, timeout=60)
        check("%s: exit" % what, p.returncode, 2)
        check("%s: the program did not run" % what, os.path.exists(marker), False)
        check("%s: said why" % what, p.stderr.startswith("tvxtrace: "), True)

    # The demo, in C and in Python, against the sample server: the same calls, entry by entry.
    server_binary = os.path.join(bindir, "tvx-sample-server")
    if os.path.exists(server_binary):
        server = subprocess.Popen([server_binary], stdout=subprocess.PIPE, text=True)
        try:
            address = None
            for _ in range(100):
                line = server.stdout.readline()
                m = re.match(r"listening on (127\.0\.0\.1:\d+)", line)
                if m:
                    address = m.group(1)
                    break
                time.sleep(0.05)
            env = dict(os.environ, PYTHONPATH=os.path.join(source, "bindings", "python"), PYTHONDONTWRITEBYTECODE="1")
            summaries = {}
            for name, program in (("C", [os.path.join(bindir, "demo")]),
                                  ("Python", [sys.executable, os.path.join(source, "examples", "demo.py")])):
                out = os.path.join(tmp, "demo-" + name)
                p = trace(out, *program, bindir, address, env=env)
                check("%s demo: exit" % name, p.returncode, 0)
                summary = json.loads(read(out, "summary.json"))
                check("%s demo: the log holds every call" % name, len(log_lines(out)), summary["calls"])
                summaries[name] = {e["entry"]: e["calls"] for e in summary["entries"]}
            check("the C and the Python demo's calls", summaries.get("Python"), summaries.get("C"))
        finally:
            server.terminate()
            server.wait()

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("tvxtrace: all checks passed")
