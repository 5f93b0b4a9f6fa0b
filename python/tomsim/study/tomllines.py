"""Where each key of a TOML text stands: tomllib gives values but no lines,
and an error that names the line lets the user go straight to it."""

import re

_HEADER = re.compile(r"^\s*(\[\[?)\s*([^\]]+?)\s*(\]\]?)\s*(#.*)?$")
_KEY = re.compile(r"""^\s*((?:[A-Za-z0-9_-]+|"[^"]*"|'[^']*')(?:\s*\.\s*(?:[A-Za-z0-9_-]+|"[^"]*"|'[^']*'))*)\s*=""")
_PART = re.compile(r"""\s*([A-Za-z0-9_-]+|"[^"]*"|'[^']*')\s*(?:\.|$)""")


def _split_key(text):
    parts = []
    for m in _PART.finditer(text):
        part = m.group(1)
        if part[:1] in "\"'":
            part = part[1:-1]
        parts.append(part)
    return parts


def _bracket_change(line):
    """The change of bracket depth over a line, outside strings and comments,
    and whether a multi-line string opens and stays open on it."""
    depth = 0
    i = 0
    while i < len(line):
        c = line[i]
        if c == "#":
            break
        if line.startswith('"""', i) or line.startswith("'''", i):
            quote = line[i:i + 3]
            end = line.find(quote, i + 3)
            if end < 0:
                return depth, quote
            i = end + 3
            continue
        if c in "\"'":
            end = i + 1
            while end < len(line) and line[end] != c:
                end += 2 if (c == '"' and line[end] == "\\") else 1
            i = end + 1
            continue
        if c in "[{":
            depth += 1
        elif c in "]}":
            depth -= 1
        i += 1
    return depth, None


def key_lines(text):
    """Maps key paths to 1-based line numbers. A path is a tuple of keys, with
    the index of an array-of-tables entry in its place: ("reconstruction", 1,
    "filter"). Keys inside inline tables and multi-line arrays take the line of
    the key that holds them."""
    lines = {}
    table = ()
    counts = {}
    depth = 0
    open_string = None
    for number, line in enumerate(text.splitlines(), start=1):
        if open_string:
            if open_string in line:
                rest = line[line.index(open_string) + 3:]
                open_string = None
                change, open_string = _bracket_change(rest)
                depth += change
            continue
        if depth > 0:
            change, open_string = _bracket_change(line)
            depth += change
            continue
        header = _HEADER.match(line)
        if header and not _KEY.match(line):
            path = tuple(_split_key(header.group(2)))
            if header.group(1) == "[[":
                index = counts.get(path, 0)
                counts[path] = index + 1
                # Deeper tables resolve their parents' last array entries.
                table = _resolve(path, counts) + (index,)
            else:
                table = _resolve(path, counts)
            lines.setdefault(table, number)
            continue
        key = _KEY.match(line)
        if key:
            path = table + tuple(_split_key(key.group(1)))
            lines.setdefault(path, number)
            change, open_string = _bracket_change(line[key.end():])
            depth = max(0, change)
    return lines


def _resolve(path, counts):
    resolved = ()
    for i, part in enumerate(path):
        resolved += (part,)
        prefix = path[:i + 1]
        if prefix in counts and i + 1 < len(path):
            resolved += (counts[prefix] - 1,)
    return resolved


def line_of(lines, path):
    """The line of a key path, or of its nearest enclosing key or table."""
    path = tuple(path)
    while path:
        if path in lines:
            return lines[path]
        path = path[:-1]
    return None
