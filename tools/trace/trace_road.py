"""The update's road through a trace: the bridge's opening, the modes, each
image's erase and program runs, and one sentence on where and why it ended."""
from trace_facts import BOXES, FATAL_CODES, FATAL_WORDS, REGIONS, SERIAL
from trace_frames import MODES, pair, program_piece

FLASH = ("an unknown kind", 0, 1 << 24)  # a region not known: the whole of what a frame can address
# The box of a failed library call, by the call.
BRIDGE_BOXES = {"write": BOXES["send_failed"], "check": BOXES["queue_failed"], "read": BOXES["read_failed"]}
# The box of a frame that failed, and the fatal stop that follows it, by the frame's kind.
FATAL = {"mode": (BOXES["mode_failed"], FATAL_WORDS[FATAL_CODES["mode"]]),
         "speed": (BOXES["speed_failed"], FATAL_WORDS[FATAL_CODES["speed"]]),
         "write_enable": (BOXES["write_enable_failed"], FATAL_WORDS[FATAL_CODES["erase"]]),
         "erase": (BOXES["sector_erase_failed"], FATAL_WORDS[FATAL_CODES["erase"]]),
         "status": (BOXES["sector_erase_failed"], FATAL_WORDS[FATAL_CODES["erase"]]),
         "program": (BOXES["flash_write_failed"], FATAL_WORDS[FATAL_CODES["image"]])}
NOT_CONNECTED = BOXES["not_connected"]
ERASE_GIVE_UP_US = 10 * 1000 * 1000


def answered(f):
    return ("answered " if f.reply and not f.library_failure else "got ") + f.outcome()


class Image:
    """One image's erase and program runs."""
    __slots__ = ("number", "first_sector", "sectors", "pieces")

    def __init__(self, number):
        self.number = number  # 0: the main image; 1 to 4: the parts 2 to 5
        self.first_sector = None
        self.sectors = []     # [(sector, erase frame, the status read that found it idle or None)]
        self.pieces = {}      # {offset from the region's base: data} acknowledged within the region

    @property
    def region(self):
        return REGIONS.get(self.first_sector, FLASH)

    @property
    def kind(self):
        return self.region[0]

    @property
    def base(self):
        return self.region[1]

    @property
    def name(self):
        if self.number == 0:
            return "the %s image" % self.kind if self.first_sector is not None else "the main image"
        return "part %d (%s)" % (self.number + 1, self.kind)

    def acknowledge(self, address, data):
        """A piece the unit acknowledged; one outside the image's region is no part of it."""
        _, base, size = self.region
        if base <= address and address + len(data) <= base + size:
            self.pieces[address - base] = data

    def acknowledged(self):
        """How many bytes of the region the unit acknowledged."""
        return sum(len(data) for data in self.pieces.values())

    def extent(self):
        """How far from the region's base the acknowledged pieces reach."""
        return max((offset + len(data) for offset, data in self.pieces.items()), default=0)

    def first_difference(self, payload):
        """The offset of the first byte where what was acknowledged differs
        from the payload (a byte between pieces counts as erased, 0xFF), or
        None when they are the same."""
        pos, end = 0, len(payload)
        for offset, data in sorted(self.pieces.items()):
            if offset + len(data) <= pos or pos >= end:
                continue
            if offset > pos:
                gap = payload[pos:min(offset, end)]
                if gap.count(0xFF) != len(gap):
                    return pos + next(i for i, b in enumerate(gap) if b != 0xFF)
                pos = offset
                if pos >= end:
                    break
            piece = data[pos - offset:pos - offset + end - pos]
            if piece != payload[pos:pos + len(piece)]:
                return pos + next(i for i, (a, b) in enumerate(zip(piece, payload[pos:])) if a != b)
            pos = offset + len(data)
        extent = self.extent()
        return None if extent == end else min(extent, end)


