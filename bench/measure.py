"""Timing and growth measures shared by the benchmarks."""

import os
import sys
import time

import simwin

# The host's handle wrapper and stat result stand in once, beside the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tests", "python"))
from testsupport import FileHandle, StatResult  # noqa: E402,F401

# Growth that a long-running process would feel. Small one-off growth (an
# allocator arena, a cache warming up) stays under these.
OBJECT_GROWTH_LIMIT = 100
MEMORY_GROWTH_LIMIT_KB = 2048


def resident_kilobytes():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * 4


def timed(label, operation, repeat):
    started = time.time()
    for _ in range(repeat):
        operation()
    elapsed = time.time() - started
    print("  %-52s %10.1f us each (%d runs)"
          % (label, elapsed / repeat * 1e6, repeat))
    return elapsed


def report_growth(objects_before, objects_after, memory_before, memory_after):
    """Prints the growth of live objects and resident memory; True if too much."""
    print("  live interpreter objects: %d -> %d" % (objects_before, objects_after))
    print("  resident memory: %d KB -> %d KB" % (memory_before, memory_after))
    too_much = (objects_after - objects_before > OBJECT_GROWTH_LIMIT or
                memory_after - memory_before > MEMORY_GROWTH_LIMIT_KB)
    if too_much:
        print("  GROWTH: a long-running process would leak here")
    return too_much


def volume_name(index):
    return u"\\\\?\\Volume{%08x-0000-4000-8000-%012x}\\" % (index, index)


def volume_serial(index):
    return 0x10000000 + index


def make_machine(volume_count):
    """A machine of `volume_count` volumes, a third of them FAT32; the first
    26 have a drive letter besides their folder mount point."""
    simwin.reset()
    simwin.record_calls(False)
    for index in range(volume_count):
        paths = [u"C:\\Mounts\\Disk%04d\\" % index]
        if index < 26:
            paths.insert(0, u"%s:\\" % chr(ord("A") + index))
        simwin.add_volume(volume_name(index), paths, label=u"Disk %d" % index,
                          serial=volume_serial(index),
                          filesystem=u"FAT32" if index % 3 == 0 else u"NTFS",
                          total_bytes=(index + 1) * 1024 ** 3)
