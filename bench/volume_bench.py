"""The performance table: windows.volumes beside its ctypes peer and the
floor, and the drive-event path of windows.plugwatch, all in one run.

For every volume count the peer (bench/volumes_peer.py) must first build
the same table with the same Win32 calls as the module. Then each workload
is timed in rounds that take the module, the peer and the floor (the same
Win32 calls from C++, bench/volume_floor.cpp) in turn; a figure is the
median over the rounds of the CPU time per call, less the cost of the
timing loop itself (for the module and the peer, a loop calling a function
that does nothing, as each call is made from a function). A ratio is the
median over the rounds of that round's ratio. A round calls each operation
at least ten times; operations under a microsecond run in more and longer
rounds, so that their medians hold still from run to run.

    PYTHONPATH=build/python:bench python2.7 bench/volume_bench.py
        [--smoke] [--plot docs/refresh-by-volume-count.dat]

--smoke runs every workload once and checks only that the peer agrees.
The same script runs under Python 3, with the module built for it and the
peer speaking its contract.
"""

import ctypes
import logging
import math
import os
import sys
import threading
import time

import simwin
from common import utils, volume_entry
from windows import volumes

import volumes_peer
from measure import (FileHandle, StatResult, make_machine, volume_name,
                     volume_serial)
from monitor_events import other_thread_ids, start_monitor, thread_cpu_seconds

VOLUME_COUNTS = (4, 64, 1024, 4096)
ROUNDS = 9
ROUND_SECONDS = 0.01
# Sub-microsecond lookups: a few tens of nanoseconds of scheduling noise is a
# large share of them.
CHEAP_SECONDS = 1e-6
CHEAP_ROUNDS = 31
CHEAP_ROUND_SECONDS = 0.02
# A round calls each operation at least this often, however long the call.
# With one call per round, each large refresh followed the other side's and
# paid for collecting the young objects that one left, and a round's figure
# turned on whether the collector's periodic pass fell in it.
MIN_ROUND_CALLS = 10
# A refresh that carries the goal is timed over this many rounds. The
# shared machine has spells of several seconds in which memory-bound work
# slows; nine rounds of a 1,024-volume refresh fit inside one spell, and the
# same build's median read 0.159-0.181 in four runs, against 0.168-0.172
# over 31 rounds.
TARGET_REFRESH_ROUNDS = 31
# The goals: a lookup at most this share of the peer's time, and a refresh's
# cost above the floor at most this share of the peer's.
LOOKUP_TARGET = 0.7
CACHED_TABLE_TARGET = 0.8
REFRESH_TARGET = 0.3
# The shared machine has slow spells that one run can fall into: every
# figure is the median of this many whole runs.
RUNS = 3
# The refresh goal holds up to this many volumes; larger machines show the
# linear growth.
REFRESH_TARGET_COUNT = 1024
# Linear growth: the refresh's time grows from 64 volumes to the largest
# count as a power of the count no higher than this (1 is linear, 2 the
# quadratic growth of a double that scans every volume per query). Memory
# effects put large tables a little above 1.
LINEAR_LIMIT = 1.2
EVENTS = 200
SEND_TIMEOUT = 5.0
IDLE_SECONDS = 1.0
STICK = u"\\\\?\\Volume{00000000-1111-4222-8333-444444444444}\\"

PY3 = sys.version_info[0] >= 3
if PY3:
  cpu_seconds = time.process_time
  xrange = range
  intern = sys.intern
  # The codec is host code only where the file-system name is an 8-bit
  # str: Python 3's module and peer hand the system's text on as it is.
  FILESYSTEM_CODEC = None
else:
  cpu_seconds = time.clock  # process CPU time on this platform
  FILESYSTEM_CODEC = "mbcs"


