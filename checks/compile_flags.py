"""Fails unless every C and C++ object of the i686 build was compiled for SSE
arithmetic (the compiler's default there is x87, with excess precision),
read from CMake's compile_commands.json.
Usage: compile_flags.py compile_commands.json"""
import json
import shlex
import sys

NEEDED = ["-msse2", "-mfpmath=sse"]


def main(path):
    entries = [e for e in json.load(open(path)) if e["file"].endswith((".c", ".cpp"))]
    if not entries:
        print(f"compile_flags: {path} lists no C or C++ object")
        return 1
    bad = 0
    for entry in entries:
        words = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
        missing = [flag for flag in NEEDED if flag not in words]
        fpmath = [w for w in words if w.startswith("-mfpmath=")]
        if fpmath and fpmath[-1] != "-mfpmath=sse":  # a later one wins
            missing.append(f"(last is {fpmath[-1]})")
        if missing:
            print(f"compile_flags: {entry['file']}: missing {' '.join(missing)}")
            bad += 1
    print(f"compile_flags: {len(entries) - bad} of {len(entries)} objects compiled with {' '.join(NEEDED)}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
