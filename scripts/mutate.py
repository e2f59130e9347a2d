#!/usr/bin/env python3
"""Mutation run over the product code: one line changed at a time.

Each change (a "mutant") is built into the host test binaries and the tests
are run against it. A change the tests notice is killed; one they do not
notice survives, and is either explained in scripts/mutate-equivalent.txt
(it cannot be observed) or shows a gap in the tests.

The working tree is never touched: the sources are copied into a scratch
folder (default build/mutate), built there with their own Ninja build, and
each mutant is written only into that copy. That build tells what to change
and what to run: the files its compile_commands.json compiles into the
product library, and the programs its host tests run (ctest's listing).
The changes themselves come from scripts/mutants.py.

    python3 scripts/mutate.py [--files PATTERN] [--jobs N] [--list]
                              [--resume] [--report FILE] [--scratch DIR]

Exit status: 0 when every survivor is explained, 1 when one is not, 2 when
the unchanged sources do not build or do not pass their own tests.
"""

import argparse
import concurrent.futures
import fnmatch
import json
import os
import queue
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(REPO, "scripts", "mutate-equivalent.txt")

SEPARATOR = " ||| "

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mutants import DELETED, describe, file_mutants, mutant_key, normal  # noqa: E402

# What is mutated, and what must notice it, come from the build itself: the
# sources its product library compiles and the programs its host tests run.
PRODUCT_TARGET = "sorvik_product"
HOST_TESTS = ["-L", "host", "-LE", "e2e|release|fuzz"]


# ---------------------------------------------------------------- the build's lists

def product_sources(commands, src):
    """The files, relative to src, that compile_commands.json entries compile into the product library."""
    marker = "CMakeFiles/%s.dir/" % PRODUCT_TARGET
    chosen = set()
    for entry in commands:
        args = entry.get("arguments") or shlex.split(entry.get("command", ""))
        output = entry.get("output") or next((args[i + 1] for i, a in enumerate(args[:-1]) if a == "-o"), "")
        if marker in output.replace(os.sep, "/"):
            path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
            chosen.add(os.path.relpath(path, src))
    return sorted(chosen)


def test_programs(listing, build):
    """The programs made in build that the tests of a ctest --show-only=json-v1 listing run,
    relative to build, in the order of their first test."""
    programs = []
    top = os.path.realpath(build)
    for test in listing.get("tests", []):
        command = test.get("command") or []
        if not command:
            continue
        rel = os.path.relpath(os.path.realpath(command[0]), top)
        if rel != os.pardir and not rel.startswith(os.pardir + os.sep) and rel not in programs:
            programs.append(rel)
    return programs


def matching(files, pattern):
    return [rel for rel in files if pattern is None or fnmatch.fnmatch(rel, pattern) or pattern in rel]

# ---------------------------------------------------------------- sources

# Where the sources are copied from: the working tree (default), or a snapshot
# of the last commit when others' unfinished edits would break the build.
SOURCE = REPO


