"""The rows of a table in README.md, which the layer checks read their rules from."""
import os


def table_rows(root, first_heading):
    """(headings, cells) of each body row of the README tables whose first heading is ``first_heading``."""
    with open(os.path.join(root, "README.md"), encoding="utf-8") as readme:
        headings = None
        for line in readme:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if not line.startswith("|"):
                headings = None
            elif headings is None:
                headings = cells
            elif headings[:1] == [first_heading] and not set(cells[0]) <= set("-"):
                yield headings, cells
