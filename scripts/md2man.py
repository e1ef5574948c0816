#!/usr/bin/python3
"""Turns a manual page written in a small Markdown subset (docs/man/*.md) into man(7) roff.

The Markdown files are the one source: they read as documentation in docs/, and this script makes
the pages that `man` shows from them, so the two cannot drift. Only what the pages use is known:

    # name(1) -- one-line summary      title line (first line of the file)
    ## HEADING                          section
    ### Heading                         subsection
    - `TERM`: text                      tagged paragraph (the term: everything before the first
                                        ": " outside backticks, so "`A`, `B` (note): text" works)
    - text                              bullet
    (four-space indented lines)         example, shown verbatim
    blank line                          paragraph break
    `code`, **bold**, *italic*, [text](link)   inline

Usage: md2man.py SOURCE.md OUTPUT [--gzip] [--changelog FILE]
  --gzip        writes OUTPUT compressed, reproducibly
  --changelog   a Debian changelog: the header carries the version and date of its newest entry
"""

import email.utils
import gzip
import re
import sys

TITLE = re.compile(r"^# (?P<name>[\w.-]+)\((?P<section>\d)\) -- (?P<summary>.+)$")


def tagged(item):
    """Splits a list item "`TERM` ...: text" into term and text; None when it has no such term."""
    if not item.startswith("`"):
        return None
    ticks = 0
    for i, c in enumerate(item):
        if c == "`":
            ticks += 1
        elif c == ":" and ticks % 2 == 0 and item[i + 1:i + 2] == " ":
            return item[:i], item[i + 2:]
    return None


def escape(text):
    """Escapes roff's special characters in running text."""
    text = text.replace("\\", "\\e")
    return text


def inline(text):
    """Converts inline markup of one line of running text to roff font changes."""
    out = []
    pos = 0
    for m in re.finditer(r"`([^`]+)`|\*\*([^*]+)\*\*|\*([^*]+)\*|\[([^\]]+)\]\(([^)]+)\)", text):
        out.append(escape(text[pos:m.start()]))
        if m.group(1) is not None:
            out.append("\\fB" + escape(m.group(1)).replace("-", "\\-") + "\\fR")
        elif m.group(2) is not None:
            out.append("\\fB" + escape(m.group(2)) + "\\fR")
        elif m.group(3) is not None:
            out.append("\\fI" + escape(m.group(3)) + "\\fR")
        else:
            out.append(escape(m.group(4)))
        pos = m.end()
    out.append(escape(text[pos:]))
    line = "".join(out)
    # A line starting with a dot or an apostrophe would be read as a request.
    if line.startswith((".", "'")):
        line = "\\&" + line
    return line


def verbatim(line):
    line = escape(line).replace("-", "\\-")
    return "\\&" + line if line.startswith((".", "'")) else line


def release(changelog_lines):
    """The version and the date (YYYY-MM-DD) of a Debian changelog's newest entry."""
    version = date = None
    for line in changelog_lines:
        if version is None and (m := re.match(r"^\S+ \(([^)]+)\)", line)):
            version = m.group(1)
        elif version is not None and line.startswith(" -- ") and "  " in line[4:]:
            stamp = line[4:].split("  ", 1)[1].strip()
            date = email.utils.parsedate_to_datetime(stamp).strftime("%Y-%m-%d")
            break
    if version is None or date is None:
        raise SystemExit("md2man: the changelog has no complete entry")
    return version, date


def convert(source_lines, version="", date=""):
    first = source_lines[0].rstrip("\n")
    m = TITLE.match(first)
    if not m:
        raise SystemExit(f"md2man: the first line must read '# name(N) -- summary', not {first!r}")
    name, section, summary = m.group("name"), m.group("section"), m.group("summary")
    out = [
        f'.TH "{name.upper()}" "{section}" "{date}" "{("vmcontrol " + version).strip()}" "Vellumotor Control System"',
        ".SH NAME",
        f"{escape(name).replace('-', chr(92) + '-')} \\- {escape(summary)}",
    ]
    in_example = False
    paragraph_open = False
    for raw in source_lines[1:]:
        line = raw.rstrip("\n")
        if line.startswith("    ") and (in_example or not paragraph_open):
            if not in_example:
                out += [".PP", ".RS 4", ".nf"]
                in_example = True
            out.append(verbatim(line[4:]))
            continue
        if in_example:
            if not line.strip():
                continue
            out += [".fi", ".RE"]
            in_example = False
        if not line.strip():
            paragraph_open = False
            continue
        if line.startswith("## "):
            out.append(".SH " + escape(line[3:].strip()).upper())
            paragraph_open = False
        elif line.startswith("### "):
            out.append(".SS " + escape(line[4:].strip()))
            paragraph_open = False
        elif line.startswith("- ") and (t := tagged(line[2:])) is not None:
            out += [".TP", inline(t[0]), inline(t[1])]
            paragraph_open = True
        elif line.startswith("- "):
            out += [".IP \\(bu 2", inline(line[2:])]
            paragraph_open = True
        elif line.startswith("  ") and paragraph_open:
            out.append(inline(line.strip()))
        else:
            if not paragraph_open:
                out.append(".PP")
                paragraph_open = True
            out.append(inline(line))
    if in_example:
        out += [".fi", ".RE"]
    return "\n".join(out) + "\n"


def main(argv):
    args = argv[1:]
    compress = "--gzip" in args
    if compress:
        args.remove("--gzip")
    version = date = ""
    if "--changelog" in args:
        at = args.index("--changelog")
        if at + 1 >= len(args):
            raise SystemExit(__doc__)
        with open(args[at + 1], encoding="utf-8") as f:
            version, date = release(f.readlines())
        del args[at:at + 2]
    if len(args) != 2:
        raise SystemExit(__doc__)
    with open(args[0], encoding="utf-8") as f:
        text = convert(f.readlines(), version, date).encode("utf-8")
    if compress:
        # No file name and no time stamp in the header, so the output is the same on every build.
        with open(args[1], "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9,
                                                       mtime=0) as out:
            out.write(text)
    else:
        with open(args[1], "wb") as out:
            out.write(text)


if __name__ == "__main__":
    main(sys.argv)
