#!/usr/bin/python3
"""Every relative link of the documentation resolves.

    check_links.py REPO          checks README.md, CHANGELOG.md, docs/*.md and tests/README.md
    check_links.py --self-test   checks the checker on documents made for it

A relative link, [text](path), ![picture](path) or [name]: path, must name a file or folder
of the repository, relative to the document that holds it; a link with #anchor into a
Markdown document (or #anchor alone, into its own) must name one of that document's headings
by GitHub's rule. Links with a scheme (https:, mailto:) and links inside code are not
followed. Prints each broken link as FILE:LINE: TARGET: WHY and exits with 1 when there is
one, 0 otherwise.
"""

import re
import sys
import tempfile
import unicodedata
from pathlib import Path

DOCUMENTS = ["README.md", "CHANGELOG.md", "docs/*.md", "tests/README.md"]

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
# [text](target) or [text](target "title"); the text may hold one level of brackets.
LINK_TEXT = r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]"
LINK_TARGET = r"\(\s*(<[^>]*>|[^\s)]+)(?:\s+\"[^\"]*\")?\s*\)"
INLINE = re.compile(LINK_TEXT + LINK_TARGET)
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(<[^>]*>|\S+)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(text):
    """(line number, line) of the lines outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if match:
            mark = match.group(1)
            if fence is None:
                fence = mark
            elif mark[0] == fence[0] and len(mark) >= len(fence):
                fence = None
            continue
        if fence is None:
            yield number, line


def slug(heading):
    """GitHub's anchor of a heading: its text as shown, lower case, without punctuation but
    hyphens and underscores, spaces made hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = text.replace("`", "").lower()
    kept = []
    for ch in text:
        kind = unicodedata.category(ch)
        if ch in " -" or kind[0] in "LMN" or kind == "Pc":
            kept.append(ch)
    return "".join(kept).replace(" ", "-")


def anchors(path):
    """The anchors of a Markdown document's headings, repeated ones numbered as GitHub does."""
    seen, found = {}, set()
    for _, line in prose_lines(path.read_text(encoding="utf-8")):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def links(text):
    """(line number, target) of every link outside code."""
    for number, line in prose_lines(text):
        match = REFERENCE.match(line)
        if match:
            yield number, match.group(1)
            continue
        for match in INLINE.finditer(CODE_SPAN.sub("", line)):
            yield number, match.group(1)


def broken(document, repo):
    """(line number, target, why) of the document's links that do not resolve."""
    for number, target in links(document.read_text(encoding="utf-8")):
        bare = target.strip("<>")
        if SCHEME.match(bare):
            continue
        path_part, _, anchor = bare.partition("#")
        place = (document.parent / path_part if path_part else document).resolve()
        if place != repo and repo not in place.parents:
            yield number, target, "outside the repository"
        elif not place.exists():
            yield number, target, "no such file"
        elif anchor and place.suffix == ".md" and anchor not in anchors(place):
            yield number, target, f"no heading with anchor #{anchor} in {place.name}"


def check(repo):
    repo = repo.resolve()
    documents = sorted({path for pattern in DOCUMENTS for path in repo.glob(pattern)})
    faults = 0
    for document in documents:
        for number, target, why in broken(document, repo):
            print(f"{document.relative_to(repo)}:{number}: {target}: {why}")
            faults += 1
    print(f"{len(documents)} documents, {faults} broken links")
    return 1 if faults else 0


SAMPLE = """# Sample `doc`

A [good](docs/other.md), a [folder](docs/), a [picture](docs/p.png "title"), an
[anchor](docs/other.md#a-call-fn_xa-b--c), a [second](docs/other.md#twice-1), a
[local one](#sample-doc), an [outside](https://example.org/x.md) and `[code](gone.md)`.

```sh
[in a block](gone.md)
```

[ref]: docs/other.md#twice
"""

OTHER = """# A call: fn_x(a, b) — c

## Twice
## Twice
"""

BROKEN = {
    "[gone](missing.md)": "no such file",
    "[bad anchor](docs/other.md#nowhere)": "no heading with anchor #nowhere",
    "[own anchor](#nowhere)": "no heading with anchor #nowhere",
    "[up](../../outside.md)": "outside the repository",
    "[ref]: docs/nothing.md": "no such file",
}


def self_test():
    """The checker passes the sample and catches each kind of broken link."""
    with tempfile.TemporaryDirectory() as folder:
        repo = Path(folder).resolve()
        (repo / "docs").mkdir()
        (repo / "docs" / "other.md").write_text(OTHER, encoding="utf-8")
        (repo / "docs" / "p.png").write_bytes(b"")
        readme = repo / "README.md"
        readme.write_text(SAMPLE, encoding="utf-8")
        found = list(broken(readme, repo))
        assert found == [], found
        assert check(repo) == 0
        for link, why in BROKEN.items():
            readme.write_text(SAMPLE + "\n" + link + "\n", encoding="utf-8")
            found = list(broken(readme, repo))
            assert len(found) == 1 and found[0][2].startswith(why), (link, found)
            assert check(repo) == 1
    print("the checker catches every kind of broken link")
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(check(Path(sys.argv[1])))
