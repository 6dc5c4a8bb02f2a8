"""A serial line of simulated stations, and the registry of opened lines."""

from .protocol import CommunicationError
from .recording import RecordingMaster
from .station import DEFAULT_LAYOUT, SimulatedStation

#: port -> the most recently created line for that port
lines = {}

_factory = [None]


class SimulatedLine(RecordingMaster):
    """A master whose stations are simulated axes.

    ``SimulatedLine(port=None, baudrate=115200, *, stations=None,
    layout=None, exchange_time=None, clock=None, auto_stations=True)``

    - STATIONS: station numbers, or a dict number -> layout dict, created up
      front.
    - LAYOUT: layout for stations created on demand, merged over
      ``DEFAULT_LAYOUT``: a dict, or a callable taking the station number
      and returning a dict.
    - EXCHANGE_TIME: clock seconds each exchange holds the line (default 0;
      on a real 115200-baud line an exchange takes a few ms), or a pair
      ``(base, per_value)``: BASE plus PER_VALUE for each value the exchange
      reads or writes (the status block's 11 values take longer than a
      coil).
    - CLOCK: ``RealClock()`` by default; motion is computed from its time.
    - AUTO_STATIONS: when false, exchanges with a station not created
      beforehand fail with CommunicationError as if nobody answered.

    Recording, ``fail_on``, ``script`` etc. work as on RecordingMaster.
    """

    @staticmethod
    def _bind(port=None, baudrate=115200, *, stations=None, layout=None,
              exchange_time=None, clock=None, auto_stations=True):
        return dict(port=port, baudrate=baudrate, stations=stations, layout=layout,
                    exchange_time=exchange_time, clock=clock,
                    auto_stations=auto_stations)

    def _configure(self, params):
        self.layout = params["layout"] or {}
        self.auto_stations = params["auto_stations"]
        stations = params["stations"] or {}
        if not isinstance(stations, dict):
            stations = dict.fromkeys(stations)
        for number, layout in sorted(stations.items()):
            self.add_station(number, **(layout or {}))
        if self.port is not None:
            lines[self.port] = self

    def _layout_for(self, number):
        layout = self.layout(number) if callable(self.layout) else self.layout
        return dict(DEFAULT_LAYOUT, **layout)

    def add_station(self, number, **layout):
        """Create (or replace) station NUMBER with LAYOUT over the line's
        layout; returns the station."""
        with self._lock:
            settings = dict(self._layout_for(number), **layout)
            station = SimulatedStation(number, clock=self.clock, lock=self._lock, **settings)
            self._stores[number] = station
            return station

    def station(self, number):
        """The station NUMBER, created from the line's layout if need be."""
        with self._lock:
            station = self._stores.get(number)
            return self.add_station(number) if station is None else station

    @property
    def stations(self):
        """dict number -> station of the stations that exist so far."""
        with self._lock:
            return dict(self._stores)

    def _store(self, station, exchange):
        if exchange and not self.auto_stations and station not in self._stores:
            raise CommunicationError("no answer from station %d" % station)
        return self.station(station)

    def reopen(self):
        """Make a closed line usable again (the stations keep their state)."""
        with self._lock:
            self.closed = False
            return self


def _open_params(port, *, baudrate=115200):
    return port, baudrate


def reopen_closed_lines(port, baudrate):
    """A line factory: the closed line last opened for PORT comes back with
    its stations as they were (like a master reconnecting to the same
    hardware); otherwise a fresh ``SimulatedLine``."""
    previous = lines.get(port)
    if isinstance(previous, SimulatedLine) and previous.closed:
        previous.baudrate = baudrate
        return previous.reopen()
    return SimulatedLine(port, baudrate=baudrate)


def set_line_factory(factory=None):
    """Choose what ``open_line`` (and so the stand-in ``MewMaster``) makes.

    FACTORY is called as ``factory(port, baudrate)`` and returns the master;
    None restores the default, a fresh ``SimulatedLine(port,
    baudrate=baudrate)``.  Returns the factory that was in place.
    """
    previous, _factory[0] = _factory[0], factory
    return previous


def open_line(*args, **kwargs):
    """``open_line(port, *, baudrate=115200)``: a line made by the current
    factory, registered in ``lines`` and carrying the constructor arguments
    exactly as passed in ``init_args`` / ``init_kwargs``."""
    port, baudrate = _open_params(*args, **kwargs)
    factory = _factory[0]
    if factory is None:
        line = SimulatedLine(port, baudrate=baudrate)
    else:
        line = factory(port, baudrate)
    line.init_args = args
    line.init_kwargs = dict(kwargs)
    lines[port] = line
    return line
