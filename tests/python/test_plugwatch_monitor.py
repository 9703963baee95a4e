"""windows.plugwatch.DeviceMonitor: the monitor thread end to end, with
drives plugged and unplugged through the Win32 test double."""

import ctypes
import gc
import os
import platform
import sys
import threading
import time
import traceback
import unittest
import weakref

import pyversion
import simwin
import testsupport
from common import fatal_exceptions
from common import volume_handler
from windows import plugwatch

TIMEOUT = testsupport.DEFAULT_TIMEOUT
WM_DEVICECHANGE = 0x0219
WM_USER = 0x0400
WM_CLOSE = 0x0010
DBT_DEVICEARRIVAL = 0x8000
STICK = u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000e5}\\"
CARD = u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000f6}\\"
NOTHING_OPEN = {"volume_searches": 0, "file_handles": 0, "windows": 0,
                "notifications": 0, "props": 0}


Handler = testsupport.EventHandler


# gettid's system call number, where the test knows it.
GETTID = {"x86_64": 186, "aarch64": 178}.get(platform.machine())


def ThreadId():
  """The calling thread's kernel id, None where it cannot be had."""
  if GETTID is None or not os.path.isdir("/proc/self/task"):
    return None
  return ctypes.CDLL(None).syscall(GETTID)


def ThreadCpuTicks(tid):
  """User plus system time of a thread of this process, in clock ticks."""
  with open("/proc/self/task/%d/stat" % tid) as stat:
    fields = stat.read().rsplit(")", 1)[1].split()
  return int(fields[11]) + int(fields[12])


class Running(object):
  """A monitor whose Run executes on a thread of its own."""

  def __init__(self, monitor, body=None):
    self.monitor = monitor
    self.tid = None

    def Body():
      self.tid = ThreadId()
      return (body or monitor.Run)()
    self.runner = testsupport.ThreadRunner(Body)
    assert testsupport.wait_until(
        lambda: hasattr(monitor, "_window_handle") or
        not self.runner.thread.is_alive()), "monitor did not start"

  @property
  def hwnd(self):
    low_bits = self.monitor._window_handle & 0xFFFFFFFF
    [hwnd] = [window["hwnd"] for window in simwin.windows()
              if window["hwnd"] & 0xFFFFFFFF == low_bits]
    return hwnd

  def Stop(self):
    self.monitor.Stop()
    return self.runner.wait(TIMEOUT)


class MonitorTestCase(unittest.TestCase):

  def setUp(self):
    simwin.reset()
    self.running = []

  def tearDown(self):
    for running in self.running:
      running.monitor.Stop()
      running.runner.thread.join(TIMEOUT)
    del self.running[:]
    gc.collect()
    simwin.reset()

  def Start(self, handler=None, body=None, monitor=None):
    monitor = monitor or plugwatch.DeviceMonitor(handler=handler or Handler())
    running = Running(monitor, body)
    self.running.append(running)
    return running


class ConstructionTest(unittest.TestCase):

  def test_handler_is_taken_and_the_rest_goes_to_the_base(self):
    handler = Handler()
    monitor = plugwatch.DeviceMonitor(1, 2, handler=handler, daemon=True,
                                      extra=3)
    self.assertIs(handler, monitor.handler)
    self.assertIsNone(monitor._state)
    self.assertEqual("DeviceMonitor", monitor.name)
    self.assertTrue(monitor.daemon)
    self.assertEqual(((1, 2), {"extra": 3}), (monitor.args, monitor.kwargs))

  def test_missing_handler_raises_before_the_base_is_reached(self):
    saved = plugwatch.sync_client_thread
    reached = []

    class Base(object):
      def __init__(self, *args, **kwargs):
        reached.append((args, kwargs))

    class SyncClientThreadModule(object):
      SyncClientThread = Base
    plugwatch.sync_client_thread = SyncClientThreadModule()
    try:
      with self.assertRaises(KeyError) as raised:
        plugwatch.DeviceMonitor(Handler())
      self.assertEqual(("handler",), raised.exception.args)
      self.assertEqual([], reached)
      # The base is reached through the module attribute at each call.
      init = pyversion.function_of(plugwatch.DeviceMonitor.__init__)
      init(self=Base(), handler=None, extra=1)
      self.assertEqual([((), {}), (("DeviceMonitor",), {"extra": 1})],
                       reached)
    finally:
      plugwatch.sync_client_thread = saved

  def test_pause_and_resume_change_nothing(self):
    monitor = plugwatch.DeviceMonitor(handler=None)
    self.assertIsNone(monitor.Pause())
    self.assertIsNone(monitor.Resume())
    self.assertFalse(monitor.IsPaused())
    self.assertRaises(TypeError, monitor.Pause, 1)


