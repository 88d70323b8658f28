"""What the AT-SPI checkers share: letting pyatspi deliver its events, and walking an application's
tree of accessible objects."""
import time

import pyatspi
from gi.repository import GLib


def pump(seconds=0.0):
    """Lets pyatspi deliver the events queued for the listeners, for at least seconds."""
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while True:
        while context.iteration(False):
            pass
        if time.monotonic() >= end:
            return
        time.sleep(0.05)


def descendants(accessible):
    """Every object below accessible, depth first."""
    for i in range(accessible.childCount):
        child = accessible.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        # Table cells have no children; a table's cells are reached through its own interface.
        if child.getRole() != pyatspi.ROLE_TABLE:
            yield from descendants(child)
