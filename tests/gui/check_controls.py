#!/usr/bin/env python3
# Compares the controls the running dialog reports in its test-mode log with the dialog templates of
# src/gui/win32/kestrixw.rc (its macros expanded), so a layout is changed there alone: every control
# exists on its page with its kind, group start and text (edits show settings, so their text is not
# compared; an icon's text is its icon's name), lies where its dialog units put it (+-1 pixel) and
# inside the page frame (an icon takes its image's size: only its corner is compared), shows its
# whole text and draws over no other control. The pages' copies of the frame 1010 only size their
# templates.   usage: check_controls.py KESTRIXW_RC TEST_LOG
import re, sys

KINDS = [("SS_ICON", "icon"), ("SS_BLACKFRAME", "frame"), ("SS_LEFT", "text"), ("ES_LEFT", "edit"), ("LBS_", "listbox"),
         ("BS_PUSH", "push"), ("BS_AUTOCHECK", "check"), ("BS_AUTORADIO", "radio")]
macros, expected, page = {}, [], None
for line in open(sys.argv[1]):
    d = re.match(r"#define (\w+)(?:\(([^)]*)\))? (.*)", line)
    if d:
        macros[d[1]] = ([p.strip() for p in d[2].split(",")] if d[2] else None, d[3])
        continue
    m = re.match(r"(DIALOG_1|\d+) DIALOG ", line)
    page = (-1 if m[1] == "DIALOG_1" else int(m[1]) - 1011 if int(m[1]) <= 1015 else None) if m else page
    line = line.strip()
    for _ in range(3):  # expand the template macros (CONTROL lines, then their style names)
        m = re.match(r"(\w+)(?:\((.*)\))?$", line)
        if m and m[1] in macros and macros[m[1]][0]:
            args = [a.strip() for a in re.findall(r'"[^"]*"|[^,]+', m[2])]
            line = re.sub(r"\b\w+\b", lambda w: dict(zip(macros[m[1]][0], args)).get(w[0], w[0]), macros[m[1]][1])
        elif m and m[1] in macros:
            line = macros[m[1]][1]
        line = re.sub(r"\b(NG|GS|FIRST)\b", lambda w: macros[w[0]][1], line)
    c = re.match(r'CONTROL "([^"]*)", (\d+), "\w+", ([^,]+), (\d+), (\d+), (\d+), (\d+)$', line)
    if page is not None and c and (page == -1 or c[2] != "1010"):
        kind = next(k for flag, k in KINDS if flag in c[3])
        expected.append((page, int(c[2]), kind, int("WS_GROUP" in c[3]), *map(int, c.group(4, 5, 6, 7)), c[1]))
seen, need, tabs, units, origin, dpi = {}, {}, [], None, None, 0
for line in open(sys.argv[2]):
    m = re.match(r"\d+ dialog units (\d+) (\d+) origin (-?\d+) (-?\d+) dpi (\d+)", line)
    if m:
        units, origin, dpi = (int(m[1]), int(m[2])), (int(m[3]), int(m[4])), int(m[5])
    m = re.match(r'\d+ control (\d+) (\S+) page (-?\d+) group (\d) visible \d rect (-?\d+) (-?\d+) (-?\d+) (-?\d+) '
                 r'need (\d+) (\d+) text "(.*)"$', line)
    if m:
        seen[int(m[1])] = (int(m[3]), m[2], int(m[4]), tuple(map(int, m.group(5, 6, 7, 8))), m[11])
        need[int(m[1])] = (int(m[9]), int(m[10]))
    m = re.match(r'\d+ tab (\d+) label "(.*)" need (\d+) (\d+) room (-?\d+) (-?\d+)$', line)
    if m:
        tabs.append((m[2], int(m[3]), int(m[4]), int(m[5]), int(m[6])))

def mul_div(v, num, den):  # MulDiv: rounded
    return (v * num + den // 2) // den if v >= 0 else -((-v * num + den // 2) // den)

faults = []
if not units:
    faults.append("no dialog units in the log")
frame = seen.get(1010, (0, "", 0, (0, 0, 0, 0), ""))[3]
for page, cid, kind, group, x, y, w, h, text in expected:
    if cid not in seen:
        faults.append(f"{cid}: missing")
        continue
    spage, skind, sgroup, (l, t, r, b), stext = seen[cid]
    want = (page, kind, group, text if kind not in ("edit", "icon") else stext)
    if (spage, skind, sgroup, stext) != want:
        faults.append(f"{cid}: page/kind/group/text {spage} {skind} {sgroup} {stext!r}, expected {want}")
    if units:
        el, et = origin[0] + mul_div(x, units[0], 4), origin[1] + mul_div(y, units[1], 8)
        er, eb = el + mul_div(w, units[0], 4), et + mul_div(h, units[1], 8)
        if kind == "icon":
            er, eb = r, b
        if max(abs(l - el), abs(t - et), abs(r - er), abs(b - eb)) > 1:
            faults.append(f"{cid}: at {l},{t}-{r},{b}, expected {el},{et}-{er},{eb}")
    if page >= 0 and not (frame[0] <= l and frame[1] <= t and r <= frame[2] and b <= frame[3]):
        faults.append(f"{cid}: outside the page frame {frame}")
# Every text shown whole (the DPI checks run this at several scales), and nothing drawn over
# another control of its page: a text, check box or radio button covers its text's extent, any
# other control its rectangle.
def drawn(cid):
    l, t, r, b = seen[cid][3]
    w, h = need.get(cid, (0, 0))
    return (l, t, min(r, l + w), min(b, t + h)) if seen[cid][1] in ("text", "check", "radio") else (l, t, r, b)
for cid, (w, h) in need.items():
    l, t, r, b = seen[cid][3]
    if w > r - l or h > b - t:
        faults.append(f"{cid}: {seen[cid][4]!r} needs {w}x{h} pixels, has {r - l}x{b - t}")
for label, w, h, room_w, room_h in tabs:
    if w > room_w or h > room_h:
        faults.append(f"tab {label!r} needs {w}x{h} pixels, has {room_w}x{room_h}")
if len(tabs) != 5:
    faults.append(f"{len(tabs)} tab labels in the log, not 5")
shown = sorted(c for c in seen if c != 1010)
for i, a in enumerate(shown):
    for b in shown[i + 1:]:
        if {seen[a][0], seen[b][0]} & {-1} or seen[a][0] == seen[b][0]:
            (al, at, ar, ab), (bl, bt, br, bb) = drawn(a), drawn(b)
            if al < br and bl < ar and at < bb and bt < ab:
                faults.append(f"{a} and {b} overlap: {drawn(a)} {drawn(b)}")
extra = sorted(set(seen) - {e[1] for e in expected})
if extra:
    faults.append(f"controls not in the table: {extra}")
for f in faults:
    print("  control check:", f)
print(f"controls at {dpi} dpi: {len(expected) - len({f.split(':')[0] for f in faults})} of {len(expected)} as expected")
sys.exit(1 if faults else 0)