def take_snapshot(scratch):
    """Extracts the last commit into scratch/head and makes it the source."""
    global SOURCE
    SOURCE = os.path.join(scratch, "head")
    shutil.rmtree(SOURCE, ignore_errors=True)
    os.makedirs(SOURCE)
    archive = subprocess.run(["git", "-C", REPO, "archive", "--format=tar", "HEAD"],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", SOURCE], input=archive, check=True)


def source_files():
    if SOURCE == REPO:
        out = subprocess.run(["git", "-C", REPO, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
        names = out.decode().split("\0")
    else:
        names = [os.path.relpath(os.path.join(root, n), SOURCE)
                 for root, _, files in os.walk(SOURCE) for n in files]
    return sorted({p for p in names if p and os.path.isfile(os.path.join(SOURCE, p))})


def same_content(a, b):
    if not os.path.exists(b) or os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def sync_sources(src):
    """Copies the working tree's files into src, touching only those that differ."""
    files = source_files()
    wanted = set(files)
    for rel in files:
        origin, copy = os.path.join(SOURCE, rel), os.path.join(src, rel)
        if not same_content(origin, copy):
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copyfile(origin, copy)
            shutil.copymode(origin, copy)
    for root, dirs, names in os.walk(src):
        for name in names:
            rel = os.path.relpath(os.path.join(root, name), src)
            if rel not in wanted:
                os.remove(os.path.join(root, name))


# ---------------------------------------------------------------- running

RUNNING = set()       # child processes, each the leader of its own group
STOPPING = threading.Event()


class Stopped(Exception):
    pass


def run(cmd, cwd, timeout=None):
    """(return code or None on timeout, seconds, output tail)."""
    if STOPPING.is_set():
        raise Stopped()
    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    RUNNING.add(proc)
    try:
        output, _ = proc.communicate(timeout=timeout)
        code = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        output, _ = proc.communicate()
        code = None
    finally:
        RUNNING.discard(proc)
    if STOPPING.is_set():
        raise Stopped()
    return code, time.monotonic() - start, output.decode(errors="replace")[-4000:]


def stop(signum, frame):
    """Ends the children at once; each worker then puts its file back."""
    STOPPING.set()
    for proc in list(RUNNING):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class Slot:
    """One copy of the sources with its own build folder."""

    def __init__(self, root, index):
        self.src = os.path.join(root, "slot%d" % index, "src")
        self.build = os.path.join(root, "slot%d" % index, "build")
        self.programs = []  # the test programs, relative to the build folder

    def configure(self, log):
        os.makedirs(self.src, exist_ok=True)
        sync_sources(self.src)
        # -O1: the tests run five times faster than at -O0 (2.6 s against
        # 12.9 s), which outweighs the slower compile of the one changed file.
        # The bounds check stops a test at an index past its array, which a
        # plain build would read or write unnoticed; it costs little.
        code, _, out = run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release",
                            "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -fsanitize=bounds -fno-sanitize-recover=all",
                            "-DCMAKE_CXX_COMPILER=g++", "-DSORVIK_BENCH=OFF",
                            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"], REPO)
        if code != 0:
            log(out)
        return code == 0

    def product_files(self):
        with open(os.path.join(self.build, "compile_commands.json"), encoding="utf-8") as f:
            return product_sources(json.load(f), self.src)

    def build_all(self, log):
        """Builds everything once; the tests' programs are known only then, as
        each program lists its tests after it is built."""
        code, seconds, out = run(["ninja", "-C", self.build, "-j2"], REPO)
        if code != 0:
            log(out)
            return False
        log("  build of %s: %.1f s" % (self.src, seconds))
        return True

    def find_test_programs(self):
        listing = subprocess.run(["ctest", "--show-only=json-v1"] + HOST_TESTS, cwd=self.build,
                                 check=True, capture_output=True).stdout
        return test_programs(json.loads(listing), self.build)

    def run_tests(self, timeouts):
        """('passed'|'failed'|'timeout', which binary, {binary: seconds})."""
        times = {}
        for binary in self.programs:
            code, times[binary], _ = run([os.path.join(self.build, binary), "--gtest_fail_fast",
                                          "--gtest_brief=1"], self.build, timeouts.get(binary))
            if code is None:
                return "timeout", binary, times
            if code != 0:
                return "failed", binary, times
        return "passed", None, times

    def try_mutant(self, m, timeout):
        path = os.path.join(self.src, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        if lines[m["line"] - 1] != m["original"]:
            return {"status": "stale", "detail": "line changed since listing"}
        lines[m["line"] - 1] = "" if m["mutated"] == DELETED else m["mutated"]
        start = time.monotonic()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            code, _, out = run(["ninja", "-C", self.build, "-j1"] + self.programs, REPO)
            if code != 0:
                error = next((l for l in out.splitlines() if "error" in l), out.splitlines()[-1:])
                return {"status": "not viable", "detail": str(error)[:200],
                        "seconds": round(time.monotonic() - start, 1)}
            verdict, binary, _ = self.run_tests(timeout)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        status = {"passed": "survived", "failed": "killed", "timeout": "killed"}[verdict]
        detail = "timeout in %s" % binary if verdict == "timeout" else (binary or "")
        return {"status": status, "detail": detail, "seconds": round(time.monotonic() - start, 1)}


# ---------------------------------------------------------------- equivalents

def read_equivalents():
    """{(file, original, mutated): why} from the equivalents file."""
    table = {}
    if not os.path.exists(EQUIVALENTS):
        return table
    with open(EQUIVALENTS, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            parts = line.rstrip("\n").split(SEPARATOR)
            if len(parts) != 4:
                sys.exit("%s:%d: expected file%soriginal%smutated%swhy"
                         % (EQUIVALENTS, number, SEPARATOR, SEPARATOR, SEPARATOR))
            table[(parts[0].strip(), normal(parts[1]), normal(parts[2]))] = parts[3].strip()
    return table


def equivalent_line(m):
    return SEPARATOR.join([m["file"], m["original"].strip(), m["mutated"].strip(), "WHY"])


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", help="only product files matching this pattern (glob or part of the path)")
    parser.add_argument("--jobs", type=int, default=1, help="mutants built and tested at once (default 1)")
    parser.add_argument("--list", action="store_true", help="print the mutants without running them")
    parser.add_argument("--resume", action="store_true", help="keep results already in the results file")
    parser.add_argument("--report", help="write the full report to this file too")
    parser.add_argument("--scratch", default=os.path.join(REPO, "build", "mutate"),
                        help="scratch folder (default build/mutate)")
    parser.add_argument("--timeout", type=float, default=0,
                        help="seconds per test binary run (default: five times its unchanged run, at least 15)")
    parser.add_argument("--head", action="store_true",
                        help="take the sources from the last commit instead of the working tree")
    args = parser.parse_args()

    log_lock = threading.Lock()

    def log(text):
        with log_lock:
            print(text, flush=True)

    if args.head:
        take_snapshot(args.scratch)
    slots = [Slot(args.scratch, i) for i in range(max(1, args.jobs))]
    if not slots[0].configure(log):
        log("the unchanged sources do not configure")
        return 2
    files = matching(slots[0].product_files(), args.files)
    if not files:
        sys.exit("no product file matches %r" % args.files)
    mutants = []
    for rel in files:
        mutants += file_mutants(os.path.join(SOURCE, rel), rel)

    if args.list:
        for m in mutants:
            print(describe(m))
        print("%d mutants in %d files" % (len(mutants), len(files)))
        return 0

    os.makedirs(args.scratch, exist_ok=True)
    results_path = os.path.join(args.scratch, "results.jsonl")
    results = {}
    if args.resume and os.path.exists(results_path):
        with open(results_path, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    r = json.loads(line)
                    results[r["key"]] = r
    elif os.path.exists(results_path):
        os.remove(results_path)

    started = time.monotonic()
    log("preparing %d build folder(s) under %s" % (len(slots), args.scratch))
    for slot in slots:
        if not (slot.configure(log) and slot.build_all(log)):
            log("the unchanged sources do not build")
            return 2
    programs = slots[0].find_test_programs()
    if not programs:
        log("the build has no host test program")
        return 2
    for slot in slots:
        slot.programs = programs
    verdict, binary, times = slots[0].run_tests({})
    if verdict != "passed":
        log("the unchanged sources fail %s: fix that before a mutation run" % binary)
        return 2
    # Five times the unchanged run leaves room for a loaded machine; a mutant
    # that needs more has made something loop or wait for ever.
    timeout = {b: args.timeout or max(15.0, 5 * t) for b, t in times.items()}
    log("unchanged tests pass: %s" % ", ".join(
        "%s %.1f s (timeout %.0f s)" % (b, times[b], timeout[b]) for b in programs))

    todo = [m for m in mutants if mutant_key(m) not in results
            or results[mutant_key(m)]["status"] == "stale"]
    log("%d mutants, %d already done, %d to run" % (len(mutants), len(mutants) - len(todo), len(todo)))
    free = queue.Queue()
    for slot in slots:
        free.put(slot)
    results_file = open(results_path, "a", encoding="utf-8")
    done = [0]

    def work(m):
        if STOPPING.is_set():
            raise Stopped()
        slot = free.get()
        try:
            r = slot.try_mutant(m, timeout)
        finally:
            free.put(slot)
        r["key"] = mutant_key(m)
        with log_lock:
            results[r["key"]] = r
            results_file.write(json.dumps(r) + "\n")
            results_file.flush()
            done[0] += 1
            print("[%d/%d] %-10s %s:%d %s -> %s  %s" % (
                done[0], len(todo), r["status"], m["file"], m["line"], m["op"],
                m["mutated"].strip()[:60], r.get("detail", "")), flush=True)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(slots)) as pool:
            for future in [pool.submit(work, m) for m in todo]:
                try:
                    future.result()
                except Stopped:
                    pass
    finally:
        results_file.close()
    if STOPPING.is_set():
        log("stopped; --resume continues where this run ended")
        return 3

    return summarise(mutants, results, args.report, time.monotonic() - started)


def summarise(mutants, results, report_path, seconds):
    equivalents = read_equivalents()
    killed, survived, not_viable, timeouts, missing = [], [], [], [], []
    for m in mutants:
        r = results.get(mutant_key(m))
        if r is None or r["status"] == "stale":
            missing.append(m)
        elif r["status"] == "killed":
            killed.append(m)
            if r.get("detail", "").startswith("timeout"):
                timeouts.append(m)
        elif r["status"] == "survived":
            survived.append(m)
        else:
            not_viable.append((m, r.get("detail", "")))
    explained = [(m, equivalents[(m["file"], normal(m["original"]), normal(m["mutated"]))])
                 for m in survived
                 if (m["file"], normal(m["original"]), normal(m["mutated"])) in equivalents]
    unexplained = [m for m in survived
                   if (m["file"], normal(m["original"]), normal(m["mutated"])) not in equivalents]
    viable = len(killed) + len(survived)
    out = []
    out.append("Mutation run over %d mutants (%.0f s this run)" % (len(mutants), seconds))
    out.append("score: %d killed / %d viable = %.1f %%  (%d by timeout); %d not viable; %d not run"
               % (len(killed), viable, 100.0 * len(killed) / viable if viable else 0.0,
                  len(timeouts), len(not_viable), len(missing)))
    out.append("survivors explained as equivalent: %d; unexplained survivors: %d"
               % (len(explained), len(unexplained)))
    if timeouts:
        out.append("\nKilled by timeout:")
        out += ["  " + describe(m) for m in timeouts]
    if not_viable:
        out.append("\nNot viable (does not build):")
        out += ["  " + describe(m) for m, _ in not_viable]
    if explained:
        out.append("\nSurvivors explained in scripts/mutate-equivalent.txt:")
        out += ["  %s\n    why: %s" % (describe(m), why) for m, why in explained]
    if unexplained:
        out.append("\nUNEXPLAINED SURVIVORS (a test must notice them, or explain them):")
        out += ["  " + describe(m) for m in unexplained]
        out.append("\nLines for scripts/mutate-equivalent.txt, once the reason is written:")
        out += ["  " + equivalent_line(m) for m in unexplained]
    if missing:
        out.append("\nNot run yet (use --resume to continue): %d" % len(missing))
    text = "\n".join(out)
    print(text)
    if report_path:
        with open(report_path, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    return 1 if unexplained or missing else 0


if __name__ == "__main__":
    sys.exit(main())