def load_floor():
  path = os.path.join(os.path.dirname(simwin.__file__), "..", "lib",
                      "libvolume_floor.so")
  floor = ctypes.CDLL(os.path.normpath(path))
  for name, argtypes in (("FloorListVolumeNames", [ctypes.c_int64]),
                         ("FloorPathNames", [ctypes.c_char_p, ctypes.c_int64]),
                         ("FloorVolumeInformation",
                          [ctypes.c_char_p, ctypes.c_int64]),
                         ("FloorVolumeInformationByHandle",
                          [ctypes.c_int64, ctypes.c_int64]),
                         ("FloorRefresh", [ctypes.c_int64])):
    getattr(floor, name).argtypes = argtypes
    getattr(floor, name).restype = ctypes.c_int64
  return floor


def wide(text):
  return text.encode("utf-16-le") + b"\0\0"


def recorded_calls(operation):
  """The Win32 calls `operation` makes, search handles numbered by first use."""
  simwin.clear_calls()
  simwin.record_calls(True)
  try:
    operation()
  finally:
    simwin.record_calls(False)
  handles = {}
  calls = []
  for call in simwin.calls():
    function, args = call[0], call[1:]
    if function in ("FindNextVolumeW", "FindVolumeClose"):
      args = (handles.setdefault(args[0], len(handles)),) + args[1:]
    calls.append((function,) + args)
  return calls


def host_calls(module_service, volume_count):
  """One refresh's calls into host code, which module and peer both make:
  the lock, the clock, the log calls (a debug record for every path-name
  buffer that grows, one more for every volume with several mount points),
  the file-system name's "mbcs" codec (2.7 only), `VolumeEntry` and the
  table insertion. Made from a Python loop with the arguments ready; the
  loop is a small cost of its own."""
  logger = volumes.LOGGER
  entries = module_service.AllVolumeEntries().values()
  fields = [dict((name, getattr(entry, name))
                 for name in volume_entry.VolumeEntry.FIELDS)
            for entry in entries]
  codec = FILESYSTEM_CODEC
  filesystems = [entry.filesystem.upper() for entry in entries]
  if codec is not None:
    filesystems = [filesystem.decode("ascii") for filesystem in filesystems]
  multiple_mounts = [(volume_name(index), [u"A:\\", u"C:\\Mounts\\x\\"])
                     for index in range(min(volume_count, 26))]
  lock = module_service._lock
  # As the service does, each table replaces the one before, which is
  # released only then, when it has gone cold.
  published = [None]

  def refresh_host_calls():
    with lock:
      logger.info("Refreshing volume information table.")
      started = utils.GetMonotonicTime()
      table = {}
      for name, paths in multiple_mounts:
        logger.debug("Got multiple mounts for %s: %s", name, paths)
      for record, filesystem in zip(fields, filesystems):
        logger.debug("%s isn't big enough, allocating %s bytes.", 10, 200)
        if codec is not None:
          filesystem.encode(codec)
        entry = volume_entry.VolumeEntry(**record)
        table[entry.volume] = entry
      published[0] = table
      logger.info("Got new volume entries: %r", table)
      logger.info("Volume information refresh complete in %gs.",
                  utils.GetMonotonicTime() - started)
  return refresh_host_calls


def looped(call):
  def run(repeat):
    for _ in xrange(repeat):
      call()
  return run