class ForwardingTest(unittest.TestCase):

  def test_arrival_and_removal_push_one_event_each(self):
    handler = Handler()
    monitor = plugwatch.DeviceMonitor(handler=handler)
    self.assertIsNone(monitor.Arrived("E:\\"))
    self.assertIsNone(monitor.Removed(driveletter="F:\\"))
    self.assertEqual([volume_handler.MountEvent("E:\\"),
                      volume_handler.UnmountEvent("F:\\")],
                     handler.Pending())
    self.assertRaises(TypeError, monitor.Arrived)
    self.assertRaises(TypeError, monitor.Removed, "E:\\", "F:\\")

  def test_factory_failure_reaches_the_caller_and_pushes_nothing(self):
    handler = Handler()
    monitor = plugwatch.DeviceMonitor(handler=handler)
    saved = plugwatch.volume_handler

    class Factories(object):
      def MountEvent(self, path):
        raise ValueError(path)
    plugwatch.volume_handler = Factories()
    try:
      with self.assertRaises(ValueError) as raised:
        monitor.Arrived("E:\\")
    finally:
      plugwatch.volume_handler = saved
    self.assertEqual(("E:\\",), raised.exception.args)
    self.assertEqual([], handler.Pending())

  def test_keyword_arguments_outlive_their_dictionary(self):
    # The factory empties the caller's keyword dictionary, dropping the
    # only other references to the monitor and the drive path.
    class DrivePath(object):
      def __init__(self, text):
        self.text = text

      def __str__(self):
        return self.text

    handler = Handler()
    arguments = {"self": plugwatch.DeviceMonitor(handler=handler),
                 "driveletter": DrivePath("E:\\")}
    watched = weakref.ref(arguments["driveletter"])
    monitor = weakref.ref(arguments["self"])
    saved = plugwatch.volume_handler

    class Factories(object):
      def MountEvent(self, path):
        arguments.clear()
        return ("mounted", str(path), watched() is not None)
    plugwatch.volume_handler = Factories()
    try:
      pyversion.function_of(plugwatch.DeviceMonitor.Arrived)(**arguments)
    finally:
      plugwatch.volume_handler = saved
    self.assertEqual([("mounted", "E:\\", True)], handler.Pending())
    self.assertIsNone(watched())
    self.assertIsNone(monitor())


