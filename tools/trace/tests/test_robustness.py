"""The trace reader against the recorded traces, mutated at random: bits
flipped, files cut, lines duplicated, dropped and shuffled, values of the
wrong kind, control characters and markup, deep nesting, enlarged lines and
files. Every case must end with a report (exit 0 or 1, the verdict last) or
a one-line message (exit 2), never a traceback, within its time budget; the
page and the Perfetto file it writes must be whole.

    test_robustness.py [--cases N] [--seed S] [--budget SECONDS] [--keep DIR]

Prints the cases tried, the tracebacks, the other faults and the slowest
case; exit 0 when no case failed, 1 otherwise. A failed case's trace is
kept in DIR (default: a new temporary folder) under the case's number."""
import argparse
import contextlib
import io
import json
import os
import random
import shutil
import signal
import sys
import tempfile
import time
import traceback
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "testdata")
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, ".."))

import read_trace  # noqa: E402

ODD_VALUES = ["null", "true", "-1", "1.5", '"x"', "[]", "{}", "1e400", "NaN", "-Infinity", "18446744073709551616",
              "1" + "0" * 4000, '"\\ud800"', '"0x"', '"ZZ"', '"0101D6"', "0", "9223372036854775807"]
INJECTED = ["\x1b[2J\x1b[H", "\r", "\n", "\u202e", "<script>alert(1)</script>", "</pre><img src=x onerror=alert(1)>",
            "\x00", "\ud800", "\nverdict: the update went through\n", "\x85", "&amp;", "%USERPROFILE%"]
NEW_KEYS = ['"dropped":%d', '"cut":true', '"unknown":%d', '"dropped":0', '"dropped":-%d']
OPS = ["start", "end", "count", "string", "open", "close", "read", "write", "flush", "check", "nothing", ""]


class OverBudget(BaseException):
    """The case ran past its time budget."""


@dataclass
class Outcome:
    number: int
    mutations: list
    seconds: float = 0.0
    faults: list = field(default_factory=list)  # what went wrong, in words
    traceback: bool = False


def traces():
    return [os.path.join(DATA, n) for n in sorted(os.listdir(DATA)) if n.endswith(".jsonl")]


# --- mutations: each takes the lines (bytes, without line ends) and the random source -------------

def flip(lines, rng):
    blob = bytearray(b"\n".join(lines))
    for _ in range(rng.randint(1, 8)):
        if blob:
            blob[rng.randrange(len(blob))] ^= 1 << rng.randrange(8)
    return bytes(blob).split(b"\n")


def cut(lines, rng):
    blob = b"\n".join(lines)
    return blob[:rng.randrange(len(blob) + 1)].split(b"\n")


def duplicate(lines, rng):
    a = rng.randrange(len(lines))
    b = min(len(lines), a + rng.randint(1, 50))
    at = rng.randrange(len(lines) + 1)
    return lines[:at] + lines[a:b] * rng.randint(1, 5) + lines[at:]


def delete(lines, rng):
    a = rng.randrange(len(lines))
    return lines[:a] + lines[a + rng.randint(1, 30):]


def shuffle(lines, rng):
    a = rng.randrange(len(lines))
    window = lines[a:a + rng.randint(2, 40)]
    rng.shuffle(window)
    return lines[:a] + window + lines[a + len(window):]


def value_at(lines, rng):
    """(index, the record, a key path) of a random key in a random record, or None."""
    for _ in range(10):
        i = 0 if rng.random() < 0.3 else rng.randrange(len(lines))  # the start record's texts are shown most
        try:
            record = json.loads(lines[i])
        except (ValueError, RecursionError):
            continue
        if isinstance(record, dict) and record:
            path = [rng.choice(list(record))]
            inner = record[path[0]]
            if isinstance(inner, dict) and inner and rng.random() < 0.7:
                path.append(rng.choice(list(inner)))
            return i, record, path
    return None


def replaced(lines, rng, text_of):
    """The lines with one value replaced by the raw JSON text text_of(old value)."""
    found = value_at(lines, rng)
    if found is None:
        return lines
    i, record, path = found
    holder = record if len(path) == 1 else record[path[0]]
    old = holder[path[-1]]
    holder[path[-1]] = "\x01MARK\x01"
    line = json.dumps(record).replace(json.dumps("\x01MARK\x01"), text_of(old))
    return lines[:i] + [line.encode("utf-8", "surrogatepass")] + lines[i + 1:]


def retype(lines, rng):
    return replaced(lines, rng, lambda old: rng.choice(ODD_VALUES))


def inject(lines, rng):
    def text_of(old):
        text = old if isinstance(old, str) else str(old)
        at = rng.randrange(len(text) + 1)
        return json.dumps(text[:at] + rng.choice(INJECTED) + text[at:])
    return replaced(lines, rng, text_of)


def nest(lines, rng):
    depth = rng.choice([10, 1000, 100000, 200000])
    return replaced(lines, rng, lambda old: "[" * depth + "]" * depth if rng.random() < 0.5
                    else '{"a":' * depth + "1" + "}" * depth)


def enlarge(lines, rng):
    if rng.random() < 0.3:
        size = rng.choice([5000, (1 << 20) - 100, (1 << 20) + 10])
        return replaced(lines, rng, lambda old: json.dumps("A" * size))
    a = rng.randrange(len(lines))
    return lines[:a] + lines[a:a + rng.randint(1, 6)] * rng.randint(100, 3000) + lines[a:]


