#!/usr/bin/env python3
"""Writes the add-on list of the catalogue: the "addon" rows of the "addons"
group in resources/catalogue.xml, between its <items type="addons"> line and
the closing </items>. Everything else in the file is kept byte for byte.

The list has 813 rows: 659 with "ie" (an Internet Explorer CLSID, stored in
upper case) and 154 with "ff" (a Firefox extension id, stored in lower case),
none with both, 770 distinct ids as stored. The first 15 rows are Firefox
extensions, then a long run of Internet Explorer rows, then a mixed run, and
at the end a few toolbars each listed with an "ie" and an "ff" row. The ff ids
are braced GUIDs (84 rows), mail-style ids (67) or neither (3); 19 ie ids are
not well-formed braced GUIDs and are kept as written. The names and ids are
invented in the shape of the real list, apart from the rows the engine's
tests name. The output is the same on every run.

    python3 resources/addons_gen.py [catalogue.xml]
"""

import random
import re
import sys

SEED = 20100611
CRLF = "\r\n"
INDENT = "        "

GUID = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")
MAIL = re.compile(r"^[^@\s]+@[^@\s]+$")

rng = random.Random(SEED)


def guid(upper=True):
    v = rng.getrandbits(128)
    h = f"{v:032x}"
    g = "{" + f"{h[0:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:32]}" + "}"
    return g.upper() if upper else g


def guid_with_letters(upper=True):
    # An id without letters would read the same in both cases.
    while True:
        g = guid(upper)
        if any(c.isalpha() for c in g):
            return g


IE_FIRST = ["Search", "Web", "Net", "Shop", "Deal", "Smart", "Quick", "Easy", "Super", "My",
            "Coupon", "Media", "Video", "Music", "Photo", "Secure", "Safe", "Speed", "Click",
            "Page", "Link", "Price", "Travel", "Game", "News"]
IE_SECOND = ["Bar", "Helper", "Toolbar", "Assistant", "Guard", "Finder", "Saver", "Link",
             "Companion", "Object", "BHO", "Extension", "Tracker", "Viewer", "Loader"]
FF_FIRST = ["Tab", "Fox", "Download", "Page", "Ad", "Mail", "Weather", "Note", "Gesture",
            "Session", "Cookie", "Image", "Video", "Password", "Screen", "Translate"]
FF_SECOND = ["Mix", "Helper", "Manager", "Saver", "Checker", "Tools", "Keeper", "Grabber",
             "Plus", "Zoom", "Sync", "Shot"]
DOMAINS = ["mozdev.org", "addons.net", "foxtools.com", "extensions.org", "webtools.net",
           "browserapps.com"]


def ie_name():
    name = rng.choice(IE_FIRST) + rng.choice(["", " "]) + rng.choice(IE_SECOND)
    if rng.random() < 0.3:
        name += f" {rng.randint(1, 9)}.{rng.randint(0, 9)}"
    return name


def ff_name():
    return rng.choice(FF_FIRST) + rng.choice(["", " "]) + rng.choice(FF_SECOND)


def mail_id():
    return f"{rng.choice(FF_FIRST).lower()}{rng.choice(FF_SECOND).lower()}{rng.randint(1, 999)}@{rng.choice(DOMAINS)}"


def malformed_ie(kind):
    g = guid_with_letters()
    if kind == "brace":
        return g[:-1]
    if kind == "digit":
        return g[:-1] + rng.choice("0123456789ABCDEF") + "}"
    # A letter O where a zero belongs.
    body = list(g)
    zeros = [i for i, c in enumerate(body) if c == "0"]
    if not zeros:
        body[1] = "0"
        zeros = [1]
    body[rng.choice(zeros)] = "O"
    return "".join(body)