def workloads(volume_count, module_service, peer_service, floor, handle):
  """(label, module op, peer op, floor op or None, target, host op or None)
  of each workload; each op takes a repeat count."""
  middle = volume_count // 2
  name = volume_name(middle)
  wide_name = wide(name)
  serial = volume_serial(middle)
  volume_id = volumes._VolumeIDFromSerialNumber(serial)
  stat = StatResult(serial)
  handle_wrapper = FileHandle(handle)
  module_service.AllVolumeEntries()
  peer_service.AllVolumeEntries()
  volumes.IsFAT(serial, handle_wrapper)
  volumes_peer.IsFAT(serial, handle_wrapper)

  def both(make):
    return looped(make(volumes, module_service)), looped(
        make(volumes_peer, peer_service))

  rows = []

  def row(label, make, floor_op=None, target=None, host_op=None):
    module_op, peer_op = both(make)
    rows.append((label, module_op, peer_op, floor_op, target, host_op))

  row("_ListVolumeNames", lambda m, s: lambda: m._ListVolumeNames(),
      floor.FloorListVolumeNames)
  row("_GetVolumePathNamesForVolumeName",
      lambda m, s: lambda: m._GetVolumePathNamesForVolumeName(name),
      lambda repeat: floor.FloorPathNames(wide_name, repeat))
  row("GetVolumeInformation", lambda m, s: lambda: m.GetVolumeInformation(name),
      lambda repeat: floor.FloorVolumeInformation(wide_name, repeat))
  row("GetVolumeInformationByHandle",
      lambda m, s: lambda: m.GetVolumeInformationByHandle(handle),
      lambda repeat: floor.FloorVolumeInformationByHandle(handle, repeat))
  row("forced refresh", lambda m, s: lambda: s.AllVolumeEntries(True),
      floor.FloorRefresh,
      REFRESH_TARGET if volume_count <= REFRESH_TARGET_COUNT else None,
      looped(host_calls(module_service, volume_count)))
  row("GetVolumeEntryForVolumeID",
      lambda m, s: lambda: s.GetVolumeEntryForVolumeID(volume_id),
      target=LOOKUP_TARGET)
  row("GetVolumeEntryForDeviceNumber",
      lambda m, s: lambda: s.GetVolumeEntryForDeviceNumber(serial),
      target=LOOKUP_TARGET)
  row("VolumeInfo.FindVolumeID", lambda m, s: lambda: s.FindVolumeID(stat),
      target=LOOKUP_TARGET)
  row("FindVolumeID", lambda m, s: lambda: m.FindVolumeID(stat),
      target=LOOKUP_TARGET)
  row("IsFAT, cached", lambda m, s: lambda: m.IsFAT(serial, handle_wrapper),
      target=LOOKUP_TARGET)
  row("AllVolumeEntries, cached", lambda m, s: lambda: s.AllVolumeEntries(),
      target=CACHED_TABLE_TARGET if volume_count <= 4 else None)
  return rows


def per_call(operation, repeat):
  started = cpu_seconds()
  operation(repeat)
  return (cpu_seconds() - started) / repeat