def new_key(lines, rng):
    i = rng.randrange(len(lines))
    if not lines[i].endswith(b"}"):
        return lines
    key = rng.choice(NEW_KEYS)
    key = key % rng.randint(1, 10 ** 6) if "%d" in key else key
    return lines[:i] + [lines[i][:-1] + b"," + key.encode() + b"}"] + lines[i + 1:]


def retype_op(lines, rng):
    return replaced(lines, rng, lambda old: json.dumps(rng.choice(OPS)))


def garbage(lines, rng):
    junk = bytes(rng.randrange(256) for _ in range(rng.randint(1, 200)))
    at = rng.randrange(len(lines) + 1)
    return lines[:at] + [junk] + lines[at:]


MUTATIONS = [flip, cut, duplicate, delete, shuffle, retype, retype, inject, inject, nest, enlarge, new_key, new_key,
             retype_op, garbage]


# --- one case ---------------------------------------------------------------------------------------

def mutated(rng, sources):
    """(the trace's bytes, the mutations' names)."""
    name = rng.choice(sources)
    with open(name, "rb") as f:
        lines = f.read().split(b"\n")
    done = [os.path.basename(name)]
    for _ in range(rng.randint(1, 3)):
        mutation = rng.choice(MUTATIONS)
        lines = mutation(lines, rng) or [b""]
        done.append(mutation.__name__)
    return b"\n".join(lines), done


def on_alarm(signum, frame):
    raise OverBudget()


def read(args, budget):
    """(exit code, output, errors, the traceback or None) of the reader's main."""
    out, err = io.StringIO(), io.StringIO()
    signal.setitimer(signal.ITIMER_REAL, budget)
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = read_trace.main(args)
        return code, out.getvalue(), err.getvalue(), None
    except OverBudget:
        return None, out.getvalue(), err.getvalue(), None
    except BaseException:  # SystemExit included: main returns its code
        return None, out.getvalue(), err.getvalue(), traceback.format_exc()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def judge(outcome, code, out, err, page, events):
    """Adds to the outcome what is wrong with the reader's answer."""
    faults = outcome.faults
    if code not in (0, 1, 2):
        return faults.append("exit code %r" % code)
    for name, text in (("output", out), ("errors", err)):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            faults.append("%s that UTF-8 cannot encode" % name)
        if any(c < " " and c != "\n" or "\x7f" <= c <= "\x9f" for c in text):
            faults.append("a control character in the %s" % name)
    if code == 2:
        if out or len(err.splitlines()) != 1 or not err.startswith("read_trace: "):
            faults.append("exit 2 without one line of message: %r" % err[:300])
        return
    lines = out.splitlines()
    if err or not lines or not lines[-1].startswith("verdict: "):
        faults.append("a report that does not end in its verdict, errors %r" % err[:300])
    if sum(1 for l in lines if l.startswith("verdict")) != 1:
        faults.append("more than one line that begins with \"verdict\"")
    with open(page, encoding="utf-8") as f:
        html = f.read()
    if not html.rstrip().endswith("</html>") or "<script" in html or "<img" in html:
        faults.append("a page that is not whole or holds markup from the trace")
    with open(events, encoding="utf-8") as f:
        try:
            json.loads(f.read(), parse_constant=lambda name: 1 / 0)
        except (ValueError, ZeroDivisionError):
            faults.append("a Perfetto file that is no strict JSON")


def run_case(number, seed, sources, folder, budget):
    rng = random.Random(seed * 1000003 + number)
    data, names = mutated(rng, sources)
    outcome = Outcome(number, names)
    trace = os.path.join(folder, "case-%d.jsonl" % number)
    page, events = os.path.join(folder, "page.html"), os.path.join(folder, "events.json")
    for stale in (page, events):
        if os.path.exists(stale):
            os.remove(stale)
    with open(trace, "wb") as f:
        f.write(data)
    args = [trace, "--html", page, "--perfetto", events] + (["--frames"] if rng.random() < 0.3 else [])
    started = time.monotonic()
    code, out, err, failure = read(args, budget)
    outcome.seconds = time.monotonic() - started
    if failure:
        outcome.traceback = True
        outcome.faults.append("a traceback: " + failure.strip().splitlines()[-1])
    elif code is None:
        outcome.faults.append("over its budget of %.0f s" % budget)
    else:
        judge(outcome, code, out, err, page, events)
    if not outcome.faults:
        os.remove(trace)
    return outcome


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cases", type=int, default=150)
    p.add_argument("--seed", type=int, default=22)
    p.add_argument("--budget", type=float, default=20.0, help="seconds a case may take")
    p.add_argument("--keep", metavar="DIR", help="where failed cases' traces are kept")
    a = p.parse_args(argv)
    folder = a.keep or tempfile.mkdtemp(prefix="trace-robustness-")
    os.makedirs(folder, exist_ok=True)
    signal.signal(signal.SIGALRM, on_alarm)
    sources = traces()
    outcomes = [run_case(n, a.seed, sources, folder, a.budget) for n in range(a.cases)]
    failed = [o for o in outcomes if o.faults]
    for o in failed:
        print("case %d (%s): %s; its trace: %s" % (o.number, ", ".join(o.mutations), "; ".join(o.faults),
                                                 os.path.join(folder, "case-%d.jsonl" % o.number)))
    slowest = max(outcomes, key=lambda o: o.seconds)
    print("cases tried: %d (seed %d); tracebacks: %d; other faults: %d; slowest: case %d (%s) in %.2f s"
          % (len(outcomes), a.seed, sum(o.traceback for o in outcomes), sum(not o.traceback for o in failed),
             slowest.number, ", ".join(slowest.mutations), slowest.seconds))
    if not failed and not a.keep:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
