"""Controller construction, open, close, destruction and the homing method."""
import gc
import io
import os
import tempfile
import unittest
from contextlib import redirect_stderr
from unittest import mock

from . import support
from .controller_case import KOV, ControllerCase, needs_asserts, qzr_kov
from qzr_kov_sim import CommunicationError, RecordingMaster

MASTER_FIELD = "_KOVAxisController__mew"
OPEN_REFUSAL = "设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。"
CLOSE_REFUSAL = "Not all axis are ready for close. Some is finding o."


def master_of(c):
    return getattr(c, MASTER_FIELD)


def masters_created():
    """Patches the module's master class; yields the list of masters made."""
    made = []

    def make(*args, **kwargs):
        made.append(RecordingMaster(*args, **kwargs))
        return made[-1]

    return mock.patch.object(qzr_kov, "_MewMaster", make), made


def failing_master_class(error):
    def make(*args, **kwargs):
        raise error
    return mock.patch.object(qzr_kov, "_MewMaster", make)


class LifecycleCase(ControllerCase):
    def new(self, *args, **kwargs):
        """A controller made by the test itself, closed again afterwards."""
        c = KOV(*args, **kwargs)
        self.addCleanup(setattr, c, MASTER_FIELD, None)
        return c


class ConstructionTest(LifecycleCase):
    def test_port_decides_the_master(self):
        with self.subTest("None: closed"):
            self.log.mark()
            c = self.new(None)
            self.assertIsNone(master_of(c))
            self.assertEqual(c.baudrate, 115200)
            self.assertLogged("KOV Axis Controller created with port None, baudrate 115200")
            self.assertEqual(self.new(None, baudrate="fast").baudrate, "fast")

        with self.subTest("port name: a new master"):
            patch, made = masters_created()
            self.log.mark()
            with patch:
                c = self.new("COM7", 9600)
            self.assertEqual(len(made), 1)
            self.assertIs(master_of(c), made[0])
            self.assertEqual(made[0].init_args, ("COM7",))
            self.assertEqual(made[0].init_kwargs, {"baudrate": 9600})
            self.assertLogged("KOV Axis Controller created with port COM7, baudrate 9600")

        with self.subTest("empty string: adopted as it is"):
            patch, made = masters_created()
            with patch:
                c = self.new("")
                self.assertEqual(made, [])
                self.assertEqual(master_of(c), "")
                with self.assertRaises(RuntimeError) as caught:
                    c.open("COM1")
            self.assertEqual(str(caught.exception), OPEN_REFUSAL)
            self.assertEqual(made, [])

        with self.subTest("an object: adopted, baudrate not applied"):
            m = RecordingMaster("p", baudrate=9600)
            self.log.mark()
            c = self.new(m, baudrate=4800)
            self.assertIs(master_of(c), m)
            self.assertEqual((c.baudrate, m.baudrate), (4800, 9600))
            self.assertEqual(m.calls, [])
            self.assertLogged("KOV Axis Controller created with port %s, baudrate 4800" % m)

    def test_fields_in_order(self):
        c = self.c
        self.assertEqual(list(vars(c)), [MASTER_FIELD, "baudrate", "_ppmm",
                                         "_find_o_threads", "_finding_o_method"])
        self.assertIs(master_of(c), self.m)
        self.assertEqual((c._ppmm, c._find_o_threads), ({}, {}))
        self.assertIsNot(c._ppmm, self.new(None)._ppmm)
        self.assertIs(c._finding_o_method, qzr_kov.FindingOMethod.LimitFirstThenBackward)
        self.assertIs(c.finding_o_method, qzr_kov.FindingOMethod.LimitFirstThenBackward)

    def test_master_constructor_failure_passes_unchanged(self):
        error = CommunicationError("no such port")
        stderr = io.StringIO()
        with failing_master_class(error), redirect_stderr(stderr):
            with self.assertRaises(CommunicationError) as caught:
                KOV("COM9")
            gc.collect()
        self.assertIs(caught.exception, error)
        # The half-built controller is destroyed: its close logs, then fails
        # on the missing master field, and that failure is only reported.
        self.assertLogged("KOV Axis Controller closed. force = False")
        self.assertIn("Exception ignored", stderr.getvalue())
        self.assertIn("AttributeError", stderr.getvalue())


class OpenTest(LifecycleCase):
    def test_open_refused_while_open(self):
        with self.assertRaises(RuntimeError) as caught:
            self.c.open("COM2")
        self.assertEqual(str(caught.exception), OPEN_REFUSAL)
        self.assertIs(master_of(self.c), self.m)
        self.assertNothingDone()

    def test_open_creates_master_with_construction_baudrate(self):
        c = self.new(None, 57600)
        patch, made = masters_created()
        self.log.mark()
        with patch:
            self.assertIsNone(c.open("COM2"))
        self.assertIs(master_of(c), made[0])
        self.assertEqual((made[0].init_args, made[0].init_kwargs),
                         (("COM2",), {"baudrate": 57600}))
        self.assertLogged("KOV Axis Controller is opened again with port COM2.")

        with self.subTest("an object is handed to the master class, not adopted"):
            c = self.new(None)
            port = RecordingMaster("other")
            with patch:
                c.open(port)
            self.assertIsNot(master_of(c), port)
            self.assertEqual(made[1].init_args, (port,))

    def test_open_failure_leaves_closed(self):
        c = self.new(None)
        error = CommunicationError("busy")
        self.log.mark()
        with failing_master_class(error), self.assertRaises(CommunicationError) as caught:
            c.open("COM3")
        self.assertIs(caught.exception, error)
        self.assertIsNone(master_of(c))
        self.assertLogged()

    def test_close_open_cycles_keep_settings(self):
        c = self.new(None, 9600)
        patch, made = masters_created()
        with patch:
            c.set_ppmm(1, 200)
            c.finding_o_method = qzr_kov.FindingOMethod.OriginOnly
            for port in ("A", "B"):
                c.open(port)
                c.close()
        self.assertEqual([(m.init_args, m.init_kwargs, m.closed) for m in made],
                         [(("A",), {"baudrate": 9600}, True),
                          (("B",), {"baudrate": 9600}, True)])
        self.assertEqual((c.ppmm(1), c.baudrate), (200, 9600))
        self.assertIs(c.finding_o_method, qzr_kov.FindingOMethod.OriginOnly)