def median(values):
  ordered = sorted(values)
  return ordered[len(ordered) // 2]


def calibrated_repeat(operation, round_seconds):
  """(repeat count filling a round, seconds per call)"""
  repeat = 1
  while True:
    started = cpu_seconds()
    operation(repeat)
    elapsed = max(cpu_seconds() - started, 1e-6)
    if elapsed >= round_seconds / 4 or repeat >= 1 << 20:
      return (max(MIN_ROUND_CALLS, int(repeat * round_seconds / elapsed)),
              elapsed / repeat)
    repeat *= 4


def do_nothing():
  pass


def time_sides(operations, rounds, smoke, python_sides=2):
  """(median seconds per call of each operation, the seconds per call of
  every round), over rounds taking each operation in turn, less the timing
  loop's own cost per call for the first `python_sides`, which Python loops
  call."""
  if smoke:
    for operation in operations:
      if operation is not None:
        operation(1)
    figures = [1e-9 if operation is not None else None
               for operation in operations]
    return figures, [figures]
  calibrated = [calibrated_repeat(operation, ROUND_SECONDS)
                if operation is not None else (0, 0.0)
                for operation in operations]
  if max(each for _, each in calibrated) < CHEAP_SECONDS:
    rounds = max(rounds, CHEAP_ROUNDS)
    calibrated = [calibrated_repeat(operation, CHEAP_ROUND_SECONDS)
                  if operation is not None else (0, 0.0)
                  for operation in operations]
  repeats = [repeat for repeat, _ in calibrated]
  # The module's and the peer's operations are Python loops calling a
  # function; the floor loops in C.
  empty_loop = looped(do_nothing)
  per_round = []
  loop = []
  for _ in range(rounds):
    per_round.append([per_call(operation, repeats[index])
                      if operation is not None else None
                      for index, operation in enumerate(operations)])
    loop.append(per_call(empty_loop, max(repeats[:python_sides])))
  loop_cost = median(loop)
  per_round = [[max(each - (loop_cost if index < python_sides else 0.0), 1e-9)
                if each is not None else None
                for index, each in enumerate(figures)]
               for figures in per_round]
  medians = [median([figures[index] for figures in per_round])
             if operation is not None else None
             for index, operation in enumerate(operations)]
  return medians, per_round


def refresh_ratio(module, peer, floor_time):
  return (module - floor_time) / max(peer - floor_time, 1e-9)


def round_ratio(per_round, ratio):
  """The median over the rounds of `ratio` of each round's figures: the
  sides of one round ran in the same state of the shared machine, which
  can change between rounds."""
  return median([ratio(*figures) for figures in per_round])


def kinds(value):
  """The type names of `value` and of everything it holds: equal answers
  can still differ in type (an 8-bit str against a unicode one on 2.7, an
  int against a long)."""
  if isinstance(value, (list, tuple)):
    return [type(value).__name__] + [kinds(each) for each in value]
  if isinstance(value, dict):
    return sorted((kinds(key), kinds(item)) for key, item in value.items())
  if isinstance(value, volume_entry.VolumeEntry):
    return [kinds(getattr(value, name))
            for name in volume_entry.VolumeEntry.FIELDS]
  return type(value).__name__


def interned(table):
  """Whether every key of `table`, and its record's identifier, is interned."""
  return all(intern(key) is key and intern(entry.volume) is entry.volume
             for key, entry in table.items())


def check_peer_agrees(module_service, peer_service, handle):
  """Raises SystemExit when the peer's answers, their types or its Win32
  calls differ, or its volume identifiers are not interned."""
  module_calls = recorded_calls(lambda: module_service.AllVolumeEntries(True))
  peer_calls = recorded_calls(lambda: peer_service.AllVolumeEntries(True))
  problems = []
  if module_calls != peer_calls:
    problems.append("the refresh's Win32 calls differ")
  tables = [module_service.AllVolumeEntries(), peer_service.AllVolumeEntries()]
  if tables[0] != tables[1] or kinds(tables[0]) != kinds(tables[1]):
    problems.append("the tables differ")
  if not all(interned(table) for table in tables):
    problems.append("a volume identifier is not interned")
  name = volume_name(0)
  for query, argument in (("_ListVolumeNames", None),
                          ("_GetVolumePathNamesForVolumeName", name),
                          ("GetVolumeInformation", name),
                          ("GetVolumeInformationByHandle", handle)):
    args = () if argument is None else (argument,)
    calls = [recorded_calls(lambda: getattr(side, query)(*args))
             for side in (volumes, volumes_peer)]
    answers = [getattr(side, query)(*args) for side in (volumes, volumes_peer)]
    if (calls[0] != calls[1] or answers[0] != answers[1] or
        kinds(answers[0]) != kinds(answers[1])):
      problems.append("%s differs" % query)
  if problems:
    raise SystemExit("the peer does not agree with the module: %s"
                     % "; ".join(problems))


def format_seconds(seconds):
  if seconds is None:
    return "-"
  return "%.3f" % (seconds * 1e6) if seconds < 1e-3 else "%.0f" % (seconds * 1e6)


def volume_rows(smoke, rounds):
  """The table rows of the volume workloads, and the refresh times by count."""
  floor = load_floor()
  table = []
  refresh = []
  for volume_count in (VOLUME_COUNTS[:1] if smoke else VOLUME_COUNTS):
    make_machine(volume_count)
    handle = simwin.open_handle(volume_name(volume_count // 2))
    volumes.VolumeInfo._ResetInstanceForTesting()
    volumes_peer.VolumeInfo._ResetInstanceForTesting()
    module_service = volumes.VolumeInfo()
    peer_service = volumes_peer.VolumeInfo()
    check_peer_agrees(module_service, peer_service, handle)
    for label, module_op, peer_op, floor_op, target, host_op in workloads(
        volume_count, module_service, peer_service, floor, handle):
      if host_op is None:
        (module, peer, floor_time), per_round = time_sides(
            [module_op, peer_op, floor_op], rounds, smoke)
      else:
        refresh_rounds = (max(rounds, TARGET_REFRESH_ROUNDS)
                          if target is not None else rounds)
        (module, peer, host, floor_time), per_round = time_sides(
            [module_op, peer_op, host_op, floor_op], refresh_rounds, smoke, 3)
      if host_op is not None:  # the refresh, measured against the floor
        ratio = round_ratio(
            per_round, lambda m, p, h, f: refresh_ratio(m, p, f))
        host_share = round_ratio(
            per_round, lambda m, p, h, f: refresh_ratio(h + f, p, f))
        refresh.append((volume_count, module, peer, floor_time, host,
                        host_share))
      else:
        ratio = round_ratio(per_round, lambda m, p, f: m / p)
      table.append((label, volume_count, module, peer, floor_time, ratio,
                    target))
    simwin.close_handle(handle)
  return table, refresh


class EventHandler(object):
  """handler.Push: the moment each event arrives."""

  def __init__(self):
    self.pushed = []
    self.lock = threading.Lock()

  def Push(self, event):
    now = time.time()
    with self.lock:
      self.pushed.append(now)


def busy_python(stop):
  count = 0
  while not stop.is_set():
    count += 1


def lock_holding_c_calls(stop):
  # PyDLL keeps the interpreter lock through the call, as a native
  # extension's long call does.
  usleep = ctypes.PyDLL(None).usleep
  usleep.argtypes = [ctypes.c_uint]
  while not stop.is_set():
    usleep(1000)


def event_rows(smoke):
  """(condition, p50 ms, p99 ms, max ms, events/s, lost) per condition, and
  the idle monitor's CPU seconds."""
  handler = EventHandler()
  monitor = start_monitor(handler)
  rows = []
  events = 2 if smoke else EVENTS
  for condition, load in (("alone", None),
                          ("with a CPU-bound Python thread", busy_python),
                          ("with a thread in 1 ms C calls holding the lock",
                           lock_holding_c_calls)):
    stop = threading.Event()
    loader = None
    if load is not None:
      loader = threading.Thread(target=load, args=(stop,))
      loader.daemon = True
      loader.start()
    latencies = []
    lost = 0
    started = time.time()
    for index in range(events):
      del handler.pushed[:]
      sent = time.time()
      if index % 2 == 0:
        answered = simwin.plug(STICK, [u"G:\\"], filesystem=u"exFAT",
                               drive_type=2, timeout=SEND_TIMEOUT)
      else:
        answered = simwin.unplug(STICK, timeout=SEND_TIMEOUT)
      if answered != 1 or not handler.pushed:
        lost += 1
      else:
        latencies.append(handler.pushed[0] - sent)
    elapsed = time.time() - started
    stop.set()
    if loader is not None:
      loader.join(SEND_TIMEOUT)
      if loader.is_alive():
        raise SystemExit("a load thread did not stop")
    latencies.sort()
    def at(share):
      if not latencies:
        return float("nan")
      return latencies[min(len(latencies) - 1, int(share * len(latencies)))] * 1e3
    rows.append((condition, at(0.5), at(0.99), at(1.0) if latencies else
                 float("nan"), events / elapsed, lost))
  # The load threads have ended (and left the kernel's list a moment
  # later): what is left beside this one is the monitor's.
  time.sleep(0.05)
  tasks = other_thread_ids()
  cpu_before = sum(thread_cpu_seconds(task) for task in tasks)
  time.sleep(0.05 if smoke else IDLE_SECONDS)
  idle_cpu = sum(thread_cpu_seconds(task) for task in tasks) - cpu_before
  monitor.Stop()
  monitor.join(SEND_TIMEOUT)
  if monitor.is_alive():
    raise SystemExit("the monitor did not stop")
  return rows, idle_cpu


def print_table(table, refresh, events, idle_cpu):
  print("| Workload | Volumes | Module us | Peer us | Floor us | Ratio | Target |")
  print("|---|---:|---:|---:|---:|---:|---|")
  failed = False
  for label, count, module, peer, floor_time, ratio, target in table:
    verdict = ""
    if target is not None:
      met = ratio <= target
      failed = failed or not met
      kind = "above floor " if target == REFRESH_TARGET else ""
      verdict = "%s<= %.1f %s" % (kind, target, "met" if met else "MISSED")
    print("| %s | %d | %s | %s | %s | %.3f | %s |" % (
        label, count, format_seconds(module), format_seconds(peer),
        format_seconds(floor_time), ratio, verdict))
  if len(refresh) > 1:
    print("")
    print("Forced refresh per volume (us): count, module, peer, floor; the "
          "host code both call alone, and its share of the peer above floor "
          "(about the lowest ratio a module making those calls can reach)")
    for count, module, peer, floor_time, host, host_share in refresh:
      print("  %5d %9.2f %9.2f %9.2f %9.2f %6.3f" % (
          count, module / count * 1e6, peer / count * 1e6,
          floor_time / count * 1e6, host / count * 1e6, host_share))
    base = [row for row in refresh if row[0] == 64][0]
    last = refresh[-1]
    for index, side in ((1, "module"), (2, "peer"), (3, "floor")):
      exponent = (math.log(last[index] / base[index]) /
                  math.log(float(last[0]) / base[0]))
      linear = exponent <= LINEAR_LIMIT
      failed = failed or not linear
      print("  %s: time grows as volumes^%.2f from 64 to %d volumes (%s)" % (
          side, exponent, last[0], "linear" if linear else "NOT LINEAR"))
  print("")
  print("| Drive events, WM_DEVICECHANGE to handler.Push | p50 ms | p99 ms "
        "| max ms | events/s | lost |")
  print("|---|---:|---:|---:|---:|---:|")
  for condition, p50, p99, worst, rate, lost in events:
    print("| %s | %.2f | %.2f | %.1f | %.0f | %d |" % (condition, p50, p99,
                                                       worst, rate, lost))
  print("")
  print("Idle monitor: %.3f CPU seconds over %.1f s" % (idle_cpu,
                                                         IDLE_SECONDS))
  return failed


def write_plot_data(path, refresh):
  with open(path, "w") as data:
    data.write("# volumes, forced refresh in ms: module, ctypes peer, floor\n")
    for count, module, peer, floor_time, _, _ in refresh:
      data.write("%d %.4f %.4f %.4f\n" % (count, module * 1e3, peer * 1e3,
                                          floor_time * 1e3))


def median_rows(runs):
  """Rows of the same shape from several runs, each number the median of
  the runs' numbers at its place."""
  def median(values):
    if not isinstance(values[0], float):
      return values[0]
    return sorted(values)[len(values) // 2]
  return [tuple(median(list(column)) for column in zip(*rows))
          for rows in zip(*runs)]


def main(argv):
  smoke = "--smoke" in argv
  logging.getLogger("windows.volumes").setLevel(logging.WARNING)
  logging.getLogger("plugwatch").setLevel(logging.WARNING)
  started = time.time()
  runs = [volume_rows(smoke, 1 if smoke else ROUNDS)
          for _ in range(1 if smoke else RUNS)]
  table = median_rows([run[0] for run in runs])
  refresh = median_rows([run[1] for run in runs])
  events, idle_cpu = event_rows(smoke)
  if smoke:
    print("smoke run: every workload ran once and the peer agrees with the "
          "module (%.1f s)" % (time.time() - started))
    return 0
  failed = print_table(table, refresh, events, idle_cpu)
  if "--plot" in argv:
    write_plot_data(argv[argv.index("--plot") + 1], refresh)
  print("(%.0f s)" % (time.time() - started))
  return 1 if failed else 0


if __name__ == "__main__":
  sys.exit(main(sys.argv[1:]))
