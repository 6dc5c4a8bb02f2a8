"""The panel's HTTP API through http.client, on the example machine on
simulated lines: who may talk to it (token, cookie, Host, Origin), what
--read-only leaves, the refusals and their codes, STOP ALL, hold-to-run
jogs that lapse on a virtual clock or end with their events stream, the
limit on events streams, and teaching a position into the taught file.
One server per test class."""
import http.client
import json
import os
import re
import signal
import time
import unittest

from tests import support
from qzr_kov_sim import VirtualClock

import qzr_kov

#: a generous bound on waiting for the simulated axes; never a measurement
PATIENCE = 60


def until(condition, what):
    """Waits until CONDITION() is true (it is looked at every few ms)."""
    end = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("still waiting for %s" % what)
        time.sleep(0.01)


class PanelCase(unittest.TestCase):
    """A panel on the example machine (a copy of its file, in a folder of
    its own) on simulated lines (SPEED times faster than the wall clock:
    homing takes a second or two), served on 127.0.0.1 and any free port; the jogs' leases on
    a VirtualClock (``clock``)."""

    read_only = False
    #: how much faster than the wall clock simulated time runs
    speed = 5
    #: a change to the example's description, or None
    change = None

    @classmethod
    def setUpClass(cls):
        support.add_tool_to_path()
        from qzr_kov_tool import connect, logfile
        from qzr_kov_tool.panel import api, server
        cls.seam = logfile.LogSeam(qzr_kov).install()
        cls.path = support.description_file(cls.change)
        cls.axes = connect.open_machine(support.options(
            "--machine", cls.path, "--simulate", "--sim-speed", str(cls.speed), "status"))
        cls.machine = cls.axes.machine
        cls.clock = VirtualClock()
        cls.panel = api.Panel(cls.machine, cls.path, cls.seam, True, cls.read_only,
                              clock=cls.clock.time)
        cls.server = server.PanelServer(cls.panel).start()
        cls.panel.open()
        cls.token = cls.server.guard.token
        cls.host = "127.0.0.1:%d" % cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.panel.close()
        cls.server.close()
        cls.axes.release()
        cls.seam.remove()

    def tearDown(self):
        self.panel.stop(why="the test's end")
        until(lambda: not any(axis.running for axis in self.machine.axes.values()),
              "every axis at rest")
        until(lambda: not self.panel._motions, "the panel's motions ended")

    def connection(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=PATIENCE)
        self.addCleanup(connection.close)
        return connection

    def call(self, method, path, body=None, token=True, headers=None):
        """(status, the answer's JSON or text, headers) of one request."""
        sent = {"Host": self.host}
        if token:
            sent["Authorization"] = "Bearer %s" % self.token
        if body is not None and not isinstance(body, bytes):
            body = json.dumps(body).encode("utf-8")
        sent.update(headers or {})
        connection = self.connection()
        connection.request(method, path, body=body, headers=sent)
        answer = connection.getresponse()
        raw = answer.read()
        connection.close()
        kind = answer.getheader("Content-Type", "")
        data = json.loads(raw.decode("utf-8")) if kind.startswith("application/json") else raw
        return answer.status, data, answer

    def post(self, path, body=None, **kwargs):
        return self.call("POST", path, {} if body is None else body, **kwargs)[:2]

    def running(self, name):
        return self.machine.axes[name].running

    def events(self):
        """An open events stream: its first event is "hello"."""
        connection = self.connection()
        connection.request("GET", "/api/events", headers={
            "Host": self.host, "Authorization": "Bearer %s" % self.token})
        answer = connection.getresponse()
        self.assertEqual(answer.status, 200)
        self.assertTrue(answer.getheader("Content-Type").startswith("text/event-stream"))
        return connection, answer

    @staticmethod
    def next_event(answer):
        """(name, data) of the next event of an events stream."""
        name = data = None
        while True:
            line = answer.readline().decode("utf-8").rstrip("\n")
            if line.startswith("event: "):
                name = line[7:]
            elif line.startswith("data: "):
                data = json.loads(line[6:])
            elif not line and name is not None:
                return name, data


