"""The example client against a scripted stand-in for the helper: the lines it writes, and the replies it refuses."""

import json
import os
import stat
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
from vek_client import HelperError, VekHelper  # noqa: E402


def fake_helper(folder, body):
    """An executable that runs `body` once per request line, with `request` decoded and `reply(obj)` to answer."""
    path = Path(folder) / "fake-helper"
    path.write_text(f"#!{sys.executable}\nimport json, sys\n"
                    "def reply(obj):\n    print(json.dumps(obj), flush=True)\n"
                    "for line in sys.stdin:\n    request = json.loads(line)\n" + textwrap.indent(body, "    "))
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return str(path)


class VekClientTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_each_command_writes_one_line_with_a_fresh_id_and_its_arguments(self):
        echo = fake_helper(self.folder.name, 'reply({"id": request["id"], "ok": {"assets": [], "line": request}})')
        with VekHelper(echo, dict(os.environ)) as helper:
            lines = [helper.request_image_data("A/L0/001", 256)["line"],
                     helper.request_video_resource("B/L0/001")["line"],
                     helper.delete_assets(("A/L0/001", "B/L0/001"))["line"]]
            self.assertEqual(helper.fetch_assets("video"), [])
        self.assertEqual(lines, [
            {"id": 1, "cmd": "request_image_data", "localIdentifier": "A/L0/001", "targetSize": 256},
            {"id": 2, "cmd": "request_video_resource", "localIdentifier": "B/L0/001"},
            {"id": 3, "cmd": "delete_assets", "localIdentifiers": ["A/L0/001", "B/L0/001"]},
        ])

    def test_an_error_reply_raises_with_its_code_and_message(self):
        failing = fake_helper(self.folder.name,
                              'reply({"id": request["id"], "err": {"code": "assetNotFound", "message": "gone"}})')
        with VekHelper(failing, dict(os.environ)) as helper:
            with self.assertRaises(HelperError) as raised:
                helper.request_image_data("A/L0/001", 256)
        self.assertEqual((raised.exception.code, raised.exception.message), ("assetNotFound", "gone"))

    def test_a_reply_to_another_request_is_refused(self):
        confused = fake_helper(self.folder.name, 'reply({"id": request["id"] + 1, "ok": {}})')
        with VekHelper(confused, dict(os.environ)) as helper:
            with self.assertRaisesRegex(RuntimeError, "reply 2 came for request 1"):
                helper.request("fetch_assets", kind="image")

    def test_a_helper_that_exits_without_replying_is_reported(self):
        quitting = fake_helper(self.folder.name, "sys.exit(3)")
        helper = VekHelper(quitting, dict(os.environ))
        with self.assertRaisesRegex(RuntimeError, "exited with status 3"):
            helper.fetch_assets("image")
        self.assertEqual(helper.close(), 3)


if __name__ == "__main__":
    unittest.main()
