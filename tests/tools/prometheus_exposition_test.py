"""RouterStat's Prometheus output, read back by the Prometheus client
library's own text parser, against what RouterSim says it published.

Runs on the Linux side (CTest) with the build's Wine prefix started:
RouterSim, the provider DLL and RouterStat run under Wine as separate
processes. Needs Debian's python3-prometheus-client.
"""

import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

BIN = os.environ["FERNWICK_BIN_DIR"]
MODULE = "Z:" + os.path.join(BIN, "FernwickRouterSessionPerf.dll").replace("/", "\\")
COUNTERS = ["Bypass_Msg_Received", "Bypass_Msg_Sent", "Msg_Sent2Relay", "Relay_Msg_Received"]
FAMILIES = ["fernwick_router_session_" + c.lower() for c in COUNTERS]  # the parser drops "_total"
BOUND = 60  # seconds; generous for Wine on a loaded machine

# Lines of RouterSim's names file (its own escapes) and the label value each
# must arrive as. The empty line leaves slot 5 free.
NAMES = [
    ('say "hi"', 'say "hi"'),
    ("C:\\\\path\\\\to\\\\", "C:\\path\\to\\"),
    ("Grüße Zürich ñ 日本 😀", "Grüße Zürich ñ 日本 😀"),
    ("two\\nlines\\u0009tab\\u0001", "two\nlines\ttab\x01"),
    ('a},b="c",d', 'a},b="c",d'),
    ("", None),
    ("0123456789abcdefghijklmnopqrstuv", "0123456789abcdefghijklmnopqrstuv"),  # 32 units, no terminator
    ("lone\\uD800surrogate", "lone\ufffdsurrogate"),
]
EXPECTED = {label for _, label in NAMES if label is not None}


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def wine(*arguments, **options):
    return subprocess.Popen(["wine", os.path.join(BIN, arguments[0])] + list(arguments[1:]),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            **options)


def decode_sim_name(text):
    """RouterSim's escapes back to the UTF-16 name, as the label would show it."""
    units = re.sub(r"\\\\|\\u([0-9A-F]{4})",
                   lambda m: "\\" if m.group(0) == "\\\\" else chr(int(m.group(1), 16)), text)
    return units.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")


def parse(text):
    """Families by name; fails on text the parser rejects or that is no strict UTF-8."""
    return {family.name: family for family in text_string_to_metric_families(text.decode("utf-8"))}


def start_simulator(cls, *arguments):
    """Starts RouterSim in step mode with no steps, so counters stay at their
    start values; stops it at the class's clean-up. Sets cls.start: the start
    values by label value."""
    stop = "Local\\fernwick-prometheus-test-%d-%s" % (os.getpid(), cls.__name__)
    cls.sim = wine("RouterSim.exe", *arguments, "--step-event", stop + "-step", "--stop-event", stop,
                   "--seconds", "600")
    cls.addClassCleanup(cls.sim.communicate, timeout=BOUND)
    cls.addClassCleanup(stop_simulator, stop)
    cls.stop_event = stop
    cls.start = {}
    for raw in cls.sim.stdout:
        line = raw.decode("ascii").rstrip("\r\n")
        if line == "ready":
            return
        fields = line.split(" ")
        if fields[0] == "session":
            cls.start[decode_sim_name(fields[1])] = [int(v) for v in fields[5:9]]
    raise AssertionError("RouterSim did not get ready: " + cls.sim.stderr.read().decode())


def stop_simulator(stop_event):
    subprocess.run(["wine", os.path.join(BIN, "RouterSim.exe"), "--stop", "--stop-event", stop_event],
                   stdin=subprocess.DEVNULL, capture_output=True, timeout=BOUND)


