#!/usr/bin/env python3
"""Round-trips the XML files this machine's Debian packages installed.

Each file is loaded and saved by Vexa with the default settings (the
roundtrip_file program next to the interoperability test), and Python's
ElementTree, an independent reader, judges whether the copy still says what
the original said: the same tree of tags, attributes (in order), text and
tails, with white-space runs collapsed and ends trimmed (Vexa condenses white
space by default) and blank text ignored. A second, stricter count also
compares the comments and processing instructions inside the root element.
With --keep-white-space the files are loaded with condensing off and every
text is compared exactly, blank text included: nothing trimmed, nothing
normalised.

This is a check for people, not a test: what it finds depends on what the
machine has installed, so CI does not run it.

    make test        # builds build-test/tests/interop/roundtrip_file
    tests/interop/corpus_check.py [--keep-white-space] [--out files.tsv] [--examples 5]

Files are those dpkg lists under /usr (or every file under --root): the
usual XML suffixes, and any other file whose text starts with '<'. Identical
contents count once. Two groups are reported apart, since Vexa is not meant
to keep them: files whose DTD declares entities (Vexa does not expand them)
and files that declare no encoding yet hold non-ASCII bytes.
"""

import argparse
import collections
import glob
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SUFFIXES = {
    ".xml", ".svg", ".xsd", ".xsl", ".xslt", ".pom", ".policy", ".ui", ".rng", ".glade", ".xhtml", ".rss",
    ".atom", ".kml", ".gpx", ".plist", ".xbel", ".xul", ".wsdl", ".mml", ".gir", ".its", ".loc", ".page",
    ".docbook", ".dbk", ".fo", ".xlf", ".xliff", ".qrc", ".xspf", ".opml", ".xmi", ".jnlp", ".tld",
    ".xconf",
}
MAX_SIZE = 64 << 20
HEAD = 512
TIMEOUT = 120
CATEGORIES = ["equal", "different", "malformed", "rejected", "crashed"]
CATEGORY_TITLES = {
    "equal": "copies equal",
    "different": "copies different",
    "malformed": "copies no longer well-formed",
    "rejected": "originals Vexa rejects",
    "crashed": "Vexa crashed or hung",
}
GROUPS = ["scope", "entities", "undeclared"]
GROUP_TITLES = {
    "scope": "in scope",
    "entities": "DTD declares entities",
    "undeclared": "no declared encoding, non-ASCII",
}

SPACE = re.compile(r"[ \t\r\n]+")
DECLARED_ENCODING = re.compile(rb"\A[ \t\r\n]*<\?xml[ \t\r\n][^>]*?encoding[ \t\r\n]*=[ \t\r\n]*[\"']([^\"']*)")
INTERNAL_SUBSET = re.compile(rb"<!DOCTYPE[^\[>]*\[(.*?)\][ \t\r\n]*>", re.DOTALL)
NON_ASCII = re.compile(rb"[\x80-\xff]")
MARKUP_START = re.compile(rb"\A[ \t\r\n]*<(?:\?xml[ \t\r\n]|!--|!DOCTYPE|[A-Za-z_:])")


def installed_files(root):
    """(path, package) for every regular file dpkg installed under root."""
    seen = set()
    for listing in sorted(glob.glob("/var/lib/dpkg/info/*.list")):
        package = os.path.basename(listing)[: -len(".list")].split(":")[0]
        with open(listing, encoding="utf-8", errors="surrogateescape") as f:
            for line in f:
                path = line.rstrip("\n")
                if not path.startswith(root + "/") or path in seen:
                    continue
                seen.add(path)
                yield path, package


def walked_files(root):
    for directory, _, names in os.walk(root):
        for name in names:
            yield os.path.join(directory, name), "-"


