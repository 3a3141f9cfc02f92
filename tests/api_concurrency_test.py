"""An administrator edits the configuration file by hand while signed API writes run: every API
write either succeeds on the content it was based on or answers 412, the file always loads, no
history copy is lost or overwritten, and the daemon never takes up a configuration that does not
load."""

import hashlib
import json
import os
import random
import subprocess
import threading
import time
import unittest

from api_settings_test import ApiClientCase
from vrktest import SCHED

API_WRITES = 40
MAX_HAND_EDITS = 400


def sha(data):
    return hashlib.sha256(data).hexdigest()


class HandEditsDuringApiWritesTest(ApiClientCase):
    def hand_text(self, n, rng):
        """A valid file of always the same length. Its keys carry wide spacing, so whatever the
        API writes from it is shorter: an in-place write over the file never leaves a stale
        tail, and needs no truncation that would show an empty file."""
        return (self.api_section() +
                "\n[sched]\n# hand edit %06d\npoll-interval   =   %03d\njob-log-keep    =   %02d\n"
                "\n[nightly]\ncommand    =    agent\nschedule   =   0 %d * * *\n"
                % (n, rng.randint(100, 999), rng.randint(10, 99), rng.randint(10, 19))).encode()

    def validate(self, path):
        rc = subprocess.run([SCHED, "validate", "--config", path, "--no-syslog", "--no-log"],
                            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return rc.returncode, rc.stderr.decode(errors="replace")

    def hand_editor(self, stop, result):
        rng = random.Random(7)
        n = 0
        while not stop.is_set() and n < MAX_HAND_EDITS:
            text = self.hand_text(n, rng)
            if n % 2 == 0:
                with open(self.cfg + ".hand", "wb") as f:
                    f.write(text)
                os.replace(self.cfg + ".hand", self.cfg)
            else:
                fd = os.open(self.cfg, os.O_WRONLY)
                try:
                    os.write(fd, text)
                    os.ftruncate(fd, len(text))
                finally:
                    os.close(fd)
            n += 1
            # Between edits the file is whole: it must load whoever wrote it last.
            rc, err = self.validate(self.cfg)
            if rc != 0:
                result["invalid"].append(err)
            time.sleep(rng.uniform(0.02, 0.3))
        result["edits"] = n

    def test_api_writes_race_hand_edits(self):
        rng = random.Random(11)
        self.reconfigure(self.hand_text(999999, rng).decode()[len(self.api_section()):])
        stop = threading.Event()
        result = {"invalid": [], "edits": 0}
        editor = threading.Thread(target=self.hand_editor, args=(stop, result))
        statuses = {}
        copies = {}  # history copy -> digest when it appeared
        mismatched = []
        editor.start()
        try:
            for i in range(API_WRITES):
                if i % 2 == 0:
                    path = "/api/v1/settings/sched"
                    document = {"sched": {"poll_interval": rng.randint(1, 99),
                                          "job_log_keep": rng.randint(1, 9)}}
                else:
                    path = "/api/v1/jobs/nightly"
                    document = {"command": "agent", "schedule": "0 %d * * *" % rng.randint(0, 9)}
                base = self.etag(path)
                status, doc = self.put(path, document, base)
                statuses[status] = statuses.get(status, 0) + 1
                if status != 200:
                    self.assertEqual(status, 412, doc)
                    continue
                new = [p for p in self.history() if p not in copies]
                self.assertEqual(len(new), 1, new)
                with open(new[0], "rb") as f:
                    copies[new[0]] = sha(f.read())
                # The version a successful write replaced is the one its client had read.
                if '"%s"' % copies[new[0]] != base:
                    mismatched.append(new[0])
        finally:
            stop.set()
            editor.join()

        print("\nAPI writes %d: %d x 200, %d x 412; hand edits %d; history copies %d"
              % (API_WRITES, statuses.get(200, 0), statuses.get(412, 0), result["edits"],
                 len(self.history())))
        self.assertEqual(mismatched, [])
        self.assertEqual(result["invalid"], [])
        self.assertEqual(sorted(copies), self.history())
        for path, digest in copies.items():
            with open(path, "rb") as f:
                self.assertEqual(sha(f.read()), digest, path)
            self.assertEqual(self.validate(path)[0], 0, path)
        self.assertEqual(self.validate(self.cfg)[0], 0)
        self.assertGreater(statuses.get(200, 0), 0)
        self.assertEqual(self.log_lines("config reload failed"), [])
        self.assertTrue(self.log_lines("vrk_sched: reloaded"))
        self.assertIsNone(self.proc.poll())
        # The daemon still answers, from the file as it now is.
        status, doc = self.send("GET", "/api/v1/settings/sched")
        self.assertEqual((status, doc["config_etag"]), (200, self.file_etag()))


if __name__ == "__main__":
    unittest.main()
