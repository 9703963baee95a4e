"""Throughput, memory and idle cost of a running DeviceMonitor.

Plugs and unplugs a simulated USB stick many times while a monitor runs on
its own thread, then leaves the monitor idle for a while and reports how
much CPU its thread used meanwhile (it should use none: it waits in
WaitMessage, it does not poll).

    PYTHONPATH=build/python python2.7 bench/monitor_events.py [cycles]
"""

import gc
import os
import sys
import threading
import time

import simwin
from windows import plugwatch

from measure import report_growth, resident_kilobytes, timed

WAIT_SECONDS = 10.0
IDLE_SECONDS = 1.0
STICK = u"\\\\?\\Volume{00000000-1111-4222-8333-444444444444}\\"


class CountingHandler(object):

    def __init__(self):
        self.count = 0
        self.lock = threading.Lock()

    def Push(self, event):
        with self.lock:
            self.count += 1


def thread_cpu_seconds(native_id):
    with open("/proc/self/task/%d/stat" % native_id) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / float(ticks)


def other_thread_ids():
    """The kernel ids of every thread but the main one (the monitor's among them)."""
    tasks = os.listdir("/proc/self/task")
    return [int(task) for task in tasks if int(task) != os.getpid()]


def start_monitor(handler):
    """A DeviceMonitor running on its own thread, once its window exists."""
    simwin.reset()
    simwin.record_calls(False)
    monitor = plugwatch.DeviceMonitor(handler=handler)
    monitor.daemon = True
    monitor.start()
    deadline = time.time() + WAIT_SECONDS
    while not simwin.windows() and time.time() < deadline:
        time.sleep(0.01)
    return monitor


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    handler = CountingHandler()
    monitor = start_monitor(handler)

    def plug_and_unplug():
        if simwin.plug(STICK, [u"G:\\"], filesystem=u"exFAT", drive_type=2) != 1:
            raise SystemExit("the monitor did not process the arrival")
        if simwin.unplug(STICK) != 1:
            raise SystemExit("the monitor did not process the removal")

    print("%d plug/unplug cycles through a running monitor" % cycles)
    plug_and_unplug()
    gc.collect()
    before_objects = len(gc.get_objects())
    before_memory = resident_kilobytes()
    timed("arrival + removal, sent and pushed", plug_and_unplug, cycles)
    gc.collect()
    failed = report_growth(before_objects, len(gc.get_objects()),
                           before_memory, resident_kilobytes())
    if handler.count != 2 * (cycles + 1):
        print("  events pushed: %d, expected %d" % (handler.count, 2 * (cycles + 1)))
        failed = True

    tasks = other_thread_ids()
    cpu_before = sum(thread_cpu_seconds(task) for task in tasks)
    time.sleep(IDLE_SECONDS)
    idle_cpu = sum(thread_cpu_seconds(task) for task in tasks) - cpu_before
    print("  CPU used by the other threads while idle for %.1f s: %.3f s"
          % (IDLE_SECONDS, idle_cpu))
    if idle_cpu > 0.05:
        print("  the idle monitor is busy: it should wait, not poll")
        failed = True

    monitor.Stop()
    monitor.join(WAIT_SECONDS)
    if monitor.is_alive():
        print("  the monitor did not stop")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
