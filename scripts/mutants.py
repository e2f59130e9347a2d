"""The changes a mutation run makes to the product code, one line at a time:
comparisons, boolean results, integer constants, text literals and deleted
calls. Reads a source file and lists its mutants; builds and runs nothing
(scripts/mutate.py does that)."""

import re
from dataclasses import dataclass

DELETED = "(line deleted)"

CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
NOT_CALLS = {"if", "while", "for", "switch", "return", "sizeof", "do", "else", "case",
             "throw", "delete", "new", "catch", "alignof", "decltype"}


@dataclass(frozen=True)
class Mutant:
    """One line of a product file, changed."""
    file: str      # relative to the sources' root
    line: int      # 1 = the first line
    op: str        # what kind of change: comparison, boolean, constant, text, deleted call
    original: str  # the line as it stands
    mutated: str   # the line as changed, or DELETED


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
            mutants.append(Mutant(rel, number, op, line, mutated))
    return mutants


def mutant_key(m):
    return "%s:%d:%s" % (m.file, m.line, m.mutated)


def normal(text):
    return " ".join(text.split())


def describe(m):
    return "%s:%d [%s]\n    - %s\n    + %s" % (m.file, m.line, m.op, m.original.strip(), m.mutated.strip())
