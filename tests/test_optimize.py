"""Without assertions (python -O) the argument checks are skipped and the
values reach the station, or the master, as they are."""
import json
import os
import tempfile
import unittest

from . import support

SCRIPT = r"""
import json, qzr_kov
from qzr_kov_sim import RecordingMaster

def attempt(func, *args):
    try:
        func(*args)
    except Exception as exc:
        return type(exc).__name__

m = RecordingMaster("p")
c = qzr_kov.KOVAxisController(m)
out = {"debug": __debug__}
c.set_ppmm(1, 0)
out["ppmm"] = c.ppmm(1)
out["from_pulse"] = attempt(c.from_pulse, 1, 5)
c.set_velocity(2, 70001)
c.set_start_velocity(2, 80000)
c.set_parameters(2, 10, 5, 0)
c.set_parameters(2, 0, 80000, 0.001)
out["negative"] = attempt(c.set_parameters, 2, -1, 5, -0.5)
c.finding_o_method = 1
out["method"] = [type(c.finding_o_method).__name__, c.finding_o_method]
c.close()
del c
out["calls"] = [[call.op, list(call.args)] for call in m.calls]
print(json.dumps(out))
"""


class WithoutAssertionsTest(unittest.TestCase):
    def test_checks_skipped(self):
        cwd = tempfile.mkdtemp(dir=support.WORKDIR)
        result = support.run_python(SCRIPT, cwd=cwd, optimize=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        out = json.loads(result.stdout)
        self.assertIs(out["debug"], False)
        self.assertEqual(out["ppmm"], 0)
        self.assertEqual(out["from_pulse"], "ZeroDivisionError")
        self.assertEqual(out["negative"], "ValueError")
        self.assertEqual(out["method"], ["int", 1])
        self.assertEqual(out["calls"], [
            ["set_uint32", [2, "DT2", 70001]],
            ["set_uint32", [2, "DT0", 80000]],
            ["set_multi_uint32", [2, "DT0", [10, 5, 0]]],
            ["set_multi_uint32", [2, "DT0", [0, 80000, 1]]],
            ["set_multi_uint32", [2, "DT0", [-1, 5, -500]]],
            ["close", []],
        ])
        for call in out["calls"]:
            for value in call[1][2:]:
                for item in (value if isinstance(value, list) else [value]):
                    self.assertIs(type(item), int)
        log = support.LogReader(os.path.join(cwd, str(support.qzr_kov._log_filename)))
        log.offset = 0
        self.assertEqual(log.lines()[1:], [
            "INFO - Set PPMM to 0 for station 1",
            "INFO - Set velocity to 70001.0, station 2",
            "INFO - Set start velocity to 80000.0, station 2",
            "INFO - Set (start velocity, velocity, acceleration time) to (10.0, 5.0, 0.0)",
            "INFO - Set (start velocity, velocity, acceleration time) to (0.0, 80000.0, 0.001)",
            "INFO - Set finding o method to 1",
            "INFO - KOV Axis Controller closed. force = False",
            "INFO - KOV Axis Controller closed. force = False",
        ])


if __name__ == "__main__":
    unittest.main()
