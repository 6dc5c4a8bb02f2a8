# Type stub of the extension module qzr_kov.
#
# Lengths are millimetres, speeds millimetres per second and times seconds;
# a station is the number of a motion-control module on the serial line.
#
# The docstrings here are the English help shown by editors; the module's
# own docstrings (help() at run time) are those of the original controller.
import logging
from datetime import date as _date
from enum import IntEnum as _IntEnum
from logging import Formatter as _LogFormatter
from logging import Handler as _LogHandler
from logging import LogRecord as _LogRecord
from logging import getLogger as _get_logger
from pathlib import Path as _Path
from threading import Thread as _Thread
from time import sleep as _sleep
from time import time as _now
from typing import Any, Dict, List, Optional, Union
from typing import Optional as _Optional
from typing import Union as _Union

_MewMaster: Any
"""The class MewMaster of the master module qzr_mew, imported first of all.

KOVAxisController calls it as MewMaster(port, baudrate=...) to open a line;
importing qzr_kov fails with ImportError when qzr_mew or the class is missing.
"""
_LOG_INFO: int
"""logging.INFO (20): the level of the module's logger and file handler."""

logger: logging.Logger
"""The module's logger, named "qzr_kov": level INFO, propagating to the root.

Every logged action writes one INFO line through it into the day's log file
(see _log_filename); add your own handlers to see the lines elsewhere.
"""

class FileLogHandler(logging.Handler):
    """Appends each record to FILENAME, opening and closing it every time."""

    def __init__(self, filename: str, level: int = 20) -> None:
        """A handler writing to the file FILENAME (a str), at LEVEL (default INFO).

        Nothing is opened yet: the file is opened, written and closed for each
        record. Raises TypeError when FILENAME is neither a str nor None.
        """
    def emit(self, record: logging.LogRecord) -> None:
        """Formats RECORD and appends it, with a newline, to the file in UTF-8.

        Creates the file if needed. Holds the handler's lock while writing, so
        lines from several threads never mix. An error opening or writing the
        file (folder gone, disk full) is raised as OSError from the logging
        call, not passed to handleError; so it comes out of the controller
        method that logged.
        """

_today: _date
"""The day the module was imported; it names the log file."""
_log_path: _Path
"""Path("log"): the log folder, relative to the working directory at import,
where importing the module created it."""
_log_filename: _Path
"""The day's log file: log/qzr_kov-YYYYMMDD.log, named after the day of import."""
_file_log_handler: FileLogHandler
"""The FileLogHandler on _log_filename that the import attached to logger."""
_formatter: logging.Formatter
"""The format of a log line: "2026-01-05 14:03:07,123 - INFO - Stop station 1"."""

_MaxPulsePerSecond: int
"""The highest pulse rate the speed setters accept: 70000 pulses per second.

A faster speed fails with AssertionError while assertions are enabled
(not under python -O).
"""

class Direction(_IntEnum):
    """The direction of a run or origin search along the axis."""

    Negative = -1
    """Towards smaller coordinates (and the negative limit switch)."""
    Positive = 1
    """Towards larger coordinates (and the positive limit switch)."""
    def reverse(self) -> Direction:
        """The opposite direction: Negative for Positive and Positive for Negative."""

class StopSource(_IntEnum):
    """Why a station last stopped sending pulses."""

    Null = 0
    """No stop cause: the move ran to its end (or nothing has stopped yet)."""
    Command = 1
    """A stop command (stop(), or the coil R0)."""
    Origin = 2
    """The origin search found the origin sensor."""
    NegativeLimit = 3
    """The negative limit switch."""
    PositiveLimit = 4
    """The positive limit switch."""
    Alarm = 5
    """The drive's alarm input."""
    Emergency = 6
    """The emergency input (normally closed: the button was pressed)."""

class FindingOMethod(_IntEnum):
    """How find_o searches for the origin (KOVAxisController.finding_o_method)."""

    LimitFirstThenBackward = 0
    """Run to the limit switch on the start side first, then search for the
    origin in the opposite direction (the default)."""
    OriginOnly = 1
    """One origin search in the given direction, without the limit switches."""