class RunTest(MonitorTestCase):

  def test_plugged_and_unplugged_drives_reach_the_handler(self):
    handler = Handler()
    running = self.Start(handler)
    self.assertEqual(1, simwin.plug(STICK, [u"E:\\"]))
    self.assertEqual(volume_handler.MountEvent("E:\\"), handler.Next())
    self.assertEqual(1, simwin.plug(CARD, [u"G:\\", u"F:\\"]))
    self.assertEqual(volume_handler.MountEvent("F:\\"), handler.Next())
    self.assertEqual(1, simwin.unplug(STICK))
    self.assertEqual(volume_handler.UnmountEvent("E:\\"), handler.Next())
    # The device-interface records that came along were ignored.
    self.assertEqual([], handler.Pending())
    self.assertIsNone(running.Stop())

  def test_stop_from_another_thread_ends_run(self):
    with testsupport.capture_logs("plugwatch") as logs:
      running = self.Start()
      hwnd = running.hwnd
      simwin.clear_calls()
      self.assertIsNone(running.Stop())
    self.assertEqual([("INFO", "Posting stop message to window message "
                               "queue."),
                      ("DEBUG", "Done with event loop.")], logs.messages())
    self.assertIn(("PostMessageW", hwnd, WM_USER, 0, 0), simwin.calls())
    # The stop message only woke the pump.
    self.assertNotIn(("WndProc", hwnd, WM_USER, 0), simwin.calls())

  def test_pump_pass_by_pass(self):
    # ShouldStop before each wait and on waking; one message taken, then
    # translated and dispatched; no look at the queue once a stop is seen.
    pump_calls = ("WaitMessage", "PeekMessageW", "TranslateMessage",
                  "DispatchMessageW")
    events = []
    seen = [0]

    def Note(event=None):
      calls = simwin.calls()
      events.extend(call for call in calls[seen[0]:] if call[0] in pump_calls)
      seen[0] = len(calls)
      if event:
        events.append(event)

    class Watched(plugwatch.DeviceMonitor):
      def ShouldStop(self):
        Note("ShouldStop")
        return plugwatch.DeviceMonitor.ShouldStop(self)

    def Waits(count):
      return testsupport.wait_until(lambda: count == [
          call[0] for call in simwin.calls()].count("WaitMessage"))
    running = self.Start(monitor=Watched(handler=Handler()))
    hwnd = running.hwnd
    self.assertTrue(Waits(1))
    simwin.post_message(hwnd, 0)  # WM_NULL
    self.assertTrue(Waits(2))
    self.assertIsNone(running.Stop())
    Note()
    self.assertEqual(["ShouldStop", ("WaitMessage",), "ShouldStop",
                      ("PeekMessageW", hwnd, 0, 0, 1),  # PM_REMOVE
                      ("TranslateMessage", hwnd, 0),
                      ("DispatchMessageW", hwnd, 0, 0),
                      "ShouldStop", ("WaitMessage",), "ShouldStop"], events)

  def test_stop_before_run(self):
    monitor = plugwatch.DeviceMonitor(handler=Handler())
    simwin.clear_calls()
    with testsupport.capture_logs("plugwatch") as logs:
      monitor.Stop()
      self.assertIsNone(monitor.Run())  # leaves at its first check
    self.assertEqual([("INFO", "Window not found, not notifying it."),
                      ("DEBUG", "Done with event loop.")], logs.messages())
    self.assertNotIn("PostMessageW", [call[0] for call in simwin.calls()])
    self.assertEqual(1, simwin.open_objects()["windows"])
    monitor_ref = weakref.ref(monitor)
    del monitor
    gc.collect()
    self.assertIsNone(monitor_ref())
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_stop_from_inside_a_callback(self):
    handler = Handler(on_push=lambda event: running.monitor.Stop())
    running = self.Start(handler)
    simwin.plug(STICK, [u"E:\\"])
    self.assertIsNone(running.runner.wait(TIMEOUT))

  def test_fatal_callback_failure_stops_the_monitor(self):
    def Push(event):
      raise fatal_exceptions.FatalError("disk gone")
    handler = Handler(on_push=Push)
    with testsupport.capture_logs("plugwatch") as logs:
      running = self.Start(handler)
      simwin.plug(STICK, [u"E:\\"])
      self.assertIsNone(running.runner.wait(TIMEOUT))
    self.assertEqual(
        [("ERROR", "Volume arrival callback for E:\\ failed."),
         ("ERROR", "Failure was fatal, ending monitor."),
         ("INFO", "Posting stop message to window message queue."),
         ("DEBUG", "Done with event loop.")], logs.messages())
    names = [entry[2] for entry in
             traceback.extract_tb(logs.records[0].exc_info[2])]
    self.assertEqual(["windows.plugwatch.HandleEvent",
                      "windows.plugwatch.DeviceMonitor.Arrived"], names[:2])

  def test_failure_judged_not_fatal_keeps_monitoring(self):
    failures = [ValueError("once")]

    def Push(event):
      if failures:
        raise failures.pop()
    handler = Handler(on_push=Push)
    running = self.Start(handler)
    with testsupport.capture_logs("plugwatch") as logs:
      simwin.plug(STICK, [u"E:\\"])
    self.assertEqual([("ERROR", "Volume arrival callback for E:\\ failed.")],
                     logs.messages())
    simwin.unplug(STICK)
    self.assertEqual([volume_handler.MountEvent("E:\\"),
                      volume_handler.UnmountEvent("E:\\")],
                     [handler.Next(), handler.Next()])
    self.assertTrue(running.runner.thread.is_alive())

  def test_two_monitors_side_by_side(self):
    first, second = Handler(), Handler()
    running_first, running_second = self.Start(first), self.Start(second)
    self.assertEqual(2, simwin.plug(STICK, [u"E:\\"]))
    self.assertEqual(volume_handler.MountEvent("E:\\"), first.Next())
    self.assertEqual(volume_handler.MountEvent("E:\\"), second.Next())
    running_first.Stop()
    self.assertEqual(1, simwin.unplug(STICK))
    self.assertEqual(volume_handler.UnmountEvent("E:\\"), second.Next())
    self.assertEqual([], first.Pending())
    running_second.Stop()

  def test_teardown_on_the_monitor_thread_and_by_a_second_run(self):
    monitor = plugwatch.DeviceMonitor(handler=Handler())

    def RunTwiceThenRelease():
      monitor.Run()
      monitor.Run()  # replaces the state: the first window goes
      monitor._state = None
    running = self.Start(monitor=monitor, body=RunTwiceThenRelease)
    [first_window] = simwin.windows()
    first_hwnd = first_window["hwnd"]
    first_notification = first_window["notifications"][0]
    simwin.clear_calls()
    self.assertIsNone(running.Stop())
    teardown = ["UnregisterDeviceNotification", "RemovePropW", "RemovePropW",
                "RemovePropW", "DestroyWindow"]
    calls = [call for call in simwin.calls()
             if call[0] in teardown + ["CreateWindowExW"]]
    self.assertEqual(teardown + ["CreateWindowExW"] + teardown,
                     [call[0] for call in calls])
    self.assertEqual(("UnregisterDeviceNotification", first_notification),
                     calls[0][:2])
    self.assertEqual(("DestroyWindow", first_hwnd), calls[4][:2])
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_idle_monitor_uses_no_cpu(self):
    running = self.Start()
    self.assertTrue(testsupport.wait_until(lambda: any(
        call == ("WaitMessage",) for call in simwin.calls())))
    simwin.clear_calls()
    ticks = running.tid and ThreadCpuTicks(running.tid)
    time.sleep(0.5)
    # Blocked in WaitMessage: no Win32 call, no time on the processor.
    self.assertEqual([], simwin.calls())
    if running.tid:
      self.assertLessEqual(ThreadCpuTicks(running.tid) - ticks, 1)

  def test_messages_from_wm_user_up_are_dropped(self):
    handler = Handler()
    running = self.Start(handler)
    hwnd = running.hwnd
    calls = []
    # One at a time: each wake-up takes one message off the queue.
    for message in (WM_USER + 1, 0xC123):
      simwin.clear_calls()
      simwin.post_message(hwnd, message)
      self.assertTrue(testsupport.wait_until(
          lambda: "PeekMessageW" in [call[0] for call in simwin.calls()]))
      calls += simwin.calls()
    simwin.clear_calls()
    simwin.send_device_change(hwnd, DBT_DEVICEARRIVAL, unitmask=0x10)
    self.assertEqual(volume_handler.MountEvent("E:\\"), handler.Next())
    calls += simwin.calls()
    self.assertEqual([WM_DEVICECHANGE],
                     [call[2] for call in calls if call[0] == "WndProc"])

  def test_window_closed_by_another_program_stays_for_stop(self):
    handler = Handler()
    running = self.Start(handler)
    hwnd = running.hwnd
    simwin.clear_calls()
    simwin.post_message(hwnd, WM_CLOSE)
    self.assertTrue(testsupport.wait_until(
        lambda: ("WndProc", hwnd, WM_CLOSE, 0) in simwin.calls()))
    self.assertEqual([hwnd], [window["hwnd"] for window in simwin.windows()])
    self.assertEqual(1, simwin.plug(STICK, [u"E:\\"]))
    self.assertEqual(volume_handler.MountEvent("E:\\"), handler.Next())
    self.assertIsNone(running.Stop())

  def test_window_handle_keeps_the_low_32_bits_signed(self):
    simwin.next_window_handle(0x123480001234)
    running = self.Start()
    self.assertEqual(0x80001234 - (1 << 32), running.monitor._window_handle)
    running.Stop()

  def test_configure_failure_ends_run(self):
    simwin.fail("CreateWindowExW", 8)
    monitor = plugwatch.DeviceMonitor(handler=Handler())
    with testsupport.capture_logs("plugwatch") as logs:
      try:
        monitor.Run()
      except WindowsError as error:
        raised = error
        entries = traceback.extract_tb(sys.exc_info()[2])
      else:
        self.fail("Run did not raise")
    self.assertEqual(8, raised.winerror)
    self.assertEqual([("windows\\plugwatch",
                       "windows.plugwatch.DeviceMonitor.Run"),
                      ("windows\\plugwatch",
                       "windows.plugwatch.DeviceMonitorState.Configure")],
                     [(entry[0], entry[2]) for entry in entries[-2:]])
    self.assertIsInstance(monitor._state, plugwatch.DeviceMonitorState)
    self.assertFalse(hasattr(monitor, "_window_handle"))
    self.assertEqual([], logs.messages())
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_should_stop_failure_ends_run(self):
    monitor = plugwatch.DeviceMonitor(handler=Handler())
    answers = [False]  # false before the wait, fails on waking

    def ShouldStop():
      if answers:
        return answers.pop()
      raise ValueError("stop state unreadable")
    monitor.ShouldStop = ShouldStop
    running = self.Start(monitor=monitor)
    simwin.post_message(running.hwnd, WM_USER)  # wakes the pump
    with self.assertRaises(ValueError):
      running.runner.wait(TIMEOUT)

  def test_stop_posts_to_a_state_not_yet_configured(self):
    monitor = plugwatch.DeviceMonitor(handler=Handler())
    monitor._state = plugwatch.DeviceMonitorState()
    simwin.clear_calls()
    with testsupport.capture_logs("plugwatch") as logs:
      monitor.Stop()
    self.assertEqual([("INFO", "Posting stop message to window message "
                               "queue.")], logs.messages())
    self.assertEqual([("PostMessageW", 0, WM_USER, 0, 0)], simwin.calls())
    # Something else in _state has no window: refused before the record.
    monitor._state = object()
    simwin.clear_calls()
    with testsupport.capture_logs("plugwatch") as logs:
      self.assertRaises(TypeError, monitor.Stop)
    self.assertEqual(([], []), (logs.messages(), simwin.calls()))
    self.assertTrue(monitor.ShouldStop())

  def test_failing_logger_after_the_pump_ends_run(self):
    class BrokenLogger(object):
      def info(self, message):
        pass

      def debug(self, message):
        raise IOError(message)
    monitor = plugwatch.DeviceMonitor(handler=Handler())
    saved = plugwatch.LOGGER
    plugwatch.LOGGER = BrokenLogger()
    try:
      monitor.Stop()
      with self.assertRaises(IOError) as raised:
        monitor.Run()  # leaves the pump at its first check
    finally:
      plugwatch.LOGGER = saved
    self.assertEqual(("Done with event loop.",), raised.exception.args)
    self.assertIsInstance(monitor._state, plugwatch.DeviceMonitorState)

  def test_failing_logger_in_stop_posts_nothing(self):
    class BrokenLogger(object):
      def info(self, message):
        raise IOError(message)
    monitor = plugwatch.DeviceMonitor(handler=Handler())
    monitor._state = plugwatch.DeviceMonitorState()
    saved = plugwatch.LOGGER
    plugwatch.LOGGER = BrokenLogger()  # looked up at the moment of use
    simwin.clear_calls()
    try:
      monitor.Stop()
    except IOError as error:
      raised = error
      entries = traceback.extract_tb(sys.exc_info()[2])
    else:
      self.fail("Stop did not raise")
    finally:
      plugwatch.LOGGER = saved
    self.assertEqual(("Posting stop message to window message queue.",),
                     raised.args)
    self.assertEqual(("windows\\plugwatch",
                      "windows.plugwatch.DeviceMonitor.Stop"),
                     (entries[1][0], entries[1][2]))
    self.assertEqual([], simwin.calls())
    self.assertTrue(monitor.ShouldStop())  # the stop was recorded first

  def test_window_orphaned_by_a_foreign_teardown_calls_nothing(self):
    monitors = [plugwatch.DeviceMonitor(handler=Handler())]
    first_ref = weakref.ref(monitors[0])
    second_handler = Handler()
    second = plugwatch.DeviceMonitor(handler=second_handler)
    first_done = threading.Event()
    first_released = threading.Event()

    def RunBothOnOneThread():
      monitors[0].Run()
      first_done.set()
      first_released.wait(TIMEOUT)
      second.Run()
    runner = testsupport.ThreadRunner(RunBothOnOneThread)
    try:
      self.assertTrue(testsupport.wait_until(
          lambda: hasattr(first_ref(), "_window_handle")))
      first_ref().Stop()
      self.assertTrue(first_done.wait(TIMEOUT))
      del monitors[:]
      gc.collect()  # tears the first window down here, not on its thread
      self.assertIsNone(first_ref())
      first_released.set()
      self.assertTrue(testsupport.wait_until(
          lambda: hasattr(second, "_window_handle")))
      with testsupport.capture_logs("plugwatch") as logs:
        # Both windows are top-level and the thread pumps both.
        self.assertEqual(2, simwin.plug(STICK, [u"E:\\"]))
      self.assertEqual([("WARNING",
                         "Got event for E:\\ but no callback defined.")],
                       logs.messages())
      self.assertEqual(volume_handler.MountEvent("E:\\"),
                       second_handler.Next())
    finally:
      first_released.set()
      second.Stop()
      runner.wait(TIMEOUT)
    second._state = None
    self.assertTrue(testsupport.wait_until(
        lambda: simwin.open_objects() == NOTHING_OPEN), simwin.open_objects())


if __name__ == "__main__":
  unittest.main()