def start_textfile(path):
    return subprocess.Popen(["wine", os.path.join(BIN, "RouterStat.exe"), "--module", MODULE,
                             "--textfile", winpath(path), "--interval", "0.05"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def stop_textfile(test, stat):
    """Ctrl+C (Wine turns SIGINT into it): a clean exit that printed nothing."""
    test.assertIsNone(stat.poll(), "RouterStat ended early")
    stat.send_signal(signal.SIGINT)
    out, err = stat.communicate(timeout=BOUND)
    test.assertEqual(stat.returncode, 0, err.decode(errors="replace"))
    test.assertEqual(out, b"")


class ExpositionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.folder.cleanup)
        names = os.path.join(cls.folder.name, "names.txt")
        with open(names, "w", encoding="utf-8", newline="\n") as f:
            f.write("".join(line + "\n" for line, _ in NAMES))
        start_simulator(cls, "--names", winpath(names))

    def stat(self, *arguments):
        done = subprocess.run(["wine", os.path.join(BIN, "RouterStat.exe"), "--module", MODULE] + list(arguments),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=BOUND)
        return done.returncode, done.stdout, done.stderr.decode(errors="replace")

    def check_exposition(self, families):
        """Every counter family holds one series per session at the simulator's start values."""
        self.assertEqual(set(families), set(FAMILIES) | {"fernwick_router_sessions"})
        for k, name in enumerate(FAMILIES):
            family = families[name]
            self.assertEqual(family.type, "counter")
            self.assertIn(COUNTERS[k], family.documentation)
            self.assertEqual(len(family.samples), len(EXPECTED))
            values = {s.labels["session"]: s.value for s in family.samples}
            self.assertEqual(set(values), EXPECTED)
            self.assertTrue(all(s.name == name + "_total" and list(s.labels) == ["session"]
                                for s in family.samples))
            for label, value in values.items():
                self.assertEqual(value, self.start[label][k], "%r %s" % (label, name))
        gauge = families["fernwick_router_sessions"]
        self.assertEqual(gauge.type, "gauge")
        self.assertEqual([s.value for s in gauge.samples], [len(EXPECTED)])

    def test_simulator_announces_every_awkward_name(self):
        self.assertEqual(set(self.start), EXPECTED)

    def test_standard_output_is_one_complete_exposition_per_sample(self):
        # A few intervals in, the provider's polling thread has copied the block.
        code, out, err = self.stat("--format", "prometheus", "--interval", "1", "--count", "3")
        self.assertEqual(code, 0, err)
        self.assertNotIn(b"\r", out)
        samples = re.split(b"(?=# HELP " + FAMILIES[0].encode() + b"_total )", out)[1:]
        self.assertEqual(len(samples), 3)
        self.check_exposition(parse(samples[-1]))

    def test_textfile_is_replaced_whole_and_left_complete_on_ctrl_c(self):
        path = os.path.join(self.folder.name, "fernwick.prom")
        stat = start_textfile(path)
        reads = 0
        arrived = False
        deadline = time.monotonic() + BOUND
        # Every read, taken while the file is replaced 20 times a second,
        # must be a whole exposition; read until the counters have arrived.
        while not arrived and time.monotonic() < deadline and stat.poll() is None:
            try:
                with open(path, "rb") as f:
                    families = parse(f.read())
            except FileNotFoundError:
                time.sleep(0.01)
                continue
            reads += 1
            self.assertEqual(len(families), len(FAMILIES) + 1)
            arrived = reads >= 50 and any(s.value != 0 for s in families[FAMILIES[0]].samples)
        self.assertTrue(arrived, "%d reads, no counters" % reads)
        stop_textfile(self, stat)
        with open(path, "rb") as f:
            self.check_exposition(parse(f.read()))
        self.assertEqual([n for n in os.listdir(self.folder.name) if n.endswith(".tmp")], [])

    def test_unwritable_textfile_is_an_error_and_leaves_no_file(self):
        missing = os.path.join(self.folder.name, "no-such-folder", "fernwick.prom")
        code, out, err = self.stat("--textfile", winpath(missing), "--interval", "0.05", "--count", "1")
        self.assertEqual(code, 8, err)
        self.assertIn("cannot write the textfile", err)
        self.assertFalse(os.path.exists(os.path.dirname(missing)))

        # A folder where the file should be: the replacement fails, nothing is left behind.
        taken = os.path.join(self.folder.name, "taken.prom")
        os.mkdir(taken)
        code, out, err = self.stat("--textfile", winpath(taken), "--interval", "0.05", "--count", "1")
        self.assertEqual(code, 8, err)
        self.assertEqual([n for n in os.listdir(self.folder.name) if n.endswith(".tmp")], [])
        os.rmdir(taken)

    def test_textfile_takes_only_the_prometheus_format(self):
        code, _, err = self.stat("--textfile", winpath(os.path.join(self.folder.name, "x.prom")), "--format", "csv")
        self.assertEqual(code, 2, err)
        self.assertIn("--textfile writes the prometheus format only", err)


class NoSessionsTest(unittest.TestCase):
    """Once every session has ended, the file still holds a valid exposition."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.folder.cleanup)
        start_simulator(cls, "--sessions", "1")

    def read_until(self, path, stat, done):
        deadline = time.monotonic() + BOUND
        while time.monotonic() < deadline and stat.poll() is None:
            if os.path.exists(path):
                with open(path, "rb") as f:
                    families = parse(f.read())
                if done(families):
                    return families
            time.sleep(0.02)
        self.fail("no such file came: " + repr(stat.poll()))

    def test_a_sample_without_sessions_is_a_valid_file_that_counts_zero(self):
        path = os.path.join(self.folder.name, "router.prom")
        stat = start_textfile(path)
        (start,) = self.start.values()
        self.read_until(path, stat, lambda f: [s.value for s in f[FAMILIES[0]].samples] == [start[0]])
        stop_simulator(self.stop_event)
        families = self.read_until(path, stat, lambda f: f["fernwick_router_sessions"].samples[0].value == 0)
        self.assertEqual(set(families), set(FAMILIES) | {"fernwick_router_sessions"})
        self.assertTrue(all(families[f].type == "counter" and families[f].samples == [] for f in FAMILIES))
        stop_textfile(self, stat)


if __name__ == "__main__":
    unittest.main()