class GuardTest(PanelCase):
    def test_without_the_token_nothing_of_the_machine_is_told(self):
        for path in ("/api/state", "/api/machine", "/", "/panel.js", "/api/nothing"):
            for headers in ({}, {"Authorization": "Bearer " + self.token[:-1] + "x"},
                            {"Authorization": "Basic " + self.token},
                            {"Cookie": "qzr_kov_panel_%d=wrong" % self.server.port}):
                status, data, answer = self.call("GET", path, token=False, headers=headers)
                self.assertEqual(status, 401, (path, headers))
                self.assertEqual(answer.getheader("WWW-Authenticate"), "Bearer")
                for word in ("machine.json", "park", '"x"', "station"):
                    self.assertNotIn(word, json.dumps(data))
        status, _ = self.post("/api/stop", token=False)
        self.assertEqual(status, 401)
        self.assertEqual(self.call("GET", "/?token=nope", token=False)[0], 401)

    def test_the_address_printed_hands_the_page_a_strict_cookie(self):
        status, _, answer = self.call("GET", "/?token=" + self.token, token=False)
        self.assertEqual((status, answer.getheader("Location")), (303, "/"))
        cookie = answer.getheader("Set-Cookie")
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        value = cookie.split(";")[0]
        status, page, answer = self.call("GET", "/", token=False, headers={"Cookie": value})
        self.assertEqual(status, 200)
        self.assertIn(b'data-action="stop-all"', page)
        self.assertIn("script-src 'self'", answer.getheader("Content-Security-Policy"))
        status, state, _ = self.call("GET", "/api/state", token=False,
                                     headers={"Cookie": "other=1; " + value})
        self.assertEqual((status, sorted(state["axes"])), (200, ["x", "y", "z"]))
        self.assertEqual(sorted(state["axes"]["x"]), sorted(
            ["position", "velocity", "running", "homed", "origin", "negative_limit",
             "positive_limit", "alarm", "emergency", "age"]))

    def test_only_the_panels_own_names_are_answered(self):
        port = self.server.port
        for host in ("localhost:%d" % port, "[::1]:%d" % port, "LOCALHOST:%d" % port):
            self.assertEqual(self.call("GET", "/api/state", headers={"Host": host})[0], 200,
                             host)
        for host in ("evil.example:%d" % port, "evil.example", "127.0.0.1:%d" % (port + 1),
                     "127.0.0.1", "127.0.0.1:%d@evil" % port, ""):
            status, data, _ = self.call("GET", "/api/state", headers={"Host": host})
            self.assertEqual(status, 403, host)
            self.assertNotIn("axes", data)
            # Nothing moves for a request to another name, with the token or not.
            self.assertEqual(self.post("/api/axes/x/jog", {"direction": "+"},
                                       headers={"Host": host})[0], 403)
        self.assertFalse(self.running("x"))

    def test_a_post_from_another_origin_is_refused_before_it_reaches_the_machine(self):
        for origin in ("http://evil.example", "null", "http://127.0.0.1:%d.evil" % self.server.port,
                       "https://" + self.host):
            status, data = self.post("/api/axes/x/jog", {"direction": "+"},
                                     headers={"Origin": origin})
            self.assertEqual(status, 403, origin)
            self.assertIn("another origin", data["error"])
        self.assertFalse(self.running("x"))
        self.assertEqual(self.post("/api/stop", headers={"Origin": "http://" + self.host})[0], 200)
        # A GET may be read by its own page only: the answer says so, not the panel.
        self.assertEqual(self.call("GET", "/api/state",
                                   headers={"Origin": "http://evil.example"})[0], 200)