class KOVAxisController:
    """Drives the stations on one serial line through one master object.

    Every method takes the station number first. Lengths are millimetres,
    speeds mm/s, times seconds; each station's scale (set_ppmm) turns them
    into the pulses, pulses per second and milliseconds the stations count.

    The methods that talk to a station pass the master's exceptions on
    unchanged (nothing is retried) and raise AttributeError while the
    controller is closed. Methods that log write one INFO line after their
    commands went out; if the log file cannot be written, its OSError comes
    out of the method. The controller takes no lock of its own: the master
    completes one exchange at a time.
    """

    __mew: Any
    """The master object; None while the controller is closed."""
    baudrate: Any
    """The baud rate given to the constructor; open() opens with it again."""
    _ppmm: Dict[int, Union[int, float]]
    """Pulses per millimetre by station, as set_ppmm stored them."""
    _find_o_threads: Dict[int, _Thread]
    """The homing worker by station, from find_o until its result is collected."""
    _finding_o_method: FindingOMethod
    """What the finding_o_method property reads and writes."""

    def __init__(self, port: Any, baudrate: int = 115200) -> None:
        """A controller for the line PORT.

        PORT is a port name (a non-empty str such as "/dev/ttyUSB0": a master
        is opened with MewMaster(port, baudrate=BAUDRATE)), None (the
        controller starts closed; open() it later) or any other object, which
        is adopted as the master itself (a simulated line, for instance). The
        homing method starts as FindingOMethod.LimitFirstThenBackward and every
        scale as 1 pulse per mm. Logs "KOV Axis Controller created with port
        ..., baudrate ...". Raises what MewMaster raises.
        """
    def close(self, force: bool = False) -> None:
        """Closes the master and leaves the controller closed.

        Logs "KOV Axis Controller closed. force = ..." first, then does
        nothing more if already closed. Refuses with RuntimeError ("Not all
        axis are ready for close. Some is finding o.") while a homing result
        has not been collected, unless FORCE is true; forcing does not stop
        the homing workers. Raises what the master's close() raises.
        """
    def __del__(self) -> None:
        """Calls close() when the controller is destroyed; its errors are reported
        as unraisable, not raised."""
    @property
    def finding_o_method(self) -> FindingOMethod:
        """The homing method find_o uses; LimitFirstThenBackward at first."""
    @finding_o_method.setter
    def finding_o_method(self, value: FindingOMethod) -> None:
        """Sets the homing method and logs "Set finding o method to N".

        Raises AssertionError (while assertions are enabled) when VALUE is
        not a FindingOMethod member.
        """
    def open(self, port: Any) -> None:
        """Opens a new master on PORT with the constructor's baud rate.

        Calls MewMaster(port, baudrate=...) and logs "KOV Axis Controller is
        opened again with port ....". Raises RuntimeError when the controller
        is open already (close() it first), and what MewMaster raises.
        """

    # Scale and speed profile
    def set_ppmm(self, station: int, ppmm: Union[int, float]) -> None:
        """Sets the scale of STATION: PPMM pulses per millimetre.

        Only the controller keeps it; nothing is sent. Logs "Set PPMM to ...
        for station ...". Raises AssertionError (while assertions are
        enabled) when PPMM is 0.
        """
    def ppmm(self, station: int) -> Union[int, float]:
        """The scale of STATION in pulses per millimetre: 1 until set_ppmm."""
    def to_pulse(self, station: int, value: float) -> int:
        """VALUE millimetres (or mm/s) in pulses (or pulses/s) of STATION.

        Multiplies by the scale and truncates toward zero: 12.7 pulses become
        12, -12.7 become -12. Raises TypeError when VALUE is not a number.
        """
    def from_pulse(self, station: int, value: float) -> float:
        """VALUE pulses (or pulses/s) of STATION in millimetres (or mm/s).

        Divides by the scale; the result is always a float. Raises
        ZeroDivisionError for a scale of 0, TypeError for a non-number.
        """
    def stop(self, station: int) -> None:
        """Stops STATION's motion: sets the command coil R0.

        A move or run ends with StopSource.Command; a homing run then ends
        with the result False. Logs "Stop station N".
        """
    def set_start_velocity(self, station: int, velocity: float) -> None:
        """Sets the start velocity of the speed ramp, VELOCITY mm/s.

        Writes it in pulses per second to DT0. Logs "Set start velocity to
        ..., station ...". Raises AssertionError (while assertions are
        enabled) above 70000 pulses per second (_MaxPulsePerSecond).
        """
    def set_velocity(self, station: int, velocity: float) -> None:
        """Sets the velocity of moves and runs, VELOCITY mm/s.

        Writes it in pulses per second to DT2. Logs "Set velocity to ...,
        station ...". Raises AssertionError (while assertions are enabled)
        above 70000 pulses per second (_MaxPulsePerSecond).
        """
    def set_acceleration_time(self, station: int, time: float) -> None:
        """Sets the time of the ramps up and down, TIME seconds.

        Writes it in whole milliseconds (truncated) to DT4. Logs "Set
        acceleration time to ..., station ...".
        """
    def set_parameters(self, station: int, start_velocity: float, velocity: float,
                       acceleration_time: float) -> None:
        """Sets the whole speed profile of STATION in one write.

        START_VELOCITY and VELOCITY in mm/s and ACCELERATION_TIME in seconds
        go to DT0, DT2 and DT4 as pulses/s, pulses/s and milliseconds. Logs
        "Set (start velocity, velocity, acceleration time) to (...)". Raises
        AssertionError (while assertions are enabled) unless 0 <
        START_VELOCITY <= VELOCITY, ACCELERATION_TIME >= 0 and VELOCITY is at
        most 70000 pulses per second.
        """

    # Moves, runs and drive power
    def set_absolute_target(self, station: int, target: float) -> None:
        """Writes the target of an absolute move, TARGET mm, to DT6 in pulses.

        Does not move and does not log.
        """
    def set_relative_target(self, station: int, target: float) -> None:
        """Writes the distance of a relative move, TARGET mm, to DT8 in pulses.

        Does not move and does not log.
        """
    def locate_absolutely(self, station: int, target: float) -> None:
        """Starts a move of STATION to the coordinate TARGET mm; returns at once.

        Writes the target (DT6), then sets the command coil R1. Logs
        "Absolutely locating with target ..., station ...". Wait for the end
        with wait_for_locating_done.
        """
    def locate_relatively(self, station: int, target: Optional[float] = None) -> None:
        """Starts a move of STATION by TARGET mm (negative: backwards); returns at once.

        Writes the distance (DT8), then sets the command coil R2; with TARGET
        None the last distance written is moved again. Logs "Relatively
        locating with target ..., station ...". Wait for the end with
        wait_for_locating_done.
        """
    def wait_for_locating_done(self, station: int, timeout: float = 0.0) -> None:
        """Waits until STATION stops sending pulses, then checks why it stopped.

        Reads the running output Y1 every 10 ms, releasing the interpreter
        lock in between; TIMEOUT 0 (or less) waits for good. Then reads the
        stop source (D20) and logs "Station ... locating done. Stop source:
        N". Returns None when the move ran to its end (StopSource.Null).
        Raises TimeoutError ("定位超时") after TIMEOUT seconds while the move
        goes on; IOError ("定位动作因故未能完成:N", N the StopSource) when it
        ended early (stop command, limit, alarm, emergency); ValueError when
        the station reports a code that is no StopSource.
        """
    def run_positive(self, station: int) -> None:
        """Starts running STATION in the positive direction; returns at once.

        Sets the command coil R4. The run goes on until stop(), the positive
        limit (when enabled), the alarm or the emergency input. Logs
        "Station N run positive".
        """
    def run_negative(self, station: int) -> None:
        """Starts running STATION in the negative direction; returns at once.

        Sets the command coil R3. The run goes on until stop(), the negative
        limit (when enabled), the alarm or the emergency input. Logs
        "Station N run negative".
        """
    def enable_axis(self, station: int) -> None:
        """Powers the drive of STATION (output Y2 on): the motor holds its torque.

        Logs "Enable axis(station) N".
        """
    def disable_axis(self, station: int) -> None:
        """Switches the drive of STATION off (output Y2 off): the axis goes slack.

        Logs "Disable axis(station) N".
        """
    def _find_o(self, station: int, direction: Direction) -> None:
        """Starts the station's own origin search towards DIRECTION; returns at once.

        Sets the command coil R5 (Negative) or R6 (Positive) and logs "Start
        finding O for station ..., direction ...". A step of the homing
        methods; find_o is the call to use.
        """

    # Status and position
    def status_words(self, station: int) -> List[Any]:
        """Reads STATION's status block in one exchange.

        Reads 11 values from DT10 and returns [position in mm, encoder
        position in mm, velocity in mm/s, I/O word, 0]. The I/O word holds
        the inputs in its low 16 bits (X0 origin, X1 negative limit, X2
        positive limit, X3 emergency, X4 alarm) and the outputs in its high
        16 bits (Y1 running). Give the list to the predicates and
        get_position to answer them without further reads.
        """
    def get_position(self, station: int, status_words: Optional[List[Any]] = None) -> float:
        """The coordinate of STATION in mm.

        Taken from STATUS_WORDS (element 0) when given, else read from DT10
        and converted with the station's scale.
        """
    def set_position(self, station: int, position: float) -> None:
        """Declares the axis's present place to be the coordinate POSITION mm.

        Writes it in pulses to DT10; the axis does not move. Does not log.
        """
    def set_here_o(self, station: int) -> None:
        """Makes the axis's present place the origin, coordinate 0.

        Writes 0 to DT10 through set_position; logs "Set here O for station N".
        """
    def is_alarming(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """Whether the drive's alarm input X4 of STATION is on.

        Answered from STATUS_WORDS when given, else by one coil read.
        """
    def is_running(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """Whether STATION is sending pulses (output Y1): a move, run or search goes on.

        Answered from STATUS_WORDS when given, else by one coil read.
        """
    def at_o(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """Whether the origin sensor input X0 of STATION is on.

        Answered from STATUS_WORDS when given, else by one coil read.
        """
    def at_positive_limit(self, station: int,
                          status_words: Optional[List[Any]] = None) -> bool:
        """Whether the positive limit switch input X2 of STATION is on.

        Answered from STATUS_WORDS when given, else by one coil read.
        """
    def at_negative_limit(self, station: int,
                          status_words: Optional[List[Any]] = None) -> bool:
        """Whether the negative limit switch input X1 of STATION is on.

        Answered from STATUS_WORDS when given, else by one coil read.
        """
    def at_emergency(self, station: int, status_words: Optional[List[Any]] = None) -> bool:
        """The emergency input X3 of STATION as it is.

        The input is normally closed: True while all is well, False while the
        emergency button is pressed. Answered from STATUS_WORDS when given,
        else by one coil read.
        """
    def get_stop_source(self, station: int) -> StopSource:
        """Why STATION last stopped sending pulses, read from D20.

        Raises ValueError ("N is not a valid StopSource") when the station
        reports another code.
        """

    # Raw coil access
    def get_coil(self, station: int, name: Optional[str]) -> Any:
        """Reads the coil NAME (such as "X0", "R12") of STATION; returns what the master returns.

        Raises TypeError when NAME is not a str.
        """
    def set_coil(self, station: int, name: Optional[str], value: bool) -> None:
        """Writes VALUE to the coil NAME of STATION, passed to the master unchanged.

        Raises TypeError when NAME is not a str.
        """
    def get_coil_uint16(self, station: int, name: Optional[str]) -> Any:
        """Reads the sixteen coils from NAME on (such as "X0") as one number, through the master.

        Raises TypeError when NAME is not a str.
        """
    def set_coil_uint16(self, station: int, name: Optional[str], value: int) -> None:
        """Writes the sixteen coils from NAME on as one number VALUE, through the master.

        Raises TypeError when NAME is not a str.
        """

    # Homing
    def __find_o_stage_0(self, station: int, direction: Direction) -> None:
        """Runs STATION to the limit switch on the DIRECTION side and waits for it.

        Does nothing when the axis is on that limit already. Raises IOError
        ("找原点阶段一，因故停机:N") when the run stopped for another reason.
        The first step of the limit-first homing method.
        """
    def _find_o_thread_func(self, station: int, direction: Direction) -> None:
        """The homing worker's body: runs the controller's finding_o_method.

        Logs "Finding o started, method ..., station ...". Started by find_o
        in a thread of its own.
        """
    def _find_o_origin_only(self, station: int, direction: Direction) -> None:
        """The origin-only homing method: searches towards DIRECTION and waits.

        When the station stopped on the origin, makes it coordinate 0. Any
        failure (a communication error included) ends it silently; the
        result of wait_for_find_o_finish tells.
        """
    def _find_o_thread_func_limit_first_then_backward(self, station: int,
                                                      direction: Direction) -> None:
        """The limit-first homing method: to the limit on the DIRECTION side, then
        an origin search the other way.

        When the station stopped on the origin, makes it coordinate 0. Any
        failure (a communication error included) ends it silently; the
        result of wait_for_find_o_finish tells.
        """
    def find_o(self, station: int, start_velocity: float, velocity: float,
               acceleration_time: float, direction: Direction = ...) -> None:
        """Starts homing STATION in a worker thread; returns at once.

        Writes the speed profile (START_VELOCITY and VELOCITY in mm/s,
        ACCELERATION_TIME in seconds, as set_parameters does), then runs
        finding_o_method starting towards DIRECTION (default Negative). On
        success the origin becomes coordinate 0. Collecting the result with
        wait_for_find_o_finish is mandatory. Logs "Start finding o, station N".

        Raises BlockingIOError ("Axis N has been finding o.") while the
        station's previous result is uncollected; AssertionError when the
        limit on the start side is disabled under LimitFirstThenBackward
        ("禁用了负极限…" / "禁用了正极限…", under python -O too), and, while
        assertions are enabled, when DIRECTION is not a Direction or
        set_parameters refuses the speeds.
        """
    def is_finding_o(self, station: int) -> bool:
        """Whether STATION has a homing run whose result has not been collected yet.

        True from find_o until wait_for_find_o_finish returned True or False,
        even after the motion ended.
        """
    def wait_for_find_o_finish(self, station: int,
                               timeout: Optional[float] = None) -> Optional[bool]:
        """Waits for STATION's homing run to end and collects its result.

        Returns True when the station stopped on the origin (now coordinate
        0), False when the run ended without it (a limit, the emergency
        input, an alarm, a stop command, a communication failure in the
        worker), None when TIMEOUT seconds passed first: the run goes on, an
        ERROR line is logged, call again later. TIMEOUT None waits for good.
        Waiting releases the interpreter lock. Logs "Wait for finding O done.
        Station ..., source ...". Raises ValueError ("Axis is not finding
        origin point, or has been waited.") when no result is pending.
        """

    # Signal configuration
    def origin_rising_valid(self, station: int, value: bool) -> None:
        """Chooses the edge of the origin signal that counts: rising when VALUE is
        true, falling (the station's default) when false.

        Writes VALUE to the coil R10. Logs "Set origin trigger edge as
        rising/falling, station N".
        """
    def disable_negative_limit(self, station: int) -> None:
        """Makes STATION ignore its negative limit switch (coil R12 on).

        Logs "Disable negative limit, station N".
        """
    def enable_negative_limit(self, station: int) -> None:
        """Makes STATION stop at its negative limit switch (coil R12 off).

        Logs "Enable negative limit, station N".
        """
    def negative_limit_is_disabled(self, station: int) -> bool:
        """Whether STATION ignores its negative limit switch: the coil R12, read."""
    def disable_positive_limit(self, station: int) -> None:
        """Makes STATION ignore its positive limit switch (coil R13 on).

        Logs "Disable positive limit, station N".
        """
    def enable_positive_limit(self, axis: int) -> None:
        """Makes the station AXIS stop at its positive limit switch (coil R13 off).

        Logs "Enable positive limit, station N".
        """
    def positive_limit_is_disabled(self, station: int) -> bool:
        """Whether STATION ignores its positive limit switch: the coil R13, read."""
    def disable_alarm(self, station: int) -> None:
        """Makes STATION ignore the drive's alarm input (coil R14 on).

        Logs "Disable alarm, station N".
        """
    def enable_alarm(self, station: int) -> None:
        """Makes STATION stop sending pulses when the drive's alarm input comes on
        (coil R14 off).

        Logs "Enable alarm, station N".
        """
    def alarm_is_disabled(self, station: int) -> bool:
        """Whether STATION ignores the drive's alarm input: the coil R14, read."""
    def disable_emergency(self, station: int) -> None:
        """Makes STATION ignore its emergency input (coil R15 on).

        Logs "Disable emergency, station N".
        """
    def enable_emergency(self, station: int) -> None:
        """Makes STATION stop sending pulses when its emergency input opens
        (coil R15 off); the input is normally closed.

        Logs "Enable emergency, station N".
        """
    def emergency_is_disabled(self, station: int) -> bool:
        """Whether STATION ignores its emergency input: the coil R15, read."""
    def reverse_direction_output(self, station: int, value: bool = True) -> None:
        """Inverts STATION's direction output when VALUE is true (the default),
        restores it when false.

        Writes VALUE to the coil R16. Logs "Set reverse direction output to
        ..., station N".
        """