class Road:
    def __init__(self, trace):
        self.trace = trace
        self.frames = pair(trace.calls, (trace.end or {}).get("dropped", 0))
        self.images = []
        self.boxes = []        # the boxes the program showed, as far as the trace tells
        self.serials = []      # every serial string read
        self.verdict = self.follow()

    # --- opening the bridge ---------------------------------------------------

    def opening(self):
        """None when the bridge was opened, else the sentence of why not."""
        maker = self.trace.maker
        if maker.get("error"):
            what = "was not found" if maker["error"] == "not found" else "could not be used: %s" % maker["error"]
            if maker["error"].startswith("is the trace library itself"):
                what = "%s (ours was copied twice, or the copy and the rename were swapped)" % maker["error"]
            self.boxes.append(NOT_CONNECTED)
            return "the maker's library %s (looked for %s); every call failed, so the program said " \
                   "\"%s\"" % (what, maker.get("path", "?"), NOT_CONNECTED)
        matched = None
        for call in self.trace.calls:
            op, st = call.get("op"), call.get("st")
            if op == "write":
                break
            if op == "count" and st:
                self.boxes.append(NOT_CONNECTED)
                return "counting the bridges failed (status %s), so the program found none " \
                       "(the box \"%s\")" % (st, NOT_CONNECTED)
            if op == "string" and call.get("kind") == 0:
                if st:
                    self.boxes.append(BOXES["serial_string"])
                    continue
                text = bytes.fromhex(call.get("str", ""))
                self.serials.append(text.decode("latin-1"))
                if text == SERIAL and matched is None:
                    matched = call.get("index")
            if op in ("string", "open", "flush") and st and (op != "string" or call.get("kind") == 2):
                self.boxes.append(BOXES["open_failed"])
                return "the bridge with serial %s was found, but its %s call failed with status %s, so the " \
                       "update did not start (the box \"%s\"; most often another program holds the bridge)" % (
                           SERIAL.decode(), {"string": "second string"}.get(op, op), st, BOXES["open_failed"])
            if op == "flush" and not st:
                return None
        if matched is None:
            self.boxes.append(NOT_CONNECTED)
            seen = ", ".join(self.serials) if self.serials else "none attached"
            return "no bridge with serial %s (serials seen: %s)" % (SERIAL.decode(), seen)
        return "the bridge with serial %s was found but the trace ends before it was opened and flushed" % (
            SERIAL.decode())

    # --- the frames -----------------------------------------------------------

    def follow(self):
        why = self.opening()
        if why:
            return why
        if not self.frames:
            return "the bridge was opened but no command was sent (%s)" % (
                self.trace.how_it_ends() or "the program was ended before the update went on")
        image, previous = None, None
        frames = self.frames
        for i, f in enumerate(frames):
            failure = f.library_failure
            if failure:
                self.boxes.append(BRIDGE_BOXES[failure[0]])
            if f.kind in ("write_enable", "erase", "status", "program"):
                if image is None or previous.kind not in ("write_enable", "erase", "status", "program"):
                    image = Image(len(self.images))
                    self.images.append(image)
            if f.kind == "erase" and image.first_sector is None:
                image.first_sector = f.bytes[4]
            ended = self.step(f, frames[i + 1] if i + 1 < len(frames) else None, image)
            if ended:
                return ended
            previous = f
        return self.ending(image)

    def at(self, f, image):
        if f.kind in ("mode", "speed"):
            return "at %s" % f.name
        if f.kind == "program":
            return "at 0x%06X of %s" % (program_piece(f)[0], image.name)
        done = [s for s, _, _ in image.sectors]
        sector = f.bytes[4] if f.kind == "erase" else (done[-1] + 1 if done and f.kind == "write_enable"
                                                       else done[-1] if done else None)
        if sector is None:
            return "at the first sector of %s" % image.name
        return "at sector %d of %s" % (sector, image.name)

    def fatal(self, f, image, why):
        box, stop = FATAL[f.kind]
        self.boxes += [box, " "]
        return "stopped %s: %s (the box \"%s\", then the fatal stop \"%s\")" % (self.at(f, image), why, box, stop)

    def step(self, f, following, image):
        """The sentence of the end when this frame ended the update, else None."""
        if f.kind == "erase":
            image.sectors.append((f.bytes[4], f, None))
        if f.kind == "status" and image.sectors and not f.busy and f.reply:
            sector, erase, idle = image.sectors[-1]
            if idle is None:
                image.sectors[-1] = (sector, erase, f)
        if f.kind == "program" and f.accepted:
            image.acknowledge(*program_piece(f))
        if f.lost:
            return None  # what the unit answered is not known: the trace lost it
        if following is None and f.cut_short:
            return None  # the trace ends before the program judged this frame
        if f.accepted or f.kind in ("ready", "status"):
            if f.kind == "status" and following is None and f.busy:
                return self.gave_up(f, image)
            return None
        if f.kind in ("mode", "speed", "program"):
            if following is not None and following.bytes == f.bytes and not self.retried(f):
                return None  # sent once more
            if following is None and not self.retried(f):
                return None  # the trace ends before the resend
            first = self.frames[f.index - 1] if self.retried(f) else f
            return self.fatal(f, image, "%s, then %s on the resend" % (first.outcome(), f.outcome()))
        if f.kind in ("write_enable", "erase"):
            return self.fatal(f, image, "%s %s" % (f.name.split(" of ")[0], answered(f)))
        return "stopped at %s: the unit's controller does not know this frame" % f.name

    def retried(self, f):
        """Whether this frame is itself the resend of the one before it."""
        return f.index > 0 and self.frames[f.index - 1].bytes == f.bytes and not self.frames[f.index - 1].accepted

    def gave_up(self, f, image):
        if not image.sectors:
            return None
        sector, erase, _ = image.sectors[-1]
        if f.t - erase.t >= ERASE_GIVE_UP_US:
            return self.fatal(f, image, "the flash was still busy over 10 s after the erase began")
        return None

    def ending(self, image):
        last = self.frames[-1]
        closed = any(c.get("op") == "close" and c.get("t", 0) > last.t for c in self.trace.calls)
        modes = [f.bytes[2] for f in self.frames[-2:] if f.kind == "mode"]
        if modes == [0xD6, 0xDC] and last.accepted and closed:
            self.boxes.append("FLASH update ok ")
            return "the update went through"
        if closed and last.kind == "mode" and last.bytes[2] == 0xD8:
            where = "before %s" % ("the main image" if not self.images else "part %d" % (len(self.images) + 1))
            self.boxes += ["(the image file's box)", " "]
            return "stopped %s: after mode Reset no erase followed and the bridge was closed, so the image file " \
                   "was refused (missing, unreadable, too large or of no known kind: the box \"Input file ... " \
                   "not found\" or its like, or \"Wrong ID\" on its output), then the fatal stop \"%s\"" % (
                       where, FATAL_WORDS[FATAL_CODES["image"]])
        ends = self.trace.how_it_ends() or "the program was ended while the update ran"
        return "the update did not finish: the trace ends after %s, %s; %s" % (
            last.name, last.outcome(), ends)

    # --- summaries ------------------------------------------------------------

    def image_check(self, files):
        """[(ok, sentence)]: each image file against what its image write delivered."""
        out = []
        for image, (name, data) in zip(self.images, files):
            payload = data[4:]
            if data[:4].decode("latin-1") != image.kind:
                out.append((False, "%s is of kind %s, but %s went to the unit there" % (
                    name, data[:4].decode("latin-1"), image.name)))
                continue
            at = image.first_difference(payload)
            if at is None:
                out.append((True, "%s reached the unit byte for byte (%d bytes at 0x%06X)" % (
                    name, len(payload), image.base)))
                continue
            out.append((False, "%s did not reach the unit whole: first difference at 0x%06X (%d of %d bytes "
                               "acknowledged)" % (name, image.base + at, image.acknowledged(), len(payload))))
        for name, _ in files[len(self.images):]:
            out.append((False, "%s was never written" % name))
        return out

    def mode_names(self):
        return [MODES[f.bytes[2]] for f in self.frames if f.kind == "mode"]
