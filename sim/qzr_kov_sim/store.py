"""Plain memory of one station: coils and 16-bit data registers."""


class StationStore(object):
    """Coils (bool) and 16-bit registers of one station; unset ones read 0.

    A 32-bit value at register n occupies the 16-bit registers n (low word)
    and n + 1 (high word), so overlapping accesses behave like the device.
    """

    def __init__(self, number=0):
        self.number = number
        self._coils = {}
        self._words = {}

    def sync(self, now):
        """Bring the station up to time NOW before an exchange (no-op here)."""

    def read_coil(self, prefix, number):
        return self._coils.get((prefix, number), False)

    def write_coil(self, prefix, number, value):
        self._coils[(prefix, number)] = bool(value)

    def read_word(self, space, number):
        return self._words.get((space, number), 0)

    def read_u32(self, space, number):
        return self.read_word(space, number) | (self.read_word(space, number + 1) << 16)

    def write_u32(self, space, number, value):
        self._words[(space, number)] = value & 0xFFFF
        self._words[(space, number + 1)] = (value >> 16) & 0xFFFF
