#!/usr/bin/env python3
"""Mutation run over the product code: one line changed at a time.

Each change (a "mutant") is built into the host test binaries and the tests
are run against it. A change the tests notice is killed; one they do not
notice survives, and is either explained in scripts/mutate-equivalent.txt
(it cannot be observed) or shows a gap in the tests.

The working tree is never touched: the sources are copied into a scratch
folder (default build/mutate), built there with their own Ninja build, and
each mutant is written only into that copy.

    python3 scripts/mutate.py [--files PATTERN] [--jobs N] [--list]
                              [--resume] [--report FILE] [--scratch DIR]

Exit status: 0 when every survivor is explained, 1 when one is not, 2 when
the unchanged sources do not build or do not pass their own tests.
"""

import argparse
import concurrent.futures
import fnmatch
import hashlib
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(REPO, "scripts", "mutate-equivalent.txt")

# The sources of the sorvik_product library that the host build compiles.
PRODUCT_PATTERNS = ["app/status_display.cpp", "app/texts.cpp", "app/app_state.cpp",
                    "device/*.cpp", "flash/*.cpp", "update/*.cpp"]
TEST_BINARIES = ["tests/unit_tests", "tests/start_tests", "threads/thread_tests"]
TEST_TARGETS = ["unit_tests", "start_tests", "thread_tests"]
DELETED = "(line deleted)"
SEPARATOR = " ||| "

CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
NOT_CALLS = {"if", "while", "for", "switch", "return", "sizeof", "do", "else", "case",
             "throw", "delete", "new", "catch", "alignof", "decltype"}


# ---------------------------------------------------------------- lexing

class Token:
    __slots__ = ("kind", "text", "start", "end")

    def __init__(self, kind, text, start):
        self.kind, self.text, self.start, self.end = kind, text, start, start + len(text)


TOKEN_RE = re.compile(r"""
    (?P<string>(?:L|u8|u|U)?"(?:[^"\\]|\\.)*")
  | (?P<char>(?:L|u8|u|U)?'(?:[^'\\]|\\.)*')
  | (?P<number>\.?\d(?:[\w']|[eEpP][+-]|\.)*)
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<op><<=|>>=|<=>|->\*|<<|>>|<=|>=|==|!=|->|&&|\|\||::|\+\+|--|[-+*/%&|^!~=<>?:;,.(){}\[\]#])
  | (?P<space>\s+)
""", re.VERBOSE)


def split_code(line, in_comment):
    """Returns the code part of a line as (text with comments blanked, in_comment after)."""
    out = []
    i = 0
    n = len(line)
    while i < n:
        if in_comment:
            end = line.find("*/", i)
            if end < 0:
                out.append(" " * (n - i))
                return "".join(out), True
            out.append(" " * (end + 2 - i))
            i = end + 2
            in_comment = False
            continue
        m = TOKEN_RE.match(line, i)
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if line.startswith("/*", i):
            in_comment = True
            continue
        if m and (m.group("string") or m.group("char")):
            out.append(m.group(0))
            i = m.end()
            continue
        out.append(line[i])
        i += 1
    return "".join(out), in_comment


def tokenize(code):
    tokens = []
    i = 0
    while i < len(code):
        m = TOKEN_RE.match(code, i)
        if not m:
            i += 1
            continue
        if m.lastgroup != "space":
            tokens.append(Token(m.lastgroup, m.group(0), i))
        i = m.end()
    return tokens


def template_brackets(tokens):
    """Indexes of < and > that open or close a cast's template argument."""
    marked = set()
    for i, tok in enumerate(tokens):
        if tok.kind == "ident" and tok.text in CASTS and i + 1 < len(tokens) \
                and tokens[i + 1].text == "<":
            depth = 0
            for j in range(i + 1, len(tokens)):
                if tokens[j].text == "<":
                    depth += 1
                    marked.add(j)
                elif tokens[j].text == ">":
                    depth -= 1
                    marked.add(j)
                    if depth == 0:
                        break
                elif tokens[j].text == ">>":
                    break
    return marked


# ---------------------------------------------------------------- operators

def replace(line, tok, text):
    return line[:tok.start] + text + line[tok.end:]


