"""Text taken from a trace, made safe to show: a terminal must not take a
path or a serial for its own control sequences, nor a page for a new line."""
import re

# Control characters, line and paragraph separators, the marks that turn
# the direction of text, and halves of surrogate pairs (no character alone).
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def escaped(match):
    code = ord(match.group())
    return "\\x%02X" % code if code < 0x100 else "\\u%04X" % code


def shown(text):
    """The text with every unsafe character written as \\xNN (\\uNNNN above 0xFF)."""
    return UNSAFE.sub(escaped, text)
