"""ZelTool crash with CrashDumpFolder set: the minidump, read by the tests'
own reader, agrees with the crash report in the log, and the folder keeps at
most CrashDumpCount dumps of ZelTool's name pattern and nothing else is
touched.

Runs on the Linux side (CTest) with the build's Wine prefix started."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from minidump_reader import Minidump  # noqa: E402

BIN = os.environ["FERNWICK_BIN_DIR"]
KEY = "Software\\Fernwick\\CrashDumpTest"
BOUND = 120  # seconds; the crash report and the dump each take many seconds under Wine on a loaded machine

# Files already in the folder, and whether the crash may remove them with a
# count of 3: the oldest dump of the pattern goes, everything else stays.
OLD_DUMPS = {"ZelTool_11_20000101_000000.dmp": False,
             "ZelTool_12_20000102_000000.dmp": True,
             "zeltool_13_20000103_000000.dmp": True}
OTHERS = ["ZelTool_notes.dmp", "Other_1_19990101_000000.dmp", "ZelTool_14_19990101_000000.dmp.txt",
          "ZelTool_x_19990101_000000.dmp", "ZelTool_15_1999010_000000.dmp"]
OLD_FOLDER = "ZelTool_16_19990101_000000.dmp"


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def wine(*arguments):
    environment = dict(os.environ)
    environment["WINEDLLOVERRIDES"] = environment.get("WINEDLLOVERRIDES", "") + ";winedbg.exe=d"
    return subprocess.run(["wine"] + list(arguments), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=BOUND, env=environment)


class CrashDumpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="crashdump")
        for name in list(OLD_DUMPS) + OTHERS:
            with open(os.path.join(cls.folder, name), "wb") as file:
                file.write(b"not ours to judge")
        os.mkdir(os.path.join(cls.folder, OLD_FOLDER))
        registry = os.path.join(cls.folder, "values.reg")
        with open(registry, "w", encoding="utf-16") as file:
            file.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\%s]\r\n" % KEY)
            file.write('"CrashDumpFolder"="%s"\r\n' % winpath(cls.folder).replace("\\", "\\\\"))
            file.write('"CrashDumpCount"=dword:00000003\r\n')
        imported = wine("reg", "import", winpath(registry))
        assert imported.returncode == 0, imported.stderr
        os.remove(registry)
        log = os.path.join(cls.folder, "crash.log")
        cls.run_result = wine(os.path.join(BIN, "ZelTool.exe"), "crash", "--kind", "access", "--user", "--key", KEY,
                              "--source", "CrashDumpTest", "--file", winpath(log))
        with open(log, "rb") as file:
            cls.log = file.read().decode("latin-1")
        wine("reg", "delete", "HKCU\\" + KEY, "/f")

    def report(self, pattern):
        found = re.search(pattern, self.log)
        self.assertIsNotNone(found, pattern)
        return found.group(1)

    def test_dump_agrees_with_the_report(self):
        # Wine hands Linux the low byte of -2.
        self.assertEqual(self.run_result.returncode, 0xFE)
        thread = int(self.report(r"exception caught thread Id=0x([0-9A-F]+)"), 16)
        address = int(self.report(r"Fault address:  ([0-9A-F]+)"), 16)
        path = self.report(r"Crash dump: (Z:\\[^\r\n]+\.dmp)")
        with open(path[2:].replace("\\", "/"), "rb") as file:
            dump = Minidump(file.read())
        self.assertEqual(dump.exception(), (thread, 0xC0000005, address))
        self.assertIn(thread, dump.thread_ids())
        self.assertIn("ZelTool.exe", [name.rsplit("\\", 1)[-1] for name in dump.module_names()])

    def test_folder_keeps_the_count_of_our_own_dumps_only(self):
        path = self.report(r"Crash dump: Z:\\[^\r\n]*\\([^\\\r\n]+\.dmp)")
        self.assertRegex(path, r"^ZelTool_\d+_\d{8}_\d{6}\.dmp$")
        expected = {name for name, kept in OLD_DUMPS.items() if kept} | set(OTHERS) | {OLD_FOLDER, path, "crash.log"}
        self.assertEqual(set(os.listdir(self.folder)), expected)


if __name__ == "__main__":
    unittest.main()