def parse_integer(text):
    m = re.fullmatch(r"(0[xX])([0-9a-fA-F]+)([uUlL]*)|(\d+)([uUlL]*)", text.replace("'", ""))
    if not m:
        return None
    if m.group(1):
        return int(m.group(2), 16), m.group(1), m.group(2), m.group(3)
    digits = m.group(4)
    if len(digits) > 1 and digits.startswith("0"):
        return None  # octal: none in this code
    return int(digits), "", digits, m.group(5)


def format_integer(value, prefix, digits, suffix):
    if prefix:
        upper = digits.upper() == digits
        text = format(value, "0%d%s" % (len(digits), "X" if upper else "x"))
        return prefix + text + suffix
    return str(value) + suffix


def changed_literal_char(body):
    """The literal's body with one character changed: its first letter or digit
    (not a conversion or escape), else its first character."""
    i = 0
    while i < len(body):
        c = body[i]
        if c == "\\":
            i += 2
            continue
        if c == "%":
            m = re.match(r"%[-+ #0-9.]*[a-zA-Z%]", body[i:])
            i += len(m.group(0)) if m else 1
            continue
        if c.isalpha():
            return body[:i] + c.swapcase() + body[i + 1:]
        if c.isdigit():
            return body[:i] + str((int(c) + 1) % 10) + body[i + 1:]
        i += 1
    if body and body[0] != "\\":
        return ("_" if body[0] != "_" else "-") + body[1:]
    return "_" + body


def line_mutations(line, code, starts_statement=True):
    """(operator, mutated line) pairs for one line; code is the line with comments blanked.
    starts_statement is false on a line that continues the statement above."""
    if code.lstrip().startswith("#"):
        return []
    tokens = tokenize(code)
    templates = template_brackets(tokens)
    found = []
    for i, tok in enumerate(tokens):
        prev = tokens[i - 1] if i else None
        if tok.kind == "op" and i not in templates:
            swaps = {"==": ["!="], "!=": ["=="], "<": ["<=", ">"], "<=": ["<"],
                     ">": [">=", "<"], ">=": [">"]}.get(tok.text, [])
            for s in swaps:
                found.append(("comparison", replace(line, tok, s)))
        elif tok.kind == "ident" and tok.text in ("TRUE", "FALSE", "true", "false"):
            other = {"TRUE": "FALSE", "FALSE": "TRUE", "true": "false", "false": "true"}[tok.text]
            found.append(("boolean", replace(line, tok, other)))
        elif tok.kind == "number":
            parsed = parse_integer(tok.text)
            if parsed is None:
                continue
            value, prefix, digits, suffix = parsed
            if prev is not None and prev.text == "return" and value in (0, 1):
                found.append(("boolean", replace(line, tok, str(1 - value))))
                continue
            found.append(("constant", replace(line, tok, format_integer(value + 1, prefix, digits, suffix))))
            if value != 0:
                found.append(("constant", replace(line, tok, format_integer(0, prefix, digits, suffix))))
        elif tok.kind == "string":
            quote = tok.text.index('"')
            head, body = tok.text[:quote + 1], tok.text[quote + 1:-1]
            found.append(("text", replace(line, tok, head + changed_literal_char(body) + '"')))
            if body.endswith(" "):
                found.append(("text", replace(line, tok, head + body[:-1] + '"')))
            else:
                found.append(("text", replace(line, tok, head + body + ' "')))
    if starts_statement and is_single_call(tokens):
        found.append(("deleted call", DELETED))
    unique, seen = [], set()
    for op, mutated in found:
        if mutated != line and mutated not in seen:
            seen.add(mutated)
            unique.append((op, mutated))
    return unique


def is_single_call(tokens):
    """A statement that is one call: name(.name|->name|::name)* ( ... ) ;"""
    if len(tokens) < 4 or tokens[-1].text != ";" or tokens[-2].text != ")":
        return False
    if tokens[0].kind != "ident" or tokens[0].text in NOT_CALLS:
        return False
    i = 1
    while i + 1 < len(tokens) and tokens[i].text in (".", "->", "::") and tokens[i + 1].kind == "ident":
        i += 2
    if tokens[i].text != "(":
        return False
    depth = 0
    for j in range(i, len(tokens) - 1):
        if tokens[j].text == "(":
            depth += 1
        elif tokens[j].text == ")":
            depth -= 1
            if depth == 0 and j != len(tokens) - 2:
                return False
    return depth == 0


