# Puts the tables of the last `make bench` into docs/performance.md.
"""Replace the benchmark blocks of a Markdown document with the tables a run left behind:

    python performance_doc.py DOC LEVEL DIR

A block is the lines between "<!-- bench LEVEL TABLE -->" and "<!-- end -->"; the blocks of LEVEL
get DIR/TABLE.txt as an indented code block. "<!-- bench levels -->" gets DIR/levels.txt, the
side-by-side table of two levels, when the run made one. Blocks of other levels, and blocks whose
table the run did not make, stay as they are, so one level's run never erases another's figures.
"""

import re
import sys
from pathlib import Path

BLOCK = re.compile(r"(<!-- bench (?P<name>[\w -]+?) -->\n)(?P<body>.*?)(<!-- end -->)", re.S)


def replace_blocks(doc, level, folder):
    def fill(match):
        words = match["name"].split()
        if words == ["levels"]:
            table = folder / "levels.txt"
        elif len(words) == 2 and words[0] == level:
            table = folder / f"{words[1]}.txt"
        else:
            return match[0]
        if not table.is_file():
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
