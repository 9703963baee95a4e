"""Timing and growth measures shared by the benchmarks."""

import time

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
