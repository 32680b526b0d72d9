"""Publishing update archives to a supervisor under test and waiting for
what it did with each: installed it, refused it, or failed to move it."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import build_path
from update_archive import crc_file

# The installation through a staging folder; before it, the archive went to tar.
STAGED = pytest.mark.skipif(
    not os.path.exists(os.path.join(os.path.dirname(__file__), "..", "..", "Run", "update",
                                    "Install.h")),
    reason="this source tree installs with tar, not through a staging folder")

ARCHIVE = "app.tar.gz"
REFUSED = "archive refused, nothing installed! "
MOVE_FAILED = "unpack failed!"
# Names the supervisor keeps in its application directory.
OWN_NAMES = ("Log", "update.gz", "update.gz.part", "update.gz.part.json", "update.staging",
             "tavrin.exe", "tavrin.lock", "status.json", "status.json.tmp", "monitor",
             "config.json")


def make_app_dir(root, url):
    """root: a new application directory holding monitor-fast and the update
    settings for url."""
    os.makedirs(os.path.join(root, "bin"))
    shutil.copy2(build_path("monitor-fast"), os.path.join(root, "monitor"))
    with open(os.path.join(root, "config.json"), "w") as f:
        f.write('{"url": "%s"}' % url)
    return root


def publish(server, archive):
    server.publish(ARCHIVE, archive)
    server.publish(ARCHIVE + ".crc", crc_file(archive))


def start_monitor(processes, app, stdout=subprocess.DEVNULL, umask=0o027):
    return processes.start([app.path("monitor")], cwd=app.root, stdout=stdout, umask=umask)


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Watch:
    """Follows the log of app from now on."""

    def __init__(self, app):
        self.app = app
        self.start = len(app.log_text())

    def new_text(self):
        return self.app.log_text()[self.start:]

    def count(self, text):
        return self.new_text().count(text)

    def outcome(self, archive, timeout=30.0, refusals=1):
        """Waits until archive is installed ("installed": update.gz holds it
        and the staging folder is gone),
        has been refused `refusals` times ("refused"), or its move failed
        ("failed"); returns (outcome, the log text since the watch began)."""
        deadline = time.monotonic() + timeout
        while True:
            text = self.new_text()
            # The staging folder goes last, right after update.gz is renamed.
            if (read_file(self.app.path("update.gz")) == archive
                    and not os.path.lexists(self.app.path("update.staging"))):
                return "installed", text
            if text.count(REFUSED) >= refusals:
                return "refused", text
            if MOVE_FAILED in text:
                return "failed", text
            if time.monotonic() > deadline:
                raise AssertionError("archive neither installed nor refused; log since:\n"
                                     + text[-3000:])
            time.sleep(0.05)

    def refusal(self):
        """The "<why> url:<url>" of the first refusal since the watch began."""
        text = self.new_text()
        at = text.index(REFUSED) + len(REFUSED)
        return text[at:text.index("\n", at) if "\n" in text[at:] else len(text)]

