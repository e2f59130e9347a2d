"""What the checks of a Windows build share: the bridge library's ordinals,
the file read with pefile, and the list of what failed."""
import sys
from dataclasses import dataclass, field

# The eight operations of the bridge library, by the ordinals the program
# imports and the trace library exports.
BRIDGE_ORDINALS = (1, 2, 3, 4, 6, 7, 9, 12)


def load(path):
    """The PE file at path; exits with a clear line when it cannot be read."""
    try:
        import pefile
    except ImportError:
        sys.exit("%s: no pefile module (Debian's python3-pefile, which scripts/setup.sh installs)" % sys.executable)
    try:
        return pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        sys.exit("%s: not a readable Windows file: %s" % (path, error))


def parse_version(text):
    """"6.1" -> (6, 1)."""
    major, minor = text.split(".")
    return int(major), int(minor)


@dataclass
class Findings:
    check: str
    failed: list = field(default_factory=list)

    def fail(self, what):
        self.failed.append(what)
        print("%s: %s" % (self.check, what), file=sys.stderr)

    def exit_code(self, passed_line):
        if self.failed:
            return 1
        print("%s: %s" % (self.check, passed_line))
        return 0
