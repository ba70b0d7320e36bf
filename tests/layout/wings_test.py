"""The Linux library's wings include only what the table in its README allows: themselves and lower wings."""

import re
import sys
import unittest
from pathlib import Path

PLATFORM = Path(__file__).resolve().parents[2] / "src" / "platform" / "linux"
INCLUDE = re.compile(r'^#include "platform/linux/([a-z_]+)[/.]', re.MULTILINE)


def wing_table():
    """The rows of the README's table, top first: (wing, the wings it may use)."""
    rows = []
    for line in (PLATFORM / "README.md").read_text().splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[0].startswith("`"):
            rows.append((cells[0].strip("`/"), re.findall(r"`([a-z_]+)`", cells[3])))
    return rows


def wing_of(path):
    relative = path.relative_to(PLATFORM)
    return relative.parts[0] if len(relative.parts) > 1 else relative.stem


class WingsTest(unittest.TestCase):
    def test_every_wing_has_a_row_and_uses_only_lower_wings(self):
        rows = wing_table()
        order = [wing for wing, _ in rows]
        folders = {path.name for path in PLATFORM.iterdir() if path.is_dir()}
        self.assertEqual(folders | {"linux_photo_library"}, set(order))
        for position, (wing, uses) in enumerate(rows):
            for used in uses:
                self.assertIn(used, order[position + 1:], f"{wing} may use {used}, which is not below it")

    def test_every_include_is_of_the_same_wing_or_one_its_row_names(self):
        allowed = {wing: set(uses) | {wing} for wing, uses in wing_table()}
        for path in sorted(PLATFORM.rglob("*.[ch]pp")):
            for included in INCLUDE.findall(path.read_text()):
                self.assertIn(included, allowed[wing_of(path)], f"{path.relative_to(PLATFORM)} includes {included}")


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    unittest.main()