class RefusalTest(PanelCase):
    def assert_refused(self, code, method, path, body=None, words=""):
        status, data, _ = self.call(method, path, body)
        self.assertEqual(status, code, (path, body, data))
        self.assertIsInstance(data["error"], str)
        self.assertIn(words, data["error"])

    def test_malformed_and_unknown_input_never_reaches_the_line(self):
        log = support.LogReader()
        for body, words in (
                (b"{", "no JSON"), (b"[1]", "a JSON object"), (b'{"target": NaN}', "NaN"),
                (b'{"target": 1e999}', "beyond the range"), (b"\xff", "no JSON"),
                (b"[" * 100000, ""), ({"target": True}, "must be a number"),
                ({"target": None}, "must be a number"), ({}, "'target' is missing"),
                ({"target": 1, "speed": 2}, "unknown field 'speed'"),
                ({"target": 1, "velocity": "fast"}, "the velocity must be a number")):
            code = 413 if isinstance(body, bytes) and len(body) > 64 * 1024 else 400
            self.assert_refused(code, "POST", "/api/axes/x/move", body, words)
        for body in ({"direction": "up"}, {"direction": 1}, {"direction": "+", "hold": 5},
                     {"direction": "+", "stream": "none-such"}):
            self.assert_refused(400, "POST", "/api/axes/x/jog", body)
        self.assert_refused(400, "POST", "/api/home", {"axes": "x"})
        self.assert_refused(400, "POST", "/api/axes/x/positions", {"name": ""})
        self.assert_refused(400, "POST", "/api/stop", {"now": True})
        self.assert_refused(413, "POST", "/api/axes/x/move", b" " * (64 * 1024 + 1), "65536")
        self.assertEqual(self.post("/api/axes/x/move", b" " * (64 * 1024))[0], 400)
        self.assertEqual([line for line in log.lines() if "station" in line.lower()
                          and "Stop" not in line], [])

    def test_requests_http_server_refuses_are_answered_in_json(self):
        import socket
        for raw, code in ((b"GET / x HTTP/1.1\r\n\r\n", 400), (b"GET / HTTP/x\r\n\r\n", 400),
                          (b"FOO / HTTP/1.1\r\nHost: x\r\n\r\n", 501),
                          (b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 200 + b"\r\n", 431)):
            with socket.create_connection(("127.0.0.1", self.server.port), PATIENCE) as sock:
                sock.sendall(raw)
                answer = b""
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    answer += chunk
            # A request line that names no HTTP/1.x is answered as HTTP/0.9
            # is (on some versions): the body alone.
            if code == 400 and not answer.startswith(b"HTTP/"):
                answer = b"HTTP/1.1 400 \r\n\r\n" + answer
            head, _, body = answer.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 %d " % code), (raw[:20], answer))
            self.assertIsInstance(json.loads(body.decode("utf-8"))["error"], str)

    def test_unknown_names_and_paths_are_404_and_methods_405(self):
        self.assert_refused(404, "POST", "/api/axes/w/move", {"target": 1}, "no axis 'w'")
        self.assert_refused(404, "POST", "/api/axes/w/stop", {}, "no axis 'w'")
        self.assert_refused(404, "POST", "/api/home", {"axes": ["x", "w"]}, "no axis 'w'")
        self.assert_refused(404, "GET", "/api/nothing", None, "no such path")
        self.assert_refused(404, "GET", "/../machine.json", None, "no such path")
        self.assert_refused(422, "POST", "/api/axes/x/move", {"target": "nowhere"}, "nowhere")
        status, _, answer = self.call("GET", "/api/stop")
        self.assertEqual((status, answer.getheader("Allow")), (405, "POST"))

    def test_the_machines_refusals_are_422_with_its_text_and_busy_is_409(self):
        self.assert_refused(422, "POST", "/api/axes/x/move", {"target": 300.5},
                            "outside its travel")
        self.assert_refused(422, "POST", "/api/axes/x/move", {"target": 10, "velocity": 1000})
        self.assertFalse(self.running("x"))
        status, data = self.post("/api/axes/y/move", {"target": 190, "velocity": 5})
        self.assertEqual((status, data["target"]), (202, 190.0))
        until(lambda: self.running("y"), "y moving")
        self.assert_refused(409, "POST", "/api/axes/y/move", {"target": 1}, "busy")
        self.assert_refused(409, "POST", "/api/axes/y/jog", {"direction": "+"}, "busy")
        self.assert_refused(409, "POST", "/api/home", {"axes": ["y"]}, "busy")
        self.machine.axes["z"]._homed = False
        self.addCleanup(self.machine.assume_homed, "z")
        self.assert_refused(409, "POST", "/api/axes/z/move", {"target": -10}, "not homed")

    def test_at_most_sixteen_event_streams_and_then_503(self):
        streams = [self.events() for _ in range(16)]
        self.assertEqual(self.next_event(streams[0][1])[0], "hello")
        status, data, _ = self.call("GET", "/api/events")
        self.assertEqual(status, 503)
        self.assertIn("16", data["error"])
        # The others go on: a stream closed makes room.
        self.assertEqual(self.call("GET", "/api/state")[0], 200)
        streams.pop()[0].close()
        until(lambda: self.panel.broadcaster.count < 16, "a stream closed")
        connection, answer = self.events()
        self.assertEqual(self.next_event(answer)[0], "hello")