def as_utf8_if_utf16(data):
    """UTF-16 text with a byte order mark as UTF-8; other bytes unchanged."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return data[2:].decode("utf-16-le" if data[:2] == b"\xff\xfe" else "utf-16-be", "replace").encode()
    return data


def looks_like_xml(path, head):
    if os.path.splitext(path)[1].lower() in SUFFIXES:
        return True
    text = as_utf8_if_utf16(head)
    if text.startswith(b"\xef\xbb\xbf"):
        text = text[3:]
    return MARKUP_START.match(text) is not None


def candidates(args):
    """(path, package, bytes), one per distinct content."""
    files = walked_files(args.root) if args.walk else installed_files(args.root)
    hashes = set()
    for path, package in files:
        try:
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            size = os.path.getsize(path)
            if size == 0 or size > MAX_SIZE:
                continue
            with open(path, "rb") as f:
                head = f.read(HEAD)
                if not looks_like_xml(path, head):
                    continue
                data = head + f.read()
        except OSError:
            continue
        digest = hashlib.sha256(data).digest()
        if digest in hashes:
            continue
        hashes.add(digest)
        yield path, package, data


def group_of(data):
    """Which group a file belongs to: entities, undeclared or scope."""
    text = as_utf8_if_utf16(data)
    subset = INTERNAL_SUBSET.search(text[: 4 << 20])
    if subset and b"<!ENTITY" in subset.group(1):
        return "entities"
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or data.startswith(b"\xef\xbb\xbf"):
        return "scope"
    if DECLARED_ENCODING.match(data) is None and NON_ASCII.search(data):
        return "undeclared"
    return "scope"


def read_tree(source):
    """The root element, comments and processing instructions included."""
    parser = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True, insert_pis=True))
    return ET.parse(source, parser).getroot()


def flatten(root, misc, exact=False):
    """What a reader sees, as a list of events; each event carries the path
    of its element. Text is collapsed, or with exact taken as it is, blank
    text included; with misc False, comments and processing instructions are
    left out and the text around them joined."""
    events = []
    pending = []
    path = []

    def flush():
        text = "".join(pending) if exact else SPACE.sub(" ", "".join(pending)).strip()
        if text:
            events.append(("/".join(path), "text", text))
        pending.clear()

    def walk(node):
        if node.tag is ET.Comment or node.tag is ET.ProcessingInstruction:
            if misc:
                flush()
                kind = "comment" if node.tag is ET.Comment else "pi"
                events.append(("/".join(path), kind, node.text or ""))
            pending.append(node.tail or "")
            return
        flush()
        path.append(node.tag.rsplit("}", 1)[-1])  # the path shows local names; the event keeps the tag
        events.append(("/".join(path), "element", (node.tag, list(node.attrib.items()))))
        pending.append(node.text or "")
        for child in node:
            walk(child)
        flush()
        events.append(("/".join(path), "end", None))
        path.pop()
        pending.append(node.tail or "")

    walk(root)
    flush()
    return events


def clip(value, limit=100):
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def contrast(a, b, context=30, limit=70):
    """a and b as reprs, cut around the first place where they differ."""
    if not isinstance(a, str) or not isinstance(b, str):
        return clip(a), clip(b)
    start = 0
    while start < min(len(a), len(b)) and a[start] == b[start]:
        start += 1
    start = max(0, start - context)

    def cut(s):
        return ("..." if start else "") + clip(s[start:start + limit], limit + 20)

    return cut(a), cut(b)


def first_difference(before, after):
    for a, b in zip(before, after):
        if a == b:
            continue
        if a[1] == "element" and b[1] == "element" and a[2][0] == b[2][0]:
            for (name, value), other in zip(a[2][1], b[2][1]):
                if (name, value) != other:
                    if name == other[0]:
                        return "at /%s: attribute %s=%s, copy has %s" % ((a[0], name) + contrast(value, other[1]))
                    return "at /%s: attribute %s=%s, copy has %s=%s" % (a[0], name, clip(value), other[0],
                                                                       clip(other[1]))
            return "at /%s: attributes %s, copy has %s" % (a[0], clip(a[2][1]), clip(b[2][1]))
        if a[1] == b[1] and a[0] == b[0]:
            return "at /%s: %s %s, copy has %s" % ((a[0], a[1]) + contrast(a[2], b[2]))
        return "at /%s: %s %s, copy has /%s: %s %s" % (a[0], a[1], clip(a[2]), b[0], b[1], clip(b[2]))
    if len(before) != len(after):
        longer, which = (before, "original") if len(before) > len(after) else (after, "copy")
        extra = longer[min(len(before), len(after))]
        return "only the %s has /%s: %s %s" % (which, extra[0], extra[1], clip(extra[2]))
    return ""


def check(roundtrip, path, original, copy, keep):
    """(category, detail, misc_equal) for one file ElementTree accepted as
    the tree original; with keep, saved with white space kept and compared
    exactly."""
    command = [roundtrip] + (["--keep-white-space"] if keep else []) + [path, copy]
    try:
        run = subprocess.run(command, capture_output=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return "crashed", "no answer after %d s" % TIMEOUT, False
    message = run.stderr.decode("utf-8", "replace").strip().splitlines()
    if run.returncode == 1:
        return "rejected", message[-1] if message else "", False
    if run.returncode != 0:
        return "crashed", "exit status %d %s" % (run.returncode, message[-1] if message else ""), False
    try:
        copied = read_tree(copy)
    except ET.ParseError as error:
        return "malformed", str(error), False
    difference = first_difference(flatten(original, False, keep), flatten(copied, False, keep))
    if difference:
        return "different", difference, False
    return "equal", "", flatten(original, True, keep) == flatten(copied, True, keep)


def varied(found, n):
    """Up to n of found, from as many packages as there are."""
    first = {}
    for item in found:
        first.setdefault(item[1], item)
    shown = list(first.values())[:n]
    return shown + [item for item in found if item not in shown][: n - len(shown)]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    repo = os.path.dirname(os.path.dirname(here))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--roundtrip", default=os.path.join(repo, "build-test", "tests", "interop", "roundtrip_file"),
                        help="the roundtrip_file program (default: %(default)s)")
    parser.add_argument("--root", default="/usr", help="where to look (default: %(default)s)")
    parser.add_argument("--walk", action="store_true",
                        help="every file under --root, not only those dpkg installed")
    parser.add_argument("--examples", type=int, default=5, help="example paths per category (default: %(default)s)")
    parser.add_argument("--keep-white-space", action="store_true",
                        help="load with white space kept (condensing off) and compare every text exactly, "
                             "blank text included")
    parser.add_argument("--out", help="write one line per accepted file: group, category, package, path, detail")
    args = parser.parse_args()
    sys.setrecursionlimit(20000)  # flatten walks the tree recursively
    args.root = args.root.rstrip("/") or "/"
    if not os.access(args.roundtrip, os.X_OK):
        sys.exit("corpus_check: %s is missing; run 'make test' or name it with --roundtrip" % args.roundtrip)

    tried = 0
    refused = 0
    counts = {group: collections.Counter() for group in GROUPS}
    misc_equal = collections.Counter()
    examples = {group: collections.defaultdict(list) for group in GROUPS}
    packages = collections.Counter()
    out = open(args.out, "w", encoding="utf-8") if args.out else None
    with tempfile.TemporaryDirectory(prefix="vexa_corpus_") as scratch:
        copy = os.path.join(scratch, "copy.xml")
        for path, package, data in candidates(args):
            tried += 1
            if tried % 250 == 0:
                print("... %d files" % tried, file=sys.stderr, flush=True)
            try:
                original = read_tree(path)
            except (ET.ParseError, ValueError, LookupError):
                refused += 1
                continue
            group = group_of(data)
            category, detail, strict = check(args.roundtrip, path, original, copy, args.keep_white_space)
            counts[group][category] += 1
            misc_equal[group] += strict
            if category != "equal" and group == "scope":
                packages[package] += 1
            if category != "equal":
                examples[group][category].append((path, package, detail))
            if out:
                print("\t".join([group, category, package, path, detail]), file=out)
    if out:
        out.close()

    accepted = sum(sum(c.values()) for c in counts.values())
    print("files tried:             %6d  (distinct contents)" % tried)
    print("rejected by ElementTree: %6d" % refused)
    print("accepted by ElementTree: %6d" % accepted)
    print()
    header = "%-34s %6s %7s %6s %10s %9s %9s %8s" % ("", "files", "equal", "", "different", "malformed", "rejected",
                                                    "crashed")
    print(header)
    total = collections.Counter()
    for c in counts.values():
        total.update(c)
    rows = [(GROUP_TITLES[g], counts[g]) for g in GROUPS] + [("all accepted", total)]
    for title, c in rows:
        n = sum(c.values())
        share = "%5.1f%%" % (100.0 * c["equal"] / n) if n else "    -"
        print("%-34s %6d %7d %6s %10d %9d %9d %8d" % (title, n, c["equal"], share, c["different"], c["malformed"],
                                                      c["rejected"], c["crashed"]))
    print()
    print("equal also in comments and processing instructions (inside the root): %d of %d in scope"
          % (misc_equal["scope"], counts["scope"]["equal"]))
    if packages:
        print("packages with the most files not kept (in scope): " +
              ", ".join("%s %d" % item for item in packages.most_common(12)))
    for group in GROUPS:
        for category in CATEGORIES[1:]:
            shown = varied(examples[group][category], args.examples)
            if not shown:
                continue
            print()
            print("%s, %s:" % (CATEGORY_TITLES[category], GROUP_TITLES[group]))
            for path, package, detail in shown:
                print("  %s (%s)" % (path, package))
                print("    %s" % detail)


if __name__ == "__main__":
    main()
