"""The macOS bundle's generated Info.plist: well-formed, and saying what macOS reads from it."""

import plistlib
import sys
import unittest

PLIST = sys.argv.pop(1) if len(sys.argv) > 1 else "Info.plist"


class InfoPlistTest(unittest.TestCase):
    def test_bundle_properties(self):
        with open(PLIST, "rb") as file:
            plist = plistlib.load(file)
        self.assertEqual(plist["CFBundleExecutable"], "vek-photokit-helper")
        self.assertEqual(plist["CFBundleName"], "vek-photokit-helper")
        self.assertEqual(plist["CFBundlePackageType"], "APPL")
        self.assertIs(plist["LSUIElement"], True)
        self.assertEqual(plist["CFBundleShortVersionString"], "1.0")
        self.assertEqual(plist["CFBundleVersion"], "1")
        self.assertRegex(plist["CFBundleIdentifier"], r"^[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+$")
        self.assertEqual(
            plist["NSPhotoLibraryUsageDescription"],
            "Vek reads your Photos library to detect duplicate photos and videos, and deletes the assets you select "
            "through Apple Photos (moved to Recently Deleted for 30-day recovery).")
        self.assertFalse([key for key, value in plist.items() if "@" in str(value)], "a placeholder was left unfilled")


if __name__ == "__main__":
    unittest.main()