class ReadOnlyTest(PanelCase):
    read_only = True

    def test_read_only_takes_stops_only(self):
        for path, body in (("/api/axes/x/move", {"target": 10}),
                           ("/api/axes/x/jog", {"direction": "+"}), ("/api/home", {}),
                           ("/api/axes/x/positions", {"name": "here"})):
            status, data = self.post(path, body)
            self.assertEqual(status, 403, path)
            self.assertIn("read-only", data["error"])
        self.assertEqual(self.post("/api/stop"), (200, {"stopped": ["x", "y", "z"]}))
        self.assertEqual(self.post("/api/axes/y/stop"), (200, {"stopped": ["y"]}))
        self.assertTrue(self.call("GET", "/api/machine")[1]["read_only"])
        self.assertFalse(os.path.exists(self.path.replace(".json", ".taught.json")))


class MotionTest(PanelCase):
    def test_stop_all_stops_every_moving_axis_and_tells_why(self):
        connection, stream = self.events()
        self.assertEqual(self.next_event(stream)[0], "hello")
        for name, target in (("x", 290), ("y", 5), ("z", -75)):
            status, data = self.post("/api/axes/%s/move" % name, {"target": target,
                                                                 "velocity": 5})
            self.assertEqual(status, 202, data)
        until(lambda: all(self.running(name) for name in "xyz"), "every axis moving")
        self.assertEqual(self.post("/api/stop"), (200, {"stopped": ["x", "y", "z"]}))
        until(lambda: not any(self.running(name) for name in "xyz"), "every axis at rest")
        ends = {}
        while len(ends) < 3:
            name, data = self.next_event(stream)
            if name == "move":
                ends[data["axis"]] = data
        for name in "xyz":
            self.assertIn("stopped (stop)", ends[name]["text"])
        state = self.call("GET", "/api/state")[1]["axes"]
        self.assertFalse(any(axis["running"] for axis in state.values()))

    def test_a_jog_not_renewed_stops_and_a_late_renewal_does_not_start_it(self):
        jog = {"direction": "+", "velocity": 5, "hold": "press-1"}
        self.assertEqual(self.post("/api/axes/x/jog", jog)[0], 202)
        until(lambda: self.running("x"), "x jogging")
        self.clock.sleep(0.3)
        self.assertEqual(self.post("/api/axes/x/jog", jog),
                         (200, {"axis": "x", "jogging": "+", "renewed": True}))
        self.assertEqual(self.post("/api/axes/x/jog", dict(jog, direction="-"))[0], 409)
        self.clock.sleep(0.3)       # 0.6 s since it started, 0.3 s since its renewal
        self.assertTrue(self.running("x"))
        self.clock.sleep(0.15)      # past its lease
        until(lambda: not self.running("x"), "x stopped by the watchdog")
        status, data = self.post("/api/axes/x/jog", jog)
        self.assertEqual(status, 409)
        self.assertIn("no renewal within 0.4 s", data["error"])
        self.assertFalse(self.running("x"))

    def test_a_closed_events_stream_ends_its_clients_jogs_only(self):
        connection, stream = self.events()
        name, hello = self.next_event(stream)
        self.assertEqual(name, "hello")
        self.assertEqual(self.post("/api/axes/y/jog", {"direction": "+", "velocity": 5,
                                                       "stream": hello["stream"]})[0], 202)
        self.assertEqual(self.post("/api/axes/x/move", {"target": 290, "velocity": 5})[0], 202)
        until(lambda: self.running("y") and self.running("x"), "y jogging, x moving")
        stream.close()
        connection.close()
        until(lambda: not self.running("y"), "y stopped with its stream")
        self.assertTrue(self.running("x"))

    def test_home_all_homes_by_the_homing_order(self):
        connection, stream = self.events()
        self.assertEqual(self.post("/api/home"), (202, {"homing": [["z"], ["x", "y"]]}))
        texts = []
        while not texts or texts[-1].startswith("homing "):
            name, data = self.next_event(stream)
            if name == "home":
                texts.append(data["text"])
        self.assertEqual(texts, ["homing z then x, y", "homed: z, x, y (at 0 mm)"])
        self.assertTrue(all(axis.homed for axis in self.machine.axes.values()))


