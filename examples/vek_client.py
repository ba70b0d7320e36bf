"""Talks to vek-photokit-helper the way a parent application does.

The helper runs as a child process. Each request is one line of JSON written
to its stdin; each reply is one line of JSON on its stdout, carrying the
request's "id" and either "ok" (the result) or "err" (a code and a message).
Requests are answered one at a time, in order.

    with VekHelper("build/vek-photokit-helper") as helper:
        for asset in helper.fetch_assets("image"):
            print(asset["localIdentifier"], asset["pixelWidth"], asset["pixelHeight"])

Only the Python standard library is used.
"""

import itertools
import json
import subprocess


class HelperError(Exception):
    """The helper answered a request with an error ("err")."""

    def __init__(self, code, message):
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message


class VekHelper:
    """The helper as a child process.

    `environment` replaces the child's environment when given: that is how a
    caller points the helper at another library (HOME, XDG_CONFIG_HOME,
    XDG_DATA_HOME, TMPDIR).
    """

    def __init__(self, binary, environment=None):
        self._ids = itertools.count(1)
        self._process = subprocess.Popen(
            [binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment, text=True, encoding="utf-8")

    def request(self, cmd, **arguments):
        """Sends one request and returns its "ok" result; raises HelperError on "err".

        The helper does not answer a line that is not a well-formed request,
        so callers send only the fields each command takes, with their types.
        """
        request_id = next(self._ids)
        self._process.stdin.write(json.dumps({"id": request_id, "cmd": cmd, **arguments}) + "\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        if not line:
            raise RuntimeError(f"the helper exited with status {self._process.wait()}")
        reply = json.loads(line)
        if reply.get("id") != request_id:
            raise RuntimeError(f"reply {reply.get('id')} came for request {request_id}")
        if "err" in reply:
            raise HelperError(reply["err"]["code"], reply["err"]["message"])
        return reply["ok"]

    def fetch_assets(self, kind):
        """Every image or video asset ("image" or "video"), newest first."""
        return self.request("fetch_assets", kind=kind)["assets"]

    def request_image_data(self, local_identifier, target_size):
        """The asset rendered as JPEG fitted into a target_size square: {width, height, jpegBase64}."""
        return self.request("request_image_data", localIdentifier=local_identifier, targetSize=target_size)

    def request_video_resource(self, local_identifier):
        """Exports a video to a new movie file: {tempPath, durationSeconds}. The caller owns the file."""
        return self.request("request_video_resource", localIdentifier=local_identifier)

    def delete_assets(self, local_identifiers):
        """Deletes the assets in one change: {deletedCount, userCancelled}."""
        return self.request("delete_assets", localIdentifiers=list(local_identifiers))

    def close(self):
        """Ends the helper by closing its stdin; returns its exit status."""
        self._process.stdin.close()
        status = self._process.wait()
        self._process.stdout.close()
        return status

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
