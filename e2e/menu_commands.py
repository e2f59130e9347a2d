"""The menu commands by the names the program gives them, read from
app/resource.h, so that a case chooses "CommandUpdateFirmware", not 110."""
import os
import re

RESOURCE_H = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "resource.h")


def read(path=RESOURCE_H):
    with open(path) as f:
        found = dict((m.group(1), int(m.group(2), 0)) for m in re.finditer(r"^#define (Command\w+) (\w+)", f.read(), re.M))
    for name in ("CommandAbout", "CommandExit", "CommandUpdateFirmware"):
        if name not in found:
            raise ValueError("%s defines no %s" % (path, name))
    return found


COMMANDS = read()