class TeachTest(PanelCase):
    def test_a_taught_position_is_kept_beside_the_file_and_check_sees_it(self):
        from qzr_kov_motion import description
        with open(self.path, "rb") as f:
            before = f.read()
        taught = description.taught_path(self.path)
        self.assertEqual(self.post("/api/axes/x/move", {"target": 12.345})[0], 202)
        until(lambda: not self.panel._motions, "x at 12.345 mm")
        status, data = self.post("/api/axes/x/positions", {"name": "pick"})
        self.assertEqual((status, data["position"], data["file"]), (201, 12.345, taught))
        with open(taught, encoding="utf-8") as f:
            self.assertEqual(json.load(f), {"axes": {"x": {"positions": {"pick": 12.345}}}})
        self.assertEqual(description.load_description(self.path).axes["x"].positions["pick"],
                         12.345)
        self.assertIn("pick", self.call("GET", "/api/machine")[1]["axes"]["x"]["taught"])
        # The name is taken now, and so are the file's own.
        for name in ("pick", "park"):
            status, data = self.post("/api/axes/x/positions", {"name": name})
            self.assertEqual(status, 409, name)
        status, data = self.post("/api/axes/x/positions", {"name": "pick", "replace": True})
        self.assertEqual(status, 201)
        self.assertEqual(self.post("/api/axes/x/positions", {"name": "12"})[0], 422)
        # A move to it by name, and the user's file untouched.
        self.assertEqual(self.post("/api/axes/x/move", {"target": "park"})[0], 202)
        until(lambda: not self.panel._motions, "x parked")
        self.assertEqual(self.post("/api/axes/x/move", {"target": "pick"}),
                         (202, {"axis": "x", "moving": "to", "target": 12.345}))
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.path)) if "taught-" in n], [])
        result = support.run_tool("check", self.path)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("pick 12.345 (taught)", result.stdout)
        self.assertIn("taught positions read from", result.stdout)


class HoldsTest(unittest.TestCase):
    """The rules of hold-to-run, on times of the test's own."""

    class Motion(object):
        def __init__(self):
            self.finished = False

        def done(self):
            return self.finished

    def test_renewals_leases_and_ends(self):
        support.add_tool_to_path()
        from qzr_kov_tool.panel import hold
        holds = hold.Holds(lease=0.4)
        self.assertFalse(holds.renew("x", "+", "a", 10.0))
        motion = self.Motion()
        holds.add("x", "+", "a", "s1", motion, 10.0)
        self.assertTrue(holds.renew("x", "+", "a", 10.3))
        self.assertEqual(holds.lapsed(10.69), [])
        with self.assertRaises(hold.Busy):
            holds.renew("x", "-", "a", 10.5)
        with self.assertRaises(hold.Busy):
            holds.renew("x", "+", "b", 10.5)
        self.assertEqual([held.name for held in holds.lapsed(10.71)], ["x"])
        with self.assertRaises(hold.Busy):
            holds.renew("x", "+", "a", 10.8)
        # Another press starts afresh; a stream's close takes its jogs only.
        holds.add("x", "+", "b", "s1", self.Motion(), 11.0)
        holds.add("y", "-", None, "s2", self.Motion(), 11.0)
        self.assertEqual([held.name for held in holds.of_stream("s1")], ["x"])
        self.assertIsNotNone(holds.jogging("y"))
        # A jog that ended by itself is no longer held.
        holds.add("z", "+", "c", None, motion, 11.0)
        motion.finished = True
        self.assertFalse(holds.renew("z", "+", None, 11.1))
        self.assertEqual([held.name for held in holds.take(None, "stop")], ["y"])


class BroadcastTest(unittest.TestCase):
    """Publishing never waits for a client: a stream not read keeps the
    newest state and a bounded backlog of the other events."""

    def test_a_stream_not_read_holds_up_nobody_and_keeps_what_matters(self):
        support.add_tool_to_path()
        from qzr_kov_tool.panel import broadcast
        hub = broadcast.Broadcaster(limit=2)
        hub.state({"seq": 0})
        slow, quick = hub.open(), hub.open()
        self.assertIsNone(hub.open())               # the limit
        self.assertEqual(quick.next(0), [broadcast.encoded("state", {"seq": 0})])
        for seq in range(1, 1001):
            hub.state({"seq": seq})
            hub.event("move", {"n": seq})
        chunks = slow.next(0)
        self.assertEqual(len(chunks), broadcast.BACKLOG + 1)
        self.assertEqual(chunks[0], broadcast.encoded("move", {"n": 1001 - broadcast.BACKLOG}))
        self.assertEqual(chunks[-1], broadcast.encoded("state", {"seq": 1000}))
        self.assertEqual(quick.next(0)[-1], broadcast.encoded("state", {"seq": 1000}))
        self.assertEqual(slow.next(0), [])          # nothing new: nothing sent
        hub.close_stream(slow)
        self.assertIsNone(slow.next(0))
        self.assertEqual(hub.ids(), {quick.id})
        self.assertIsNotNone(hub.open())            # room again
        hub.close()
        self.assertIsNone(quick.next(0))
        self.assertIsNone(hub.open())
        with self.assertRaises(ValueError):         # NaN is never sent
            hub.event("move", {"n": float("nan")})