def build_rows():
    used = set()

    def fresh(make):
        while True:
            v = make()
            key = v.upper() if v.startswith("{") else v.lower()
            if key not in used:
                used.add(key)
                return v

    # The first 15 rows: Firefox extensions.
    ff_head = [("AniWeather", "ff", "{4176DFF4-4698-11DE-BEEB-45DA55D89593}")]
    used.add("{4176DFF4-4698-11DE-BEEB-45DA55D89593}")
    for i in range(14):
        if i == 5:
            ff_head.append(("FlashGot", "ff", "{19503e42-ca3c-4c27-b1e2-9cdb2170ee34}"))
            used.add("{19503e42-ca3c-4c27-b1e2-9cdb2170ee34}".upper())
        elif i % 2:
            ff_head.append((ff_name(), "ff", fresh(mail_id)))
        else:
            ff_head.append((ff_name(), "ff", fresh(lambda: guid_with_letters(rng.random() < 0.5))))

    # Internet Explorer rows with unique ids: 600 for the long run, 54 for the
    # mixed run; among them the malformed ids and the "LZIO" family.
    lzio_twice = "{00000000-0000-0000-BFA1-D7EE6696B865}"
    used.add(lzio_twice)
    ie_unique = [("LZIO", "ie", lzio_twice),
                 ("FavoriteMan", "ie", "{00000EF1-34E3-4633-87C6-1AA7A44296DA")]
    used.add("{00000EF1-34E3-4633-87C6-1AA7A44296DA")
    for kind, count in (("brace", 6), ("digit", 6), ("zero", 6)):
        for _ in range(count):
            ie_unique.append((ie_name(), "ie", fresh(lambda: malformed_ie(kind))))
    for _ in range(10):
        ie_unique.append(("LZIO", "ie", fresh(guid_with_letters)))
    while len(ie_unique) < 614:
        ie_unique.append((ie_name(), "ie", fresh(guid_with_letters)))
    rng.shuffle(ie_unique)

    # 40 rows repeat a well-formed id, under the same name or another; one of
    # them is the second "LZIO" row of its id.
    well_formed = [r for r in ie_unique if GUID.match(r[2]) and r[2] != lzio_twice]
    repeats = [("LZIO", "ie", lzio_twice)]
    for row in rng.sample(well_formed, 39):
        repeats.append((row[0] if rng.random() < 0.5 else ie_name(), "ie", row[2]))

    ie_all = ie_unique + repeats
    # Keep the second LZIO row after the first one.
    rng.shuffle(ie_all)
    first = next(i for i, r in enumerate(ie_all) if r[2] == lzio_twice)
    second = next(i for i, r in enumerate(ie_all) if r[2] == lzio_twice and i != first)
    if second < first:
        ie_all[first], ie_all[second] = ie_all[second], ie_all[first]
    long_run, mixed_ie = ie_all[:600], ie_all[600:]

    # Firefox rows of the mixed run: braced GUIDs, mail-style ids and three of
    # neither form, plus three rows that repeat a braced id.
    braced_head = sum(1 for r in ff_head if r[2].startswith("{"))
    mail_head = len(ff_head) - braced_head
    mixed_ff = []
    for _ in range(84 - 3 - braced_head):
        mixed_ff.append((ff_name(), "ff", fresh(lambda: guid_with_letters(rng.random() < 0.3))))
    for _ in range(67 - 5 - mail_head):
        mixed_ff.append((ff_name(), "ff", fresh(mail_id)))
    for plain in ("tabmixplus", "firebug-lite", "download-statusbar"):
        used.add(plain)
        mixed_ff.append((ff_name(), "ff", plain))
    braced_so_far = [r for r in ff_head + mixed_ff if r[2].startswith("{")]
    for row in rng.sample(braced_so_far, 3):
        mixed_ff.append((row[0], "ff", row[2]))
    mixed = mixed_ie + mixed_ff
    rng.shuffle(mixed)

    # The toolbars listed for both browsers.
    toolbars = []
    for name in ("Searchwise Toolbar", "DealPilot Toolbar", "Webfinder Toolbar",
                 "Coupon Scout Toolbar", "Pricebar Toolbar"):
        toolbars.append((name, "ie", fresh(guid_with_letters)))
        slug = name.split()[0].lower()
        toolbars.append((name, "ff", fresh(lambda: f"{slug}toolbar@{rng.choice(DOMAINS)}")))

    return ff_head, long_run, mixed, toolbars


def check(rows):
    ie = [r for r in rows if r[1] == "ie"]
    ff = [r for r in rows if r[1] == "ff"]
    stored = {r[2].upper() if r[1] == "ie" else r[2].lower() for r in rows}
    assert len(rows) == 813, len(rows)
    assert len(ie) == 659 and len(ff) == 154, (len(ie), len(ff))
    assert len(stored) == 770, len(stored)
    assert all(r[1] == "ff" for r in rows[:15]) and rows[15][1] == "ie"
    assert sum(1 for r in ff if GUID.match(r[2].upper())) == 84
    assert sum(1 for r in ff if MAIL.match(r[2])) == 67
    assert sum(1 for r in ie if not GUID.match(r[2])) == 19
    assert ("AniWeather", "ff", "{4176DFF4-4698-11DE-BEEB-45DA55D89593}") in rows
    assert ("FlashGot", "ff", "{19503e42-ca3c-4c27-b1e2-9cdb2170ee34}") in rows
    assert ("FavoriteMan", "ie", "{00000EF1-34E3-4633-87C6-1AA7A44296DA") in rows
    assert rows.count(("LZIO", "ie", "{00000000-0000-0000-BFA1-D7EE6696B865}")) == 2
    assert sum(1 for r in rows if r[0] == "LZIO") > 5
    for name, _, value in rows:
        assert not any(c in name + value for c in '"<>&'), name


def render(parts):
    lines = []
    for n, part in enumerate(parts):
        if n:
            lines.append("")
        for i, (name, attr, value) in enumerate(part):
            # Blank lines here and there, as in the list this one follows.
            if i and i % 97 == 0:
                lines.append("")
            lines.append(f'{INDENT}<addon name="{name}" {attr}="{value}" />')
    return "".join(line + CRLF for line in lines)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "resources/catalogue.xml"
    parts = build_rows()
    rows = [r for part in parts for r in part]
    check(rows)
    data = open(path, "rb").read().decode("utf-8")
    opening = '      <items type="addons">' + CRLF
    closing = "      </items>"
    start = data.index(opening) + len(opening)
    end = data.index(closing, start)
    data = data[:start] + render(parts) + data[end:]
    with open(path, "wb") as f:
        f.write(data.encode("utf-8"))


if __name__ == "__main__":
    main()
