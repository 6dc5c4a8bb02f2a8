"""The tool's entry point on simulated lines whose log folder is broken for
real once a chosen master call went out. Run as a program (by
tests/test_tool_log.py) in a scratch folder:

    python3 broken_log_driver.py MODE POINT TOOL-ARGUMENT...

POINT is the master call ("set_coil:R1", or "set_coil:R1:2" for the second
such call; "start": before the tool begins), MODE "folder" (the log folder
replaced, the day's file a folder) or "size" (a file size limit: a write
error, which names no file). The tool's lines are caught where the tool
and the simulator make them (connect.simulated_line, qzr_kov_sim.
machine_lines); nothing of the tool or the module is changed. Once the tool
is done, what became of every station goes to state.json, with the
command coils (R0 stop, R1 to R6 starts) the tool set on each.
"""
import json
import os
import resource
import signal
import sys
import threading

import qzr_kov_sim
from qzr_kov_tool import cli, connect

COMMAND_COILS = ("R0", "R1", "R2", "R3", "R4", "R5", "R6")
STATE = "state.json"


class LogBreaker(object):
    """Breaks the log once the master call POINT (split at ":") went out."""

    def __init__(self, mode, point):
        self.mode, self.point = mode, point
        self.broken = False
        self.calls = 0
        self.lock = threading.Lock()      # the homing workers of a group call at once

    def break_log(self):
        path = str(sys.modules["qzr_kov"]._log_filename)
        if self.mode == "folder":
            # Made aside and put in place whole: a record written meanwhile
            # finds no folder, rather than creating the file in the new one.
            os.makedirs(os.path.join("log.broken", os.path.basename(path)))
            os.rename("log", "log.before")
            os.rename("log.broken", "log")
        else:
            resource.setrlimit(resource.RLIMIT_FSIZE,
                               (os.path.getsize(path), resource.RLIM_INFINITY))
        self.broken = True

    def hook(self, line):
        """LINE, its operation of POINT breaking the log at the chosen call."""
        if len(self.point) < 2:
            return line
        operation, name = self.point[0], self.point[1]
        nth = int((self.point[2:] or [1])[0])
        call = getattr(line, operation)

        def hooked(station, called, *rest):
            result = call(station, called, *rest)
            with self.lock:
                if called == name and not self.broken:
                    self.calls += 1
                    if self.calls == nth:
                        self.break_log()
            return result
        setattr(line, operation, hooked)
        return line


class Watch(object):
    """Catches the lines the tool makes and tells what became of them."""

    def __init__(self, breaker):
        self.breaker = breaker
        self.lines = []

    def install(self):
        make_line, make_lines = connect.simulated_line, qzr_kov_sim.machine_lines

        def simulated_line(*args):
            line = make_line(*args)
            self.lines.append(line)
            return self.breaker.hook(line)

        def machine_lines(*args, **kwargs):
            made = make_lines(*args, **kwargs)
            self.lines.extend(made.values())
            return dict((name, self.breaker.hook(line)) for name, line in made.items())

        connect.simulated_line, qzr_kov_sim.machine_lines = simulated_line, machine_lines

    def state(self):
        """Every station of the tool's lines once the tool is done."""
        stations = [(line, number, station) for line in self.lines
                    for number, station in sorted(line.stations.items())]
        commands = dict((number, [args[1] for op, args in line.calls if op == "set_coil"
                                  and args[0] == number and args[2]
                                  and args[1] in COMMAND_COILS])
                        for line, number, _ in stations)
        history = dict((number, [what for _, what, _ in station.history])
                       for _, number, station in stations)
        workers = [thread.name for thread in threading.enumerate() if not thread.daemon
                   and thread is not threading.main_thread() and thread.is_alive()]
        return dict(broken=self.breaker.broken, closed=[line.closed for line in self.lines],
                    moving=[s.moving for _, _, s in stations], commands=commands,
                    history=history, workers=workers)


def main(argv):
    mode, point = argv[0], argv[1].split(":")
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    breaker = LogBreaker(mode, point)
    watch = Watch(breaker)
    watch.install()
    if point == ["start"]:
        connect.load_controller_module(True)
        breaker.break_log()
    code = cli.main(argv[2:])
    with open(STATE, "w") as stream:
        json.dump(watch.state(), stream)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
