"""The demo's scenario from Python (examples/demo.py) on the samples and a sample server started by
scripts/run-sample-demo.sh: its values, its success line, the server stopped, every text the
samples handed out taken back, and the same report, step for step, as the C demo's. Runs where the gRPC samples are built (TVX_SAMPLES_GRPC=1)."""
import os
import re
import subprocess
import sys
import unittest

from tvx_test_support import BIN, SOURCE

SCRIPT = os.path.join(SOURCE, "scripts", "run-sample-demo.sh")


def run_demo(*program):
    p = subprocess.run([SCRIPT, BIN, *program], cwd=SOURCE, capture_output=True, text=True, timeout=300)
    port = re.search(r"^sample server listening on 127\.0\.0\.1:(\d+)$", p.stdout, re.M)
    # The port differs from run to run; nothing else may.
    normalized = p.stdout.replace(port.group(1), "PORT") if port else p.stdout
    return p.returncode, normalized, p.stderr


@unittest.skipUnless(os.environ.get("TVX_SAMPLES_GRPC") == "1", "the gRPC samples are not built")
class PythonDemo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.status, cls.out, cls.err = run_demo("%s %s" % (sys.executable, os.path.join("examples", "demo.py")))

    def test_the_scenario_gives_its_values_and_stops_the_server(self):
        self.assertEqual(self.status, 0, self.out + self.err)
        # Every text the samples handed out went back to them.
        self.assertNotIn("ReleaseWarning", self.err)
        for line in ('  result [12, 24, 36] on entities 11, 12, 13, location "Nodal", 1 component(s)',
                     "  the server operator was moved into the common library (a proxy): yes",
                     "  the server field now has a local copy: yes; result [10, 20, 30]",
                     "  error size 85: Unable to load ./no_such_framework.so. Error code is 126: Module could not be found.",
                     "SUCCESS: the scenario gave [12, 24, 36] and [10, 20, 30] as it must",
                     "sample server stopped"):
            self.assertIn(line, self.out.splitlines())

    def test_the_report_is_the_c_demos(self):
        if not os.path.exists(os.path.join(BIN, "demo")):
            self.skipTest("the C demo is not built")
        status, out, err = run_demo()
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.out.splitlines(), out.splitlines())


if __name__ == "__main__":
    unittest.main()
