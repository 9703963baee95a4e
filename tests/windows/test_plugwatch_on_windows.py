"""windows.plugwatch in the Windows CPython 2.7, with Wine's window manager:
the monitor's window gets WM_DEVICECHANGE through SendMessageW, as the
system's broadcast delivers it, and the host's handler gets the events.

What only Windows can show is not here: the broadcast itself, sent by the
system when a real drive comes and goes, and its timing.
"""

import ctypes
import gc
import subprocess
import sys
import tempfile
import unittest
import weakref
from ctypes import wintypes

import testsupport
from common import fatal_exceptions
from common import volume_handler
from windows import plugwatch

TIMEOUT = testsupport.DEFAULT_TIMEOUT
WM_DEVICECHANGE = 0x0219
DBT_DEVICEARRIVAL = 0x8000
DBT_DEVICEREMOVECOMPLETE = 0x8004
DBT_DEVTYP_VOLUME = 2
USER32 = ctypes.WinDLL("user32", use_last_error=True)
USER32.SendMessageW.argtypes = [wintypes.HWND, wintypes.UINT, wintypes.WPARAM,
                                wintypes.LPARAM]
USER32.SendMessageW.restype = ctypes.c_ssize_t
USER32.IsWindow.argtypes = [wintypes.HWND]


class DEV_BROADCAST_VOLUME(ctypes.Structure):
  _fields_ = [("dbcv_size", wintypes.DWORD), ("dbcv_devicetype", wintypes.DWORD),
              ("dbcv_reserved", wintypes.DWORD), ("dbcv_unitmask", wintypes.DWORD),
              ("dbcv_flags", wintypes.WORD)]


Handler = testsupport.EventHandler


class Running(object):
  """A monitor whose Run executes on a thread of its own."""

  def __init__(self, handler):
    self.monitor = plugwatch.DeviceMonitor(handler=handler)
    self.runner = testsupport.ThreadRunner(self.monitor.Run)
    assert testsupport.wait_until(
        lambda: hasattr(self.monitor, "_window_handle") or
        not self.runner.thread.is_alive()), "monitor did not start"
    self.hwnd = self.monitor._window_handle

  def Send(self, event, drives):
    """Sends a volume event for `drives` (letters) as the system would."""
    unit_mask = sum(1 << (ord(drive) - ord("A")) for drive in drives)
    record = DEV_BROADCAST_VOLUME(ctypes.sizeof(DEV_BROADCAST_VOLUME),
                                  DBT_DEVTYP_VOLUME, 0, unit_mask, 0)
    return USER32.SendMessageW(self.hwnd, WM_DEVICECHANGE, event,
                               ctypes.addressof(record))

  def Stop(self):
    self.monitor.Stop()
    return self.runner.wait(TIMEOUT)


class MonitorTest(unittest.TestCase):

  def setUp(self):
    self.running = []

  def tearDown(self):
    for running in self.running:
      running.monitor.Stop()
      running.runner.thread.join(TIMEOUT)

  def Start(self, handler=None):
    running = Running(handler or Handler())
    self.running.append(running)
    self.assertTrue(USER32.IsWindow(running.hwnd))
    return running

  def assertWindowGoes(self, hwnd):
    # The state of the last run keeps the window until the monitor thread
    # ends, and the system destroys a thread's windows when it ends.
    self.assertTrue(testsupport.wait_until(lambda: not USER32.IsWindow(hwnd)),
                    "the monitor's window outlived its thread")

  def test_arrival_and_removal_reach_the_handler(self):
    handler = Handler()
    running = self.Start(handler)
    running.Send(DBT_DEVICEARRIVAL, "FE")  # the lowest drive is reported
    self.assertEqual(volume_handler.MountEvent("E:\\"), handler.Next())
    running.Send(DBT_DEVICEREMOVECOMPLETE, "E")
    self.assertEqual(volume_handler.UnmountEvent("E:\\"), handler.Next())
    self.assertIsNone(running.Stop())
    self.assertWindowGoes(running.hwnd)

  def test_fatal_callback_failure_stops_the_monitor(self):
    def Push(event):
      raise fatal_exceptions.FatalError("disk gone")
    with testsupport.capture_logs("plugwatch") as logs:
      running = self.Start(Handler(on_push=Push))
      running.Send(DBT_DEVICEARRIVAL, "G")
      self.assertIsNone(running.runner.wait(TIMEOUT))
    self.assertEqual(
        [("ERROR", "Volume arrival callback for G:\\ failed."),
         ("ERROR", "Failure was fatal, ending monitor.")],
        logs.messages()[:2])

  def test_stop_from_another_thread_and_from_inside_a_callback(self):
    running = self.Start()
    stopper = testsupport.ThreadRunner(running.monitor.Stop)
    stopper.wait(TIMEOUT)
    self.assertIsNone(running.runner.wait(TIMEOUT))
    inside = self.Start(Handler(on_push=lambda event: inside.monitor.Stop()))
    inside.Send(DBT_DEVICEARRIVAL, "H")
    self.assertIsNone(inside.runner.wait(TIMEOUT))

  def test_two_monitors_side_by_side(self):
    first, second = Handler(), Handler()
    running_first, running_second = self.Start(first), self.Start(second)
    self.assertNotEqual(running_first.hwnd, running_second.hwnd)
    running_second.Send(DBT_DEVICEARRIVAL, "K")
    running_first.Send(DBT_DEVICEARRIVAL, "J")
    self.assertEqual(volume_handler.MountEvent("J:\\"), first.Next())
    self.assertEqual(volume_handler.MountEvent("K:\\"), second.Next())
    self.assertIsNone(running_first.Stop())
    running_second.Send(DBT_DEVICEREMOVECOMPLETE, "K")
    self.assertEqual(volume_handler.UnmountEvent("K:\\"), second.Next())
    self.assertTrue(first.events.empty())

  def test_teardown_and_the_cycle_collector(self):
    running = self.Start()
    self.assertIsNone(running.Stop())
    self.assertWindowGoes(running.hwnd)
    monitor = weakref.ref(running.monitor)
    self.running.remove(running)
    del running
    gc.collect()
    self.assertIsNone(monitor())


class ExitTest(unittest.TestCase):

  def test_process_exits_with_a_monitor_running(self):
    code = "\n".join([
        "import sys, testsupport",
        "from windows import plugwatch",
        "class Handler(object):",
        "  def Push(self, event): pass",
        "monitor = plugwatch.DeviceMonitor(handler=Handler(), daemon=True)",
        "monitor.start()",
        "assert testsupport.wait_until(lambda: hasattr(monitor, '_window_handle'))",
        "print 'monitoring'",
        "sys.exit(3)"])
    # Output goes to a file, not a pipe: the first window of a Wine session
    # starts Wine's desktop process, which inherits the child's handles and
    # would keep a pipe open after the child has gone.
    output = tempfile.TemporaryFile()
    child = subprocess.Popen([sys.executable, "-c", code], stdout=output,
                             stderr=subprocess.STDOUT)
    if not testsupport.wait_until(lambda: child.poll() is not None, timeout=60):
      child.kill()
      self.fail("the process did not exit with its monitor running")
    output.seek(0)
    self.assertEqual((child.returncode, output.read().strip()), (3, "monitoring"))


if __name__ == "__main__":
  unittest.main()
