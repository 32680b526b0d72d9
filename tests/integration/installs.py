"""Publishing update archives to a supervisor under test and waiting for
what it did with each: installed it, refused it, or failed to move it."""
import json
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
REFUSED_WORD = "archive refused"  # update.last.word of such a check
MOVE_FAILED = "unpack failed!"
# Names the supervisor keeps in its application directory.
OWN_NAMES = ("Log", "update.gz", "update.gz.part", "update.gz.part.json", "update.staging",
             "update.journal", "update.journal.tmp", "update.previous", "update.rejected",
             "update.rejected.tmp", "tavrin.exe", "tavrin.lock", "status.json", "status.json.tmp",
             "monitor", "config.json")


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


def read_status(app):
    """app's status.json, None before it is first written."""
    try:
        with open(app.path("status.json")) as f:
            return json.load(f)
    except FileNotFoundError:
        return None


class Watch:
    """Follows the log and the update checks of app from now on."""

    def __init__(self, app):
        self.app = app
        self.start = len(app.log_text())
        # Checks end more than a second apart, so each record has its own time.
        self.before = self.last_check(read_status(app))
        self.status = None  # the status file that told the outcome "refused"
        self.check = None  # its update.last

    @staticmethod
    def last_check(status):
        return status["update"]["last"] if status else None

    def new_text(self):
        return self.app.log_text()[self.start:]

    def count(self, text):
        return self.new_text().count(text)

    def outcome(self, archive, timeout=30.0):
        """Waits until archive is installed ("installed": update.gz holds it
        and the staging folder is gone), a check that ended since the watch
        began refused it ("refused": the status file records that check, so
        whatever it did is done; kept in self.status), or its move failed
        ("failed"); returns (outcome, the log text since the watch began)."""
        deadline = time.monotonic() + timeout
        while True:
            # The status file first: a check's reports are in the log before
            # its record is written.
            status = read_status(self.app)
            check = self.last_check(status)
            text = self.new_text()
            # The staging folder goes last, right after update.gz is renamed.
            if (read_file(self.app.path("update.gz")) == archive
                    and not os.path.lexists(self.app.path("update.staging"))):
                return "installed", text
            if check is not None and check != self.before and check["word"] == REFUSED_WORD:
                self.status, self.check = status, check
                return "refused", text
            if MOVE_FAILED in text:
                return "failed", text
            if time.monotonic() > deadline:
                raise AssertionError("archive neither installed nor refused; last check: %s; "
                                     "log since:\n%s" % (check, text[-3000:]))
            time.sleep(0.05)

    def refusal(self):
        """The "<why> url:<url>" of the first refusal since the watch began."""
        text = self.new_text()
        at = text.index(REFUSED) + len(REFUSED)
        return text[at:text.index("\n", at) if "\n" in text[at:] else len(text)]