class GuardRulesTest(unittest.TestCase):
    def test_names_ports_and_origins(self):
        support.add_tool_to_path()
        from qzr_kov_tool.panel import guard
        rules = guard.Guard("t" * 43, "0.0.0.0", 8080, allowed=["cell-7.local", "::2"])
        for host in ("0.0.0.0:8080", "cell-7.local:8080", "Cell-7.LOCAL:8080", "[::2]:8080",
                     "localhost:8080", "[::1]:8080"):
            self.assertTrue(rules.host_ok(host), host)
        for host in ("cell-8.local:8080", "cell-7.local:8081", "cell-7.local", "[::2:8080",
                     "cell-7.local:80x", "::1:8080", None, ""):
            self.assertFalse(rules.host_ok(host), host)
        self.assertTrue(guard.Guard("t", "::1", 80).host_ok("[::1]"))
        self.assertTrue(rules.origin_ok(None, "cell-7.local:8080"))
        self.assertTrue(rules.origin_ok("http://cell-7.local:8080", "cell-7.local:8080"))
        self.assertFalse(rules.origin_ok("http://localhost:8080", "cell-7.local:8080"))
        self.assertEqual(guard.url_host("::1"), "[::1]")
        self.assertTrue(guard.is_loopback("::1") and guard.is_loopback("127.0.0.2"))
        self.assertFalse(guard.is_loopback("0.0.0.0") or guard.is_loopback("cell-7.local"))
        self.assertEqual(len(guard.new_token()), 43)
        self.assertNotEqual(guard.new_token(), guard.new_token())


class ToolTest(support.ToolCase):
    """The command itself: one line to open, Ctrl-C stops every axis."""

    def test_it_prints_one_line_and_ctrl_c_stops_every_axis(self):
        path = support.description_file()
        tool = self.interactive("--machine", path, "--simulate", "panel")
        line = tool.read_until("panel: ")
        match = re.match(r"panel: http://127\.0\.0\.1:(\d+)/\?token=([\w-]{43})\n$", line)
        self.assertIsNotNone(match, line)
        port, token = int(match.group(1)), match.group(2)
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=PATIENCE)
        self.addCleanup(connection.close)
        connection.request("POST", "/api/axes/x/move", body=b'{"target": 290, "velocity": 5}',
                           headers={"Authorization": "Bearer " + token})
        self.assertEqual(connection.getresponse().status, 202)
        folder = os.readlink("/proc/%d/cwd" % tool.process.pid)
        tool.process.send_signal(signal.SIGINT)
        code, out, err = tool.finish()
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out.splitlines(), [
            line.rstrip("\n"), "panel closed (SIGINT): every axis was stopped"])
        logged = ""
        for name in os.listdir(os.path.join(folder, "log")):
            with open(os.path.join(folder, "log", name), encoding="utf-8") as f:
                logged += f.read()
        for station in (1, 2, 3):
            self.assertIn("Stop station %d" % station, logged)

    def test_beyond_loopback_it_warns(self):
        tool = self.interactive("--machine", support.description_file(), "--simulate", "panel",
                                "--listen", "0.0.0.0:0")
        self.assertRegex(tool.read_until("panel: "), r"^panel: http://0\.0\.0\.0:\d+/\?token=")
        tool.process.send_signal(signal.SIGINT)
        code, out, err = tool.finish()
        self.assertEqual(code, 0)
        self.assertRegex(err, r"\Aqzr-kov: warning: the panel listens on 0\.0\.0\.0:\d+, beyond "
                              r"this machine: whoever reaches it with the token can move the "
                              r"axes\n\Z")

    def test_usage(self):
        for args, words in ((["panel"], "give its description with --machine FILE"),
                            (["--machine", "m.json", "panel", "--listen", "localhost"],
                             "is not HOST:PORT"),
                            (["--machine", "m.json", "panel", "--listen", "[::1:80"],
                             "is not HOST:PORT")):
            result = support.run_tool(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(words, result.stderr)


if __name__ == "__main__":
    unittest.main()