class CloseTest(LifecycleCase):
    def test_close_logs_first_and_releases_once(self):
        self.assertIsNone(self.c.close())
        self.assertIsNone(master_of(self.c))
        self.assertCalls(("close", ()))
        self.assertLogged("KOV Axis Controller closed. force = False")

        with self.subTest("closing a closed controller only logs"):
            self.restart()
            self.c._find_o_threads[1] = object()
            self.assertIsNone(self.c.close())
            self.assertCalls()
            self.assertLogged("KOV Axis Controller closed. force = False")

    def test_close_refused_while_homing_result_uncollected(self):
        worker = object()
        self.c._find_o_threads[2] = worker
        with self.assertRaises(RuntimeError) as caught:
            self.c.close()
        self.assertEqual(str(caught.exception), CLOSE_REFUSAL)
        self.assertIs(master_of(self.c), self.m)
        self.assertCalls()
        self.assertLogged("KOV Axis Controller closed. force = False")

        self.restart()
        self.c.close(force=True)
        self.assertIsNone(master_of(self.c))
        self.assertCalls(("close", ()))
        self.assertEqual(self.c._find_o_threads, {2: worker})
        self.assertLogged("KOV Axis Controller closed. force = True")

    def test_force_is_any_true_value_and_logged_as_given(self):
        self.c._find_o_threads[1] = object()
        self.c.close(1)
        self.assertIsNone(master_of(self.c))
        self.assertLogged("KOV Axis Controller closed. force = 1")

    def test_master_close_failure_keeps_master(self):
        error = CommunicationError("stuck")
        self.m.fail_on("close", error)
        with self.assertRaises(CommunicationError) as caught:
            self.c.close()
        self.assertIs(caught.exception, error)
        self.assertIs(master_of(self.c), self.m)
        self.assertLogged("KOV Axis Controller closed. force = False")

    def test_closed_controller_refuses_before_sending(self):
        self.c.close()
        self.restart()
        c = self.c
        attempts = [
            ("stop", lambda: c.stop(1)),
            ("set_velocity", lambda: c.set_velocity(1, 1.0)),
            ("locate_absolutely", lambda: c.locate_absolutely(1, 1.0)),
            ("status_words", lambda: c.status_words(1)),
            ("set_here_o", lambda: c.set_here_o(1)),
            ("is_running", lambda: c.is_running(1)),
            ("set_coil_uint16", lambda: c.set_coil_uint16(1, "R0", 1)),
            ("disable_alarm", lambda: c.disable_alarm(1)),
        ]
        for name, attempt in attempts:
            with self.subTest(name):
                self.assertRaises(AttributeError, attempt)
        self.assertNothingDone()
        # Answers taken from a list need no master.
        self.assertIs(c.is_alarming(1, [0, 0, 0, 16, 0]), True)
        self.assertEqual(c.get_position(1, [4, 0, 0, 0, 0]), 4.0)


class DestructionTest(LifecycleCase):
    def test_destruction_closes_the_master(self):
        m = RecordingMaster("p")
        c = KOV(m)
        self.log.mark()
        del c
        gc.collect()
        self.assertTrue(m.closed)
        self.assertLogged("KOV Axis Controller closed. force = False")

    def test_refused_close_on_destruction_is_only_reported(self):
        cwd = tempfile.mkdtemp(dir=support.WORKDIR)
        result = support.run_python(
            "import gc, qzr_kov\n"
            "from qzr_kov_sim import RecordingMaster\n"
            "c = qzr_kov.KOVAxisController(RecordingMaster('p'))\n"
            "c._find_o_threads[1] = None\n"
            "del c\n"
            "gc.collect()\n"
            "print('still here')\n", cwd=cwd)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "still here\n")
        self.assertIn("Exception ignored", result.stderr)
        self.assertIn("RuntimeError: " + CLOSE_REFUSAL, result.stderr)
        log = support.LogReader(os.path.join(cwd, str(qzr_kov._log_filename)))
        log.offset = 0
        self.assertEqual(log.lines()[-1], "INFO - KOV Axis Controller closed. force = False")


class FindingOMethodTest(LifecycleCase):
    def test_member_stored_and_logged_as_integer(self):
        for member in (qzr_kov.FindingOMethod.OriginOnly,
                       qzr_kov.FindingOMethod.LimitFirstThenBackward):
            self.c.finding_o_method = member
            self.assertIs(self.c.finding_o_method, member)
            self.assertIs(self.c._finding_o_method, member)
        self.assertLogged("Set finding o method to 1", "Set finding o method to 0")
        self.assertCalls()

    @needs_asserts
    def test_plain_integer_refused(self):
        for value in (1, 0, None):
            with self.subTest(value=value), self.assertRaises(AssertionError) as caught:
                self.c.finding_o_method = value
            self.assertEqual(str(caught.exception), "未知的找原点方式值：%s" % (value,))
        self.assertIs(self.c.finding_o_method, qzr_kov.FindingOMethod.LimitFirstThenBackward)
        self.assertLogged()


if __name__ == "__main__":
    unittest.main()
