"""Module-level state that a forked child gets afresh: the threads that
served it stay behind in the parent, and a lock one of them held at the
fork stays held in the child for ever."""
import os
from typing import Callable, Generic, TypeVar

_T = TypeVar("_T")


class PerProcess(Generic[_T]):
    """``PerProcess(make)``: ``get()`` is the object MAKE made in this
    process. A child made with os.fork gets a new one: made at the fork
    where ``os.register_at_fork`` exists (3.7+), else (3.6) on its first
    ``get()``, which compares the process id."""

    def __init__(self, make: Callable[[], _T]) -> None:
        self._make = make
        self._renew()
        register = getattr(os, "register_at_fork", None)
        if register is not None:
            register(after_in_child=self._renew)

    def _renew(self) -> None:
        self._value = self._make()
        self._pid = os.getpid()

    def get(self) -> _T:
        if self._pid != os.getpid():
            # Several threads of a young child may come here at once; each
            # then holds a fresh object, and the last one made stays.
            self._renew()
        return self._value
