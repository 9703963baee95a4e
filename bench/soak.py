"""Soak: random drive arrivals and removals, table refreshes, and monitor
runs started and stopped, for a given time, reporting at intervals what a
long-running host would feel: live interpreter objects, heap in use and
resident memory, besides every event delivered exactly once, every stop
ending its run, and no stop message posted to a null window.

    PYTHONPATH=build/python python2.7 bench/soak.py [--seconds N] [--every N]

Exits 1 when an event was lost or doubled, a monitor did not stop, or a
stop message went astray.
"""

import argparse
import ctypes
import gc
import logging
import random
import sys
import threading
import time

import simwin
from windows import plugwatch, volumes

from measure import resident_kilobytes

JOIN_SECONDS = 5.0
MAX_MONITORS = 3
DRIVES = "EFGHIJ"


class _MallInfo2(ctypes.Structure):
  _fields_ = [(name, ctypes.c_size_t) for name in (
      "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
      "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_in_use_kilobytes():
  """Bytes the C heap has handed out and not had back (mallinfo2)."""
  libc = ctypes.CDLL(None)
  libc.mallinfo2.restype = _MallInfo2
  info = libc.mallinfo2()
  return (info.uordblks + info.hblkhd) // 1024


class CountingHandler(object):

  def __init__(self):
    self.pushed = 0
    self.lock = threading.Lock()

  def Push(self, event):
    with self.lock:
      self.pushed += 1


class CountingLog(logging.Handler):
  """Counts the monitor's records by message."""

  def __init__(self):
    logging.Handler.__init__(self)
    self.counts = {}

  def emit(self, record):
    self.counts[record.msg] = self.counts.get(record.msg, 0) + 1


def volume_name(letter):
  return u"\\\\?\\Volume{0000050a-0000-4000-8000-0000000000%02x}\\" % ord(letter)


class Soak(object):

  def __init__(self, rng):
    self.rng = rng
    self.handler = CountingHandler()
    self.expected = 0
    self.monitors = []
    self.runs = 0
    self.hangs = 0
    self.stray_posts = 0
    self.plugged = set()
    self.operations = 0

  def start_monitor(self):
    monitor = plugwatch.DeviceMonitor(handler=self.handler, daemon=True)
    windows_before = len(simwin.windows())
    monitor.start()
    deadline = time.time() + JOIN_SECONDS
    while len(simwin.windows()) <= windows_before and time.time() < deadline:
      time.sleep(0.001)
    self.monitors.append(monitor)
    self.runs += 1

  def stop_monitor(self):
    monitor = self.monitors.pop(self.rng.randrange(len(self.monitors)))
    monitor.Stop()
    monitor.join(JOIN_SECONDS)
    if monitor.is_alive():
      self.hangs += 1

  def plug(self):
    letter = self.rng.choice(DRIVES)
    name = volume_name(letter)
    if letter in self.plugged:
      self.expected += simwin.unplug(name)
      self.plugged.discard(letter)
    else:
      self.expected += simwin.plug(name, [u"%s:\\" % letter],
                                   serial=0x50A00 + ord(letter))
      self.plugged.add(letter)

  def refresh(self):
    volumes.VolumeInfo().AllVolumeEntries(force_update=True)

  def step(self):
    choice = self.rng.random()
    if choice < 0.06 and len(self.monitors) < MAX_MONITORS:
      self.start_monitor()
    elif choice < 0.12 and self.monitors:
      self.stop_monitor()
    elif choice < 0.3:
      self.refresh()
    else:
      self.plug()
    self.operations += 1

  def count_stray_posts(self):
    """Stop messages posted to a null window since the last count."""
    calls = simwin.calls()
    simwin.clear_calls()
    self.stray_posts += sum(1 for call in calls
                            if call[0] == "PostMessageW" and call[1] == 0)

  def stop_all(self):
    while self.monitors:
      self.stop_monitor()


def main():
  parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  parser.add_argument("--seconds", type=float, default=60.0)
  parser.add_argument("--every", type=float, default=60.0,
                      help="seconds between reports")
  parser.add_argument("--seed", type=int, default=20)
  parser.add_argument("--no-count-posts", dest="count_posts",
                      action="store_false",
                      help="record no Win32 calls (stray posts go uncounted)")
  options = parser.parse_args()

  simwin.reset()
  simwin.load_default_machine()
  simwin.clear_calls()
  simwin.record_calls(options.count_posts)
  log = CountingLog()
  logging.getLogger("plugwatch").addHandler(log)
  logging.getLogger("plugwatch").propagate = False
  soak = Soak(random.Random(options.seed))

  print("%9s %7s %9s %9s %6s %6s %9s %9s %9s" % (
      "seconds", "runs", "events", "expected", "hangs", "stray",
      "objects", "heap KB", "RSS KB"))
  started = time.time()
  next_report = started
  while True:
    now = time.time()
    if now >= next_report or now - started >= options.seconds:
      soak.count_stray_posts()
      gc.collect()
      print("%9.0f %7d %9d %9d %6d %6d %9d %9d %9d" % (
          now - started, soak.runs, soak.handler.pushed, soak.expected,
          soak.hangs, soak.stray_posts, len(gc.get_objects()),
          heap_in_use_kilobytes(), resident_kilobytes()))
      sys.stdout.flush()
      while next_report <= now:
        next_report += options.every
      if now - started >= options.seconds:
        break
    soak.step()
    # The double's call log is read and emptied often, so that it stays
    # small beside what is measured.
    if options.count_posts and soak.operations % 200 == 0:
      soak.count_stray_posts()

  soak.stop_all()
  soak.count_stray_posts()
  gc.collect()
  failed_posts = log.counts.get(
      "Could not post stop message to window message queue (error %d); "
      "the monitor ends at its next wake-up.", 0)
  print("operations %d, monitor runs %d, events %d of %d, hangs %d, "
        "stray posts %d, failed posts %d, open objects %s" % (
            soak.operations, soak.runs, soak.handler.pushed, soak.expected,
            soak.hangs, soak.stray_posts, failed_posts,
            simwin.open_objects()))
  ok = (soak.handler.pushed == soak.expected and soak.hangs == 0 and
        soak.stray_posts == 0 and failed_posts == 0)
  return 0 if ok else 1


if __name__ == "__main__":
  sys.exit(main())
