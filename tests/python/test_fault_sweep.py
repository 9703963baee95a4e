"""Fault sweep: every Win32 function each module calls is made to fail at
its nth call (n = 1 up to its number of calls in a clean run), once and for
good. Whatever fails must raise the documented exception or be absorbed as
designed, leave the service lock free, leave no Win32 object open and no
interpreter object behind."""

import collections
import gc
import sys
import unittest

import simwin
import testsupport
from test_plugwatch_monitor import CARD
from test_plugwatch_monitor import Handler
from test_plugwatch_monitor import STICK
from test_volumes_queries import FileHandle
from windows import plugwatch
from windows import volumes

INJECTED = 5  # ERROR_ACCESS_DENIED
TIMEOUT = testsupport.DEFAULT_TIMEOUT


def CallCounts(operation, setup):
  """How often the operation calls each Win32 function when nothing fails."""
  setup()
  simwin.clear_calls()
  operation()
  return collections.Counter(call[0] for call in simwin.calls()
                             if call[0] != "WndProc")


def Outcome(operation):
  try:
    operation()
  except Exception as error:  # what the sweep judges
    return error
  return None


RAISES = ("WindowsError", INJECTED)


def SetUpVolumes():
  simwin.reset()
  simwin.load_default_machine()


def Refresh():
  volumes.VolumeInfo().AllVolumeEntries(force_update=True)


def RefreshExpectation(function, nth, count):
  # A volume that cannot be read is skipped; the enumeration cannot be.
  if function in ("FindFirstVolumeW", "FindNextVolumeW"):
    return RAISES
  return None


def Queries():
  for name in volumes._ListVolumeNames():
    paths = volumes._GetVolumePathNamesForVolumeName(name)
    if paths:
      volumes.GetVolumeInformation(paths[0])
    handle = simwin.open_handle(name)
    try:
      volumes.GetVolumeInformationByHandle(handle)
    finally:
      simwin.close_handle(handle)


def QueriesExpectation(function, nth, count):
  # Closing a search is clean-up, whose result nobody can act on.
  if function == "FindVolumeClose":
    return None
  return RAISES


# (serial number, file handle) of every volume, made before the faults.
fat_candidates = []


def SetUpFatDetection():
  SetUpVolumes()
  Refresh()  # empties the cache of FAT answers
  fat_candidates[:] = []
  for name in volumes._ListVolumeNames():
    handle = simwin.open_handle(name)
    serial_number = volumes.GetVolumeInformationByHandle(handle)[1]
    fat_candidates.append((serial_number, handle))


def FatDetection():
  for serial_number, handle in fat_candidates:
    volumes.IsFAT(serial_number, FileHandle(handle))


def FatDetectionExpectation(function, nth, count):
  # A volume that cannot be read is not FAT.
  return None


def SetUpMonitor():
  simwin.reset()


def MonitorRun():
  """A monitor runs on its own thread, sees a drive arrive and stops; its
  state goes on that thread, as when the host drops it there."""
  monitor = plugwatch.DeviceMonitor(handler=Handler())

  def Body():
    try:
      return monitor.Run()
    finally:
      monitor._state = None
  runner = testsupport.ThreadRunner(Body)
  testsupport.wait_until(lambda: hasattr(monitor, "_window_handle") or
                         not runner.thread.is_alive())
  simwin.plug(STICK, [u"E:\\"], timeout=0.5)
  monitor.Stop()
  runner.thread.join(0.2)
  if runner.thread.is_alive():
    # A stop message that could not be posted: any message ends the pump.
    simwin.plug(CARD, [u"F:\\"], timeout=TIMEOUT)
  runner.wait(TIMEOUT)
  # A window whose destruction failed goes when its thread ends, a moment
  # after join returns (Python 3 lets join return as the thread's
  # interpreter state goes).
  testsupport.wait_until(lambda: not simwin.windows())


def MonitorExpectation(function, nth, count):
  if function in ("RegisterClassExW", "CreateWindowExW", "SetPropW",
                  "RegisterDeviceNotificationW"):
    return RAISES
  # The second message of a window's creation is WM_NCCREATE; answered
  # FALSE, creation fails.
  if function == "DefWindowProcW" and (nth == 2 or (nth < 2 and count < 0)):
    return RAISES
  # Everything else is absorbed: logged, retried at the next wake-up, or
  # a clean-up result nobody can act on.
  return None


# Clean-up calls whose failure leaves their object open, as on Windows.
LEFT_OPEN = {"FindVolumeClose": "volume_searches",
             "UnregisterDeviceNotification": "notifications"}


class FaultSweepTest(unittest.TestCase):

  def SweepRule(self, setup, operation, expectation, function, nth, count):
    setup()
    open_before = simwin.open_objects()
    simwin.fail(function, INJECTED, nth=nth, count=count)
    with testsupport.capture_logs("plugwatch"), \
         testsupport.capture_logs("windows.volumes"):
      outcome = Outcome(operation)
    rule = (function, nth, count)
    got = None
    if outcome is not None:
      got = (type(outcome).__name__, getattr(outcome, "winerror", None))
    self.assertEqual(expectation(function, nth, count), got, rule)
    self.assertFalse(volumes.VolumeInfo()._lock.locked(), rule)
    expected_open = dict(open_before)
    if function in LEFT_OPEN:
      expected_open[LEFT_OPEN[function]] += 1
    self.assertEqual(expected_open, simwin.open_objects(), rule)

  def Sweep(self, setup, operation, expectation):
    """Returns how many fault rules were swept."""
    counts = CallCounts(operation, setup)
    self.assertTrue(counts)
    # The first pass fills what the interpreter keeps from a first use (on
    # Python 3 that is still growing after the first rule); the second must
    # leave no more objects than it found.
    for _ in range(2):
      gc.collect()
      live_before = len(gc.get_objects())
      swept = 0
      for function in sorted(counts):
        for nth in range(1, counts[function] + 1):
          for count in (1, -1):
            self.SweepRule(setup, operation, expectation, function, nth, count)
            swept += 1
    gc.collect()
    growth = len(gc.get_objects()) - live_before
    self.assertLess(growth, 20, "live objects grew by %d" % growth)
    return swept

  def test_every_win32_function_of_both_modules(self):
    swept = (self.Sweep(SetUpVolumes, Refresh, RefreshExpectation) +
             self.Sweep(SetUpVolumes, Queries, QueriesExpectation) +
             self.Sweep(SetUpFatDetection, FatDetection,
                        FatDetectionExpectation) +
             self.Sweep(SetUpMonitor, MonitorRun, MonitorExpectation))
    sys.stderr.write("fault rules swept: %d\n" % swept)


if __name__ == "__main__":
  unittest.main()
