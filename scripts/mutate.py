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
from dataclasses import asdict, dataclass, field

from mutants import DELETED, describe, file_mutants, mutant_key, normal

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(REPO, "scripts", "mutate-equivalent.txt")

SEPARATOR = " ||| "

# What is mutated, and what must notice it, come from the build itself: the
# sources its product library compiles and the programs its host tests run.
PRODUCT_TARGET = "sorvik_product"
HOST_TESTS = ["-L", "host", "-LE", "e2e|release|fuzz"]


@dataclass
class Outcome:
    """What became of one mutant; a line of the results file."""
    status: str       # killed, survived, not viable, stale
    detail: str = ""  # the test program that noticed, or why it did not build
    seconds: float = 0.0
    key: str = ""     # mutant_key of its mutant


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

def take_snapshot(scratch):
    """Extracts the last commit into scratch/head and gives that folder."""
    folder = os.path.join(scratch, "head")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    archive = subprocess.run(["git", "-C", REPO, "archive", "--format=tar", "HEAD"],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", folder], input=archive, check=True)
    return folder


def source_files(source):
    """The files of source, relative to it: the working tree's tracked and
    untracked ones, or every file of a snapshot."""
    if source == REPO:
        out = subprocess.run(["git", "-C", REPO, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
        names = out.decode().split("\0")
    else:
        names = [os.path.relpath(os.path.join(root, n), source)
                 for root, _, files in os.walk(source) for n in files]
    return sorted({p for p in names if p and os.path.isfile(os.path.join(source, p))})


def same_content(a, b):
    if not os.path.exists(b) or os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def sync_sources(source, src):
    """Copies source's files into src, touching only those that differ."""
    files = source_files(source)
    wanted = set(files)
    for rel in files:
        origin, copy = os.path.join(source, rel), os.path.join(src, rel)
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

class Stopped(Exception):
    pass


@dataclass
class Children:
    """The run's child processes, each the leader of its own group, and
    whether the run has been told to stop."""
    running: set = field(default_factory=set)
    stopping: threading.Event = field(default_factory=threading.Event)

    def run(self, cmd, cwd, timeout=None):
        """(return code or None on timeout, seconds, output tail)."""
        if self.stopping.is_set():
            raise Stopped()
        start = time.monotonic()
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.running.add(proc)
        try:
            output, _ = proc.communicate(timeout=timeout)
            code = proc.returncode
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, _ = proc.communicate()
            code = None
        finally:
            self.running.discard(proc)
        if self.stopping.is_set():
            raise Stopped()
        return code, time.monotonic() - start, output.decode(errors="replace")[-4000:]

    def stop(self, signum=None, frame=None):
        """Ends the children at once; each worker then puts its file back."""
        self.stopping.set()
        for proc in list(self.running):
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


class Console:
    """Lines printed whole, from any worker thread."""

    def __init__(self):
        self.lock = threading.Lock()

    def __call__(self, text):
        with self.lock:
            print(text, flush=True)


class Slot:
    """One copy of the sources with its own build folder."""

    def __init__(self, root, index, source, children):
        self.src = os.path.join(root, "slot%d" % index, "src")
        self.build = os.path.join(root, "slot%d" % index, "build")
        self.source = source      # where the sources are copied from
        self.children = children
        self.programs = []        # the test programs, relative to the build folder

    def configure(self, log):
        os.makedirs(self.src, exist_ok=True)
        sync_sources(self.source, self.src)
        # -O1: the tests run five times faster than at -O0 (2.6 s against
        # 12.9 s), which outweighs the slower compile of the one changed file.
        # The bounds check stops a test at an index past its array, which a
        # plain build would read or write unnoticed; it costs little.
        code, _, out = self.children.run(
            ["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
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
        code, seconds, out = self.children.run(["ninja", "-C", self.build, "-j2"], REPO)
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
            code, times[binary], _ = self.children.run(
                [os.path.join(self.build, binary), "--gtest_fail_fast", "--gtest_brief=1"],
                self.build, timeouts.get(binary))
            if code is None:
                return "timeout", binary, times
            if code != 0:
                return "failed", binary, times
        return "passed", None, times

    def try_mutant(self, m, timeout):
        path = os.path.join(self.src, m.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        if lines[m.line - 1] != m.original:
            return Outcome("stale", "line changed since listing")
        lines[m.line - 1] = "" if m.mutated == DELETED else m.mutated
        start = time.monotonic()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            code, _, out = self.children.run(["ninja", "-C", self.build, "-j1"] + self.programs, REPO)
            if code != 0:
                error = next((l for l in out.splitlines() if "error" in l), out.splitlines()[-1:])
                return Outcome("not viable", str(error)[:200], round(time.monotonic() - start, 1))
            verdict, binary, _ = self.run_tests(timeout)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        status = {"passed": "survived", "failed": "killed", "timeout": "killed"}[verdict]
        detail = "timeout in %s" % binary if verdict == "timeout" else (binary or "")
        return Outcome(status, detail, round(time.monotonic() - start, 1))


# ---------------------------------------------------------------- equivalents

class Unusable(Exception):
    """The unchanged sources cannot be the ground of a run (exit status 2)."""


class BadInput(Exception):
    """The command or the equivalents file asks for what cannot be (exit status 1)."""


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
                raise BadInput("%s:%d: expected file%soriginal%smutated%swhy"
                               % (EQUIVALENTS, number, SEPARATOR, SEPARATOR, SEPARATOR))
            table[(parts[0].strip(), normal(parts[1]), normal(parts[2]))] = parts[3].strip()
    return table


def equivalence(m):
    """How the equivalents file names a mutant."""
    return (m.file, normal(m.original), normal(m.mutated))


def equivalent_line(m):
    return SEPARATOR.join([m.file, m.original.strip(), m.mutated.strip(), "WHY"])


# ---------------------------------------------------------------- prepare

def parse_args(argv):
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
    return parser.parse_args(argv)


@dataclass
class Plan:
    """What a run works on, from its first build."""
    slots: list       # one Slot per job
    files: list       # the product files mutated, relative to the sources
    mutants: list     # every Mutant of those files
    todo: list = field(default_factory=list)      # the Mutants still to run
    results: dict = field(default_factory=dict)   # mutant_key: Outcome, this run's and resumed ones
    timeouts: dict = field(default_factory=dict)  # test program: seconds


def plan_mutants(args, children, log):
    """Configures the first slot, and lists the mutants of the product files that match."""
    source = take_snapshot(args.scratch) if args.head else REPO
    slots = [Slot(args.scratch, i, source, children) for i in range(max(1, args.jobs))]
    if not slots[0].configure(log):
        raise Unusable("the unchanged sources do not configure")
    files = matching(slots[0].product_files(), args.files)
    if not files:
        raise BadInput("no product file matches %r" % args.files)
    mutants = []
    for rel in files:
        mutants += file_mutants(os.path.join(source, rel), rel)
    return Plan(slots, files, mutants)


def results_path(args):
    return os.path.join(args.scratch, "results.jsonl")


def read_results(args):
    """The results kept from an earlier run with --resume; otherwise that file is removed."""
    path = results_path(args)
    results = {}
    if args.resume and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    outcome = Outcome(**json.loads(line))
                    results[outcome.key] = outcome
    elif os.path.exists(path):
        os.remove(path)
    return results


def build_unchanged(plan, args, log):
    """Builds every slot, finds the test programs and runs them once on the
    unchanged sources, which gives each its timeout."""
    log("preparing %d build folder(s) under %s" % (len(plan.slots), args.scratch))
    for slot in plan.slots:
        if not (slot.configure(log) and slot.build_all(log)):
            raise Unusable("the unchanged sources do not build")
    programs = plan.slots[0].find_test_programs()
    if not programs:
        raise Unusable("the build has no host test program")
    for slot in plan.slots:
        slot.programs = programs
    verdict, binary, times = plan.slots[0].run_tests({})
    if verdict != "passed":
        raise Unusable("the unchanged sources fail %s: fix that before a mutation run" % binary)
    # Five times the unchanged run leaves room for a loaded machine; a mutant
    # that needs more has made something loop or wait for ever.
    plan.timeouts = {b: args.timeout or max(15.0, 5 * t) for b, t in times.items()}
    log("unchanged tests pass: %s" % ", ".join(
        "%s %.1f s (timeout %.0f s)" % (b, times[b], plan.timeouts[b]) for b in programs))


def prepare(args, plan, log):
    """Reads or clears earlier results, builds the unchanged sources and picks the mutants to run."""
    os.makedirs(args.scratch, exist_ok=True)
    plan.results = read_results(args)
    build_unchanged(plan, args, log)
    plan.todo = [m for m in plan.mutants if mutant_key(m) not in plan.results
                 or plan.results[mutant_key(m)].status == "stale"]
    log("%d mutants, %d already done, %d to run"
        % (len(plan.mutants), len(plan.mutants) - len(plan.todo), len(plan.todo)))


# ---------------------------------------------------------------- run

def run_mutants(plan, args, children, log):
    """Tries every mutant still to run, a slot each at a time; each outcome goes
    into the results file as it comes. False when the run was stopped."""
    free = queue.Queue()
    for slot in plan.slots:
        free.put(slot)
    done = [0]

    def work(m, results_file):
        if children.stopping.is_set():
            raise Stopped()
        slot = free.get()
        try:
            outcome = slot.try_mutant(m, plan.timeouts)
        finally:
            free.put(slot)
        outcome.key = mutant_key(m)
        with log.lock:
            plan.results[outcome.key] = outcome
            results_file.write(json.dumps(asdict(outcome)) + "\n")
            results_file.flush()
            done[0] += 1
            print("[%d/%d] %-10s %s:%d %s -> %s  %s" % (
                done[0], len(plan.todo), outcome.status, m.file, m.line, m.op,
                m.mutated.strip()[:60], outcome.detail), flush=True)

    signal.signal(signal.SIGTERM, children.stop)
    signal.signal(signal.SIGINT, children.stop)
    with open(results_path(args), "a", encoding="utf-8") as results_file, \
            concurrent.futures.ThreadPoolExecutor(max_workers=len(plan.slots)) as pool:
        for future in [pool.submit(work, m, results_file) for m in plan.todo]:
            try:
                future.result()
            except Stopped:
                pass
    return not children.stopping.is_set()


# ---------------------------------------------------------------- summarise

@dataclass
class Tally:
    """The mutants by what became of them."""
    killed: list = field(default_factory=list)
    survived: list = field(default_factory=list)
    not_viable: list = field(default_factory=list)  # (Mutant, why)
    timeouts: list = field(default_factory=list)    # killed by a timeout
    missing: list = field(default_factory=list)     # not run, or stale


def tally(mutants, results):
    t = Tally()
    for m in mutants:
        r = results.get(mutant_key(m))
        if r is None or r.status == "stale":
            t.missing.append(m)
        elif r.status == "killed":
            t.killed.append(m)
            if r.detail.startswith("timeout"):
                t.timeouts.append(m)
        elif r.status == "survived":
            t.survived.append(m)
        else:
            t.not_viable.append((m, r.detail))
    return t


def report_lines(mutants, t, equivalents, seconds):
    explained = [(m, equivalents[equivalence(m)]) for m in t.survived if equivalence(m) in equivalents]
    unexplained = [m for m in t.survived if equivalence(m) not in equivalents]
    viable = len(t.killed) + len(t.survived)
    out = []
    out.append("Mutation run over %d mutants (%.0f s this run)" % (len(mutants), seconds))
    out.append("score: %d killed / %d viable = %.1f %%  (%d by timeout); %d not viable; %d not run"
               % (len(t.killed), viable, 100.0 * len(t.killed) / viable if viable else 0.0,
                  len(t.timeouts), len(t.not_viable), len(t.missing)))
    out.append("survivors explained as equivalent: %d; unexplained survivors: %d"
               % (len(explained), len(unexplained)))
    if t.timeouts:
        out.append("\nKilled by timeout:")
        out += ["  " + describe(m) for m in t.timeouts]
    if t.not_viable:
        out.append("\nNot viable (does not build):")
        out += ["  " + describe(m) for m, _ in t.not_viable]
    if explained:
        out.append("\nSurvivors explained in scripts/mutate-equivalent.txt:")
        out += ["  %s\n    why: %s" % (describe(m), why) for m, why in explained]
    if unexplained:
        out.append("\nUNEXPLAINED SURVIVORS (a test must notice them, or explain them):")
        out += ["  " + describe(m) for m in unexplained]
        out.append("\nLines for scripts/mutate-equivalent.txt, once the reason is written:")
        out += ["  " + equivalent_line(m) for m in unexplained]
    if t.missing:
        out.append("\nNot run yet (use --resume to continue): %d" % len(t.missing))
    return out, bool(unexplained)


def summarise(mutants, results, report_path, seconds):
    """Prints the report (and writes it to report_path); 1 while a survivor is
    unexplained or a mutant not run, else 0."""
    t = tally(mutants, results)
    out, unexplained = report_lines(mutants, t, read_equivalents(), seconds)
    text = "\n".join(out)
    print(text)
    if report_path:
        with open(report_path, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    return 1 if unexplained or t.missing else 0


# ---------------------------------------------------------------- main

def main(argv):
    args = parse_args(argv)
    log = Console()
    children = Children()
    try:
        plan = plan_mutants(args, children, log)
        if args.list:
            for m in plan.mutants:
                print(describe(m))
            print("%d mutants in %d files" % (len(plan.mutants), len(plan.files)))
            return 0
        started = time.monotonic()
        prepare(args, plan, log)
        if not run_mutants(plan, args, children, log):
            log("stopped; --resume continues where this run ended")
            return 3
        return summarise(plan.mutants, plan.results, args.report, time.monotonic() - started)
    except Unusable as problem:
        log(str(problem))
        return 2
    except BadInput as problem:
        print(problem, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
