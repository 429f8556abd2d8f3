# Puts the tables of the last `make bench` into docs/performance.md.
"""Replace the benchmark blocks of a Markdown document with the tables a run left behind:

    python performance_doc.py DOC LEVEL DIR

A block is the lines between "<!-- bench LEVEL TABLE -->" and "<!-- end -->"; the blocks of LEVEL
get DIR/TABLE.txt as an indented code block. "<!-- bench levels A B -->", where LEVEL is A or B,
gets the side-by-side table of those two levels, DIR/levels-A-B.txt or DIR/levels-B-A.txt, when
the run made one. Blocks of other levels, and blocks whose table the run did not make, stay as
they are, so one level's run never erases another's figures.
"""

import re
import sys
from pathlib import Path

BLOCK = re.compile(r"(<!-- bench (?P<name>[\w -]+?) -->\n)(?P<body>.*?)(<!-- end -->)", re.S)


def replace_blocks(doc, level, folder):
    def fill(match):
        words = match["name"].split()
        if len(words) == 3 and words[0] == "levels" and level in words[1:]:
            first, second = words[1:]
            tables = [folder / f"levels-{a}-{b}.txt" for a, b in ((first, second), (second, first))]
        elif len(words) == 2 and words[0] == level:
            tables = [folder / f"{words[1]}.txt"]
        else:
            return match[0]
        table = next((t for t in tables if t.is_file()), None)
        if table is None:
            return match[0]
        lines = table.read_text(encoding="utf-8").rstrip("\n").splitlines()
        body = "\n".join(f"    {line}".rstrip() for line in lines)
        return f"{match[1]}\n{body}\n\n{match[4]}"

    return BLOCK.sub(fill, doc)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    doc, level, folder = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3])
    before = doc.read_text(encoding="utf-8")
    after = replace_blocks(before, level, folder)
    doc.write_text(after, encoding="utf-8")
    print(f"{doc}: the tables of level {level} from {folder}"
          + ("" if after != before else " (nothing changed)"))


if __name__ == "__main__":
    main()
