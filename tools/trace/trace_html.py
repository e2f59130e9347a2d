"""One self-contained page: the verdict first, then pictures drawn as inline
SVG (no script, nothing fetched): the update's timeline by phase, the round
trip histogram and the erase time per sector."""
import base64
import hashlib
import html

import trace_timing

def esc(text):
    return html.escape(str(text), quote=True)


ROWS = {"mode": 0, "speed": 0, "ready": 0, "unknown": 0, "write_enable": 1, "erase": 1, "status": 1, "program": 2}
ROW_NAMES = ["modes, speed, ready", "erase", "program"]


def timeline(road, width=900):
    """One row per phase: mode changes, erase runs, program runs; the pauses
    are the gaps, a failed frame a black mark."""
    frames = road.frames
    if not frames:
        return "<p>No frame was sent.</p>"
    left = 130
    t0 = frames[0].t
    t1 = max(t0 + trace_timing.whole_us(frames), t0 + 1)
    scale = (width - left - 10) / float(t1 - t0)
    runs = []  # [row, start, end] of frames one after another in one row
    for f in frames:
        row, end = ROWS.get(f.kind, 0), trace_timing.frame_end(f)
        if runs and runs[-1][0] == row and f.t - runs[-1][2] < trace_timing.PAUSE_US:
            runs[-1][2] = end
        else:
            runs.append([row, f.t, end])
    parts = ['<text x="0" y="%d" font-size="12">%s</text>' % (38 + 26 * i, esc(n)) for i, n in enumerate(ROW_NAMES)]
    for row, start, end in runs:
        parts.append('<rect x="%.1f" y="%d" width="%.1f" height="18" fill="%s"><title>%s: %.1f ms</title></rect>'
                     % (left + (start - t0) * scale, 25 + 26 * row, max(1.5, (end - start) * scale),
                        ["#4e79a7", "#e15759", "#76b7b2"][row], esc(ROW_NAMES[row]), (end - start) / 1000.0))
    for gap, after in trace_timing.pauses(frames):
        x = left + (after.t - gap - t0) * scale
        parts.append('<text x="%.1f" y="102" font-size="11">pause %.1f s</text>' % (x, gap / 1e6))
    for f in frames:
        if not f.accepted and f.kind not in ("status", "ready"):
            x = left + (f.t - t0) * scale
            parts.append('<line x1="%.1f" x2="%.1f" y1="20" y2="96" stroke="#000" stroke-width="2"><title>%s'
                         '</title></line>' % (x, x, esc(f.text())))
    parts.append('<text x="%d" y="14" font-size="12">0 s</text><text x="%d" y="14" font-size="12" '
                 'text-anchor="end">%.1f s</text>' % (left, width - 10, (t1 - t0) / 1e6))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="110" role="img" aria-label="timeline">%s</svg>'
            % (width, "".join(parts)))


def histogram(frames, width=900, bins=30):
    trips = [f.round_trip_us / 1000.0 for f in frames if f.round_trip_us is not None]
    if not trips:
        return "<p>No reply came.</p>"
    low, high = min(trips), max(trips)
    step = (high - low) / bins or 1.0
    counts = [0] * bins
    for v in trips:
        counts[min(bins - 1, int((v - low) / step))] += 1
    top = max(counts)
    bar_w = (width - 60) / float(bins)
    bars = "".join('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#4e79a7"><title>%.2f-%.2f ms: %d</title>'
                   '</rect>' % (50 + i * bar_w, 160 - 140.0 * c / top, bar_w - 1, 140.0 * c / top,
                                low + i * step, low + (i + 1) * step, c) for i, c in enumerate(counts))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="190" role="img" aria-label="round trips">'
            '<text x="45" y="14" font-size="12" text-anchor="end">%d</text>%s'
            '<text x="50" y="178" font-size="12">%.2f ms</text><text x="%d" y="178" font-size="12" '
            'text-anchor="end">%.2f ms</text></svg>' % (width, top, bars, low, width - 10, high))


def erase_chart(road, width=900):
    times = trace_timing.erase_times(road)
    if not times:
        return "<p>No sector was erased.</p>"
    top = max(us for _, _, us in times) or 1
    bar_w = (width - 60) / float(len(times))
    bars = "".join('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#e15759"><title>%s, sector %d: '
                   '%.1f ms</title></rect>' % (50 + i * bar_w, 160 - 140.0 * us / top, max(1, bar_w - 2),
                                               140.0 * us / top, esc(name), sector, us / 1000.0)
                   for i, (name, sector, us) in enumerate(times))
    if bar_w >= 14:  # room for the sector numbers
        bars += "".join('<text x="%.1f" y="176" font-size="11" text-anchor="middle">%d</text>'
                        % (50 + (i + 0.5) * bar_w, sector) for i, (_, sector, _) in enumerate(times))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="185" role="img" aria-label="erase times">'
            '<text x="45" y="24" font-size="12" text-anchor="end">%.0f ms</text>%s</svg>' % (width, top / 1000.0, bars))


def page(report_lines, verdict, road):
    frames = road.frames
    body = ['<h1>SORVIK update trace</h1>', '<p class="verdict">%s</p>' % esc(verdict),
            '<h2>Timeline by phase</h2>', timeline(road), '<h2>Round trip of every frame</h2>', histogram(frames),
            '<h2>Erase time per sector</h2>', erase_chart(road),
            '<h2>Report</h2><pre>%s</pre>' % esc("\n".join(report_lines))]
    style = ("body{font-family:sans-serif;margin:1em 2em}.verdict{font-size:1.3em;font-weight:bold;padding:.5em;"
             "border:2px solid #333;background:#f4f4f4}pre{font-size:12px;white-space:pre-wrap}")
    # The page loads nothing and runs nothing; its one style block is let in by its hash.
    digest = base64.b64encode(hashlib.sha256(style.encode()).digest()).decode()
    policy = "default-src 'none'; style-src 'sha256-%s'" % digest
    return ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            '<meta http-equiv="Content-Security-Policy" content="%s">\n<title>SORVIK update trace</title>\n'
            '<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n' % (policy, style, "\n".join(body)))