def file_mutants(path, rel):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    mutants = []
    in_comment = False
    windows_only = []  # per open #if: whether its current branch is the Windows build's alone
    previous_end = ";"  # last character of the code line before
    for number, line in enumerate(lines, 1):
        code, in_comment = split_code(line, in_comment)
        directive = code.strip()
        if re.match(r"#\s*if", directive):
            windows_only.append(bool(re.match(r"#\s*(ifdef\s+_WIN32|if\s+defined\s*\(?\s*_WIN32)\b", directive)))
            if re.match(r"#\s*ifndef\s+_WIN32\b", directive):
                windows_only[-1] = None  # host branch first, Windows branch after #else
        elif re.match(r"#\s*else", directive) and windows_only:
            windows_only[-1] = {True: False, None: True, False: False}[windows_only[-1]]
        elif re.match(r"#\s*endif", directive) and windows_only:
            windows_only.pop()
        # The host build never compiles the Windows branch: its changes could not be seen.
        if any(w is True for w in windows_only):
            continue
        starts = previous_end in ";{}:" or directive.startswith("#")
        if directive and not directive.startswith("#"):
            previous_end = directive[-1]
        for op, mutated in line_mutations(line, code, starts):
            mutants.append({"file": rel, "line": number, "op": op,
                            "original": line, "mutated": mutated})
    return mutants


def mutant_key(m):
    return "%s:%d:%s" % (m["file"], m["line"], m["mutated"])


def normal(text):
    return " ".join(text.split())


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


def product_files(pattern):
    chosen = []
    for rel in source_files():
        if any(fnmatch.fnmatch(rel, p) for p in PRODUCT_PATTERNS) and "/" in rel \
                and rel.count("/") == 1:
            if pattern is None or fnmatch.fnmatch(rel, pattern) or pattern in rel:
                chosen.append(rel)
    return chosen


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

    def prepare(self, log):
        os.makedirs(self.src, exist_ok=True)
        sync_sources(self.src)
        # -O1: the tests run five times faster than at -O0 (2.6 s against
        # 12.9 s), which outweighs the slower compile of the one changed file.
        # The bounds check stops a test at an index past its array, which a
        # plain build would read or write unnoticed; it costs little.
        code, _, out = run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release",
                            "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -fsanitize=bounds -fno-sanitize-recover=all",
                            "-DCMAKE_CXX_COMPILER=g++", "-DSORVIK_BENCH=OFF"], REPO)
        if code != 0:
            log(out)
            return False
        code, seconds, out = run(["ninja", "-C", self.build, "-j2"] + TEST_TARGETS, REPO)
        if code != 0:
            log(out)
            return False
        log("  build of %s: %.1f s" % (self.src, seconds))
        return True

    def run_tests(self, timeouts):
        """('passed'|'failed'|'timeout', which binary, {binary: seconds})."""
        times = {}
        for binary in TEST_BINARIES:
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
            code, _, out = run(["ninja", "-C", self.build, "-j1"] + TEST_TARGETS, REPO)
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

def describe(m):
    return "%s:%d [%s]\n    - %s\n    + %s" % (m["file"], m["line"], m["op"],
                                               m["original"].strip(), m["mutated"].strip())


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

    if args.head:
        take_snapshot(args.scratch)
    files = product_files(args.files)
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

    log_lock = threading.Lock()

    def log(text):
        with log_lock:
            print(text, flush=True)

    started = time.monotonic()
    slots = [Slot(args.scratch, i) for i in range(max(1, args.jobs))]
    log("preparing %d build folder(s) under %s" % (len(slots), args.scratch))
    for slot in slots:
        if not slot.prepare(log):
            log("the unchanged sources do not build")
            return 2
    verdict, binary, times = slots[0].run_tests({})
    if verdict != "passed":
        log("the unchanged sources fail %s: fix that before a mutation run" % binary)
        return 2
    # Five times the unchanged run leaves room for a loaded machine; a mutant
    # that needs more has made something loop or wait for ever.
    timeout = {b: args.timeout or max(15.0, 5 * t) for b, t in times.items()}
    log("unchanged tests pass: %s" % ", ".join(
        "%s %.1f s (timeout %.0f s)" % (b, times[b], timeout[b]) for b in TEST_BINARIES))

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
