"""windows.plugwatch: device-change messages reaching a monitor window.

The windows here belong to the test's own thread, so a message sent to one
runs its window procedure synchronously inside the send; only the last test
class pumps a window on a thread of its own.
"""

import contextlib
import ctypes
import struct
import sys
import threading
import time
import traceback
import unittest

import pyversion
import simwin
import testsupport
from windows import plugwatch

WM_DEVICECHANGE = 0x0219
WM_USER = 0x0400
DBT_DEVNODES_CHANGED = 0x0007
DBT_DEVICEARRIVAL = 0x8000
DBT_DEVICEQUERYREMOVE = 0x8001
DBT_DEVICEREMOVEPENDING = 0x8003
DBT_DEVICEREMOVECOMPLETE = 0x8004


def ConfigureHere(arrive, remove, stop):
  """A DeviceMonitorState configured on this thread, and its window."""
  before = set(window["hwnd"] for window in simwin.windows())
  state = plugwatch.DeviceMonitorState()
  state.Configure(arrive, remove, stop)
  created = [window["hwnd"] for window in simwin.windows()
             if window["hwnd"] not in before]
  assert len(created) == 1, created
  return state, created[0]


def SendRecord(hwnd, event, raw):
  """Sends WM_DEVICECHANGE whose lParam points at the bytes `raw`."""
  record = ctypes.create_string_buffer(raw, len(raw))
  return simwin.send_message(hwnd, WM_DEVICECHANGE, event,
                             ctypes.addressof(record))


@contextlib.contextmanager
def CapturedStderr():
  saved = sys.stderr
  sys.stderr = pyversion.StringIO()
  try:
    yield sys.stderr
  finally:
    sys.stderr = saved


class Fatal(object):
  """Stands in for fatal_exceptions: records what IsFatal is asked."""

  def __init__(self, verdict):
    self.verdict = verdict
    self.judged = []

  def IsFatal(self, value):
    self.judged.append(value)
    return self.verdict


def Raise(error):
  def Callable(*unused_args):
    raise error
  return Callable


class MonitorWindowTestCase(unittest.TestCase):

  def setUp(self):
    simwin.reset()
    self.saved = dict((name, getattr(plugwatch, name))
                      for name in ("fatal_exceptions", "LOGGER", "sys"))
    self.arrivals = []
    self.removals = []
    self.stops = []
    self.state, self.hwnd = ConfigureHere(self.arrivals.append,
                                          self.removals.append,
                                          lambda: self.stops.append(True))

  def tearDown(self):
    for name, value in self.saved.items():
      setattr(plugwatch, name, value)
    del self.state
    simwin.reset()

  def Arrive(self, unitmask=0x10, hwnd=None):
    return simwin.send_device_change(hwnd or self.hwnd, DBT_DEVICEARRIVAL,
                                     unitmask=unitmask)


class VolumeEventTest(MonitorWindowTestCase):

  def test_lowest_drive_of_the_unit_mask_is_reported(self):
    cases = [(0x10, "E:\\"), (0x28, "D:\\"), (0x1, "A:\\"),
             (1 << 24, "Y:\\"), (1 << 25, "Z:\\"), (0, "Z:\\"),
             (0xFFFFFFFF, "A:\\"), (0x80000000, "Z:\\")]
    for unitmask, path in cases:
      del self.arrivals[:]
      self.assertEqual(0, self.Arrive(unitmask))
      self.assertEqual([path], self.arrivals, hex(unitmask))
      self.assertIs(str, type(self.arrivals[0]))

  def test_completed_removal_goes_to_the_removal_callable(self):
    self.assertEqual(0, simwin.send_device_change(
        self.hwnd, DBT_DEVICEREMOVECOMPLETE, unitmask=0x10))
    self.assertEqual(["E:\\"], self.removals)
    self.assertEqual([], self.arrivals)

  def test_records_without_a_unit_mask_are_ignored(self):
    volume = struct.pack("<IIIIH2x", 20, 2, 0, 0x10, 0)
    with testsupport.capture_logs("plugwatch") as logs:
      self.assertEqual(0, simwin.send_device_change(
          self.hwnd, DBT_DEVICEARRIVAL, devicetype=5))
      self.assertEqual(0, simwin.send_device_change(
          self.hwnd, DBT_DEVICEARRIVAL, null_lparam=True))
      # Short records as another program might send them: each ends before
      # the unit mask does.
      for size in (4, 11, 12, 15):
        raw = struct.pack("<I", size) + volume[4:max(size, 4)]
        self.assertEqual(0, SendRecord(self.hwnd, DBT_DEVICEARRIVAL, raw))
    self.assertEqual([], self.arrivals)
    self.assertEqual([], logs.messages())
    # A record that reaches the end of the unit mask is read: the flags
    # and the padding after it are not needed.
    for size in (16, 18, 20):
      raw = struct.pack("<I", size) + volume[4:size]
      self.assertEqual(0, SendRecord(self.hwnd, DBT_DEVICEARRIVAL, raw))
    self.assertEqual(["E:\\"] * 3, self.arrivals)

  def test_other_messages_go_to_the_default_procedure(self):
    simwin.clear_calls()
    for event in (DBT_DEVICEQUERYREMOVE, DBT_DEVNODES_CHANGED,
                  DBT_DEVICEREMOVEPENDING):
      simwin.send_device_change(self.hwnd, event, unitmask=0x10)
    simwin.send_message(self.hwnd, WM_USER)
    self.assertEqual([], self.arrivals + self.removals)
    default_calls = [call for call in simwin.calls()
                     if call[0] == "DefWindowProcW"]
    self.assertEqual([(WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE),
                      (WM_DEVICECHANGE, DBT_DEVNODES_CHANGED),
                      (WM_DEVICECHANGE, DBT_DEVICEREMOVEPENDING),
                      (WM_USER, 0)],
                     [(call[2], call[3]) for call in default_calls])

  def test_event_without_callback_property_warns(self):
    simwin.remove_prop(self.hwnd, u"ARRIVE_CALLBACK")
    with testsupport.capture_logs("plugwatch") as logs:
      self.assertEqual(0, self.Arrive(0x10))
    self.assertEqual([("WARNING", "Got event for E:\\ but no callback "
                                  "defined.")], logs.messages())
    self.assertEqual([], self.arrivals)

  def test_each_window_reaches_only_its_own_callables(self):
    others = []
    other_state, other_hwnd = ConfigureHere(others.append, others.append,
                                            None)
    self.Arrive(0x8, hwnd=other_hwnd)
    self.Arrive(0x10)
    self.assertEqual(["D:\\"], others)
    self.assertEqual(["E:\\"], self.arrivals)
    del other_state


class CallbackFailureTest(MonitorWindowTestCase):

  def Reconfigure(self, arrive=None, remove=None, stop=None):
    del self.state
    self.state, self.hwnd = ConfigureHere(arrive or self.arrivals.append,
                                          remove or self.removals.append,
                                          stop)

  def test_failure_judged_not_fatal_is_logged_once(self):
    error = ValueError("unreadable")
    plugwatch.fatal_exceptions = Fatal(False)
    self.Reconfigure(arrive=Raise(error), stop=lambda: self.stops.append(1))
    with testsupport.capture_logs("plugwatch") as logs:
      self.assertEqual(0, self.Arrive(0x10))
    self.assertEqual([("ERROR", "Volume arrival callback for E:\\ failed.")],
                     logs.messages())
    self.assertIs(error, logs.records[0].exc_info[1])
    self.assertEqual([error], plugwatch.fatal_exceptions.judged)
    entries = traceback.extract_tb(logs.records[0].exc_info[2])
    self.assertEqual(("windows\\plugwatch", "windows.plugwatch.HandleEvent"),
                     (entries[0][0], entries[0][2]))
    self.assertEqual([], self.stops)

  def test_removal_failure_names_removal(self):
    plugwatch.fatal_exceptions = Fatal(False)
    self.Reconfigure(remove=Raise(KeyError("x")))
    with testsupport.capture_logs("plugwatch") as logs:
      simwin.send_device_change(self.hwnd, DBT_DEVICEREMOVECOMPLETE,
                                unitmask=0x4)
    self.assertEqual([("ERROR", "Volume removal callback for C:\\ failed.")],
                     logs.messages())

  def test_fatal_failure_calls_the_stop_callable_once(self):
    plugwatch.fatal_exceptions = Fatal(True)
    self.Reconfigure(arrive=Raise(MemoryError()),
                     stop=lambda: self.stops.append(1))
    with testsupport.capture_logs("plugwatch") as logs:
      self.assertEqual(0, self.Arrive(0x10))
    self.assertEqual([("ERROR", "Volume arrival callback for E:\\ failed."),
                      ("ERROR", "Failure was fatal, ending monitor.")],
                     logs.messages())
    self.assertEqual([1], self.stops)

  def test_fatal_failure_without_a_stop_callable_warns(self):
    plugwatch.fatal_exceptions = Fatal(True)
    expected = [("ERROR", "Volume arrival callback for E:\\ failed."),
                ("ERROR", "Failure was fatal, ending monitor."),
                ("WARNING", "No stop callback was defined.")]
    self.Reconfigure(arrive=Raise(ValueError()), stop=None)
    with testsupport.capture_logs("plugwatch") as logs:
      self.Arrive(0x10)
    self.assertEqual(expected, logs.messages())
    # No property at all counts the same as a stop callable that is false.
    self.Reconfigure(arrive=Raise(ValueError()),
                     stop=lambda: self.stops.append(1))
    simwin.remove_prop(self.hwnd, u"STOP_CALLBACK")
    with testsupport.capture_logs("plugwatch") as logs:
      self.Arrive(0x10)
    self.assertEqual(expected, logs.messages())
    self.assertEqual([], self.stops)

  def test_failing_stop_goes_to_the_unraisable_report(self):
    plugwatch.fatal_exceptions = Fatal(True)
    self.Reconfigure(arrive=Raise(ValueError()),
                     stop=Raise(RuntimeError("cannot stop")))
    with testsupport.capture_logs("plugwatch") as logs:
      with CapturedStderr() as stderr:
        self.assertEqual(0, self.Arrive(0x10))
    self.assertEqual([("ERROR", "Volume arrival callback for E:\\ failed."),
                      ("ERROR", "Failure was fatal, ending monitor."),
                      ("ERROR", "Error while trying to stop monitor.")],
                     logs.messages())
    self.assertEqual("cannot stop", str(logs.records[2].exc_info[1]))
    report = stderr.getvalue()
    self.assertIn("Traceback (most recent call last)", report)
    self.assertIn("RuntimeError: cannot stop", report)
    self.assertIn(pyversion.unraisable_mark("windows.plugwatch.HandleEvent"),
                  report)

  def test_unraisable_report_leaves_excepthook_and_last_alone(self):
    hooked = []
    plugwatch.fatal_exceptions = Fatal(True)
    self.Reconfigure(arrive=Raise(ValueError()),
                     stop=Raise(RuntimeError("cannot stop")))
    saved = sys.excepthook
    sys.excepthook = lambda *args: hooked.append(args)
    try:
      with testsupport.capture_logs("plugwatch"):
        with CapturedStderr() as stderr:
          self.Arrive(0x10)
    finally:
      sys.excepthook = saved
    self.assertIn("RuntimeError: cannot stop", stderr.getvalue())
    self.assertEqual([], hooked)
    self.assertFalse([name for name in ("last_type", "last_value",
                                        "last_traceback")
                      if hasattr(sys, name)])

  def test_system_exit_from_stop_does_not_end_the_process(self):
    plugwatch.fatal_exceptions = Fatal(True)
    self.Reconfigure(arrive=Raise(SystemExit(3)), stop=Raise(SystemExit(4)))
    with testsupport.capture_logs("plugwatch"):
      with CapturedStderr() as stderr:
        self.assertEqual(0, self.Arrive(0x10))
    self.assertIn("SystemExit", stderr.getvalue())
    self.assertIn("ignored", stderr.getvalue())

  def test_failing_logger_goes_to_the_unraisable_report(self):
    class BrokenLogger(object):
      def exception(self, *args):
        raise IOError("log disk full")
    plugwatch.LOGGER = BrokenLogger()  # looked up at the moment of use
    self.Reconfigure(arrive=Raise(ValueError()))
    with CapturedStderr() as stderr:
      self.assertEqual(0, self.Arrive(0x10))
    self.assertIn("%s: log disk full" % IOError.__name__, stderr.getvalue())
    self.assertIn(pyversion.unraisable_mark("windows.plugwatch.HandleEvent"),
                  stderr.getvalue())

  def Report(self):
    """Sends an arrival; returns the log messages and what went to stderr."""
    with testsupport.capture_logs("plugwatch") as logs:
      with CapturedStderr() as stderr:
        self.assertEqual(0, self.Arrive(0x10))
    return [message for _, message in logs.messages()], stderr.getvalue()

  def test_failing_judgement_goes_to_the_unraisable_report(self):
    class BrokenFatal(object):
      def IsFatal(self, value):
        raise IOError("cannot judge")

    class Untestable(object):
      def __nonzero__(self):
        raise IOError("no truth")
      __bool__ = __nonzero__

      def __call__(self):
        self.called = True
    untestable = Untestable()
    self.Reconfigure(arrive=Raise(ValueError()), stop=untestable)
    failed = "Volume arrival callback for E:\\ failed."
    plugwatch.fatal_exceptions = BrokenFatal()
    messages, report = self.Report()
    self.assertEqual([failed], messages)
    self.assertIn("%s: cannot judge" % IOError.__name__, report)
    self.assertIn(pyversion.unraisable_mark("windows.plugwatch.HandleEvent"),
                  report)
    # The truth test of the stop object fails in turn.
    plugwatch.fatal_exceptions = Fatal(True)
    messages, report = self.Report()
    self.assertEqual([failed, "Failure was fatal, ending monitor."],
                     messages)
    self.assertIn("%s: no truth" % IOError.__name__, report)
    self.assertIn(pyversion.unraisable_mark("windows.plugwatch.HandleEvent"),
                  report)
    self.assertFalse(hasattr(untestable, "called"))

  def test_exc_info_must_unpack_into_three_items(self):
    class Sys(object):
      def __init__(self, info):
        self.info = info

      def exc_info(self):
        return self.info
    self.Reconfigure(arrive=Raise(ValueError()))
    for info, complaint in [((1, 2), "need more than 2 values to unpack"),
                            ([1, 2, 3, 4], "too many values to unpack")]:
      plugwatch.sys = Sys(info)  # looked up at the moment of use
      with testsupport.capture_logs("plugwatch") as logs:
        with CapturedStderr() as stderr:
          self.assertEqual(0, self.Arrive(0x10))
      self.assertEqual([], logs.messages())
      self.assertIn("ValueError: " + complaint, stderr.getvalue())
      self.assertIn(pyversion.unraisable_mark("windows.plugwatch.HandleEvent"),
                    stderr.getvalue())

  def test_log_calls_and_judgement_in_order(self):
    # The logger gets the format and its arguments apart, and the failure
    # is on record before IsFatal sees it.
    events = []

    class Logger(object):
      def __getattr__(self, level):
        return lambda *args: events.append((level,) + args)

    class Judge(object):
      def IsFatal(self, value):
        events.append(("IsFatal", value))
        return verdict
    plugwatch.LOGGER = Logger()
    plugwatch.fatal_exceptions = Judge()
    error = ValueError("unreadable")
    self.Reconfigure(arrive=Raise(error), stop=lambda: events.append("stop"))
    failed = ("exception", "Volume %s callback for %s failed.", "arrival",
              "E:\\")
    for verdict, after in [
        (False, []),
        (True, [("error", "Failure was fatal, ending monitor."), "stop"])]:
      del events[:]
      try:
        raise LookupError("being handled")
      except LookupError:
        outer = sys.exc_info()
        with CapturedStderr() as stderr:
          self.assertEqual(0, self.Arrive(0x10))
        self.assertEqual(outer, sys.exc_info())
      self.assertEqual([failed, ("IsFatal", error)] + after, events)
      self.assertEqual("", stderr.getvalue())
    del events[:]
    simwin.remove_prop(self.hwnd, u"ARRIVE_CALLBACK")
    self.Arrive(0x10)
    self.assertEqual(
        [(pyversion.LOGGER_WARNING, "Got event for %s:\\ but no callback defined.", "E")],
        events)

  def test_exception_being_handled_is_restored(self):
    plugwatch.fatal_exceptions = Fatal(True)
    self.Reconfigure(arrive=Raise(ValueError()), stop=Raise(KeyError()))
    try:
      raise LookupError("outer")
    except LookupError:
      outer = sys.exc_info()
      with testsupport.capture_logs("plugwatch"):
        with CapturedStderr():
          self.Arrive(0x10)
      self.assertEqual(outer, sys.exc_info())


def Spin(predicate, seconds):
  """Calls predicate() until it is true or `seconds` pass. With the check
  interval raised, the calling thread keeps the interpreter lock meanwhile:
  nothing here acquires a lock."""
  deadline = time.time() + seconds
  while time.time() < deadline:
    if predicate():
      return True
  return False


class ForeignTeardownTest(unittest.TestCase):
  """A state released on another thread while the window's own thread is
  handling an event for it and waits for the interpreter lock."""

  ATTEMPTS = 30
  WM_QUIT = 0x0012

  def setUp(self):
    simwin.reset()
    self.interval = pyversion.get_switch_interval()

  def tearDown(self):
    pyversion.set_switch_interval(self.interval)
    simwin.reset()

  def Attempt(self):
    """Sends an arrival to a window pumped by its own thread while this
    thread keeps the interpreter lock, and releases the window's state here
    as soon as the window procedure has been entered.

    Returns None when the window's thread took the lock first or was handed
    it (the event was handled before the teardown: try again), else what was
    seen."""
    arrivals = []

    class Recorder(object):
      def Arrive(self, path):
        arrivals.append(path)
    states = []
    configured = threading.Event()

    def ConfigureAndPump():
      state = plugwatch.DeviceMonitorState()
      # The bound method lives only as long as the state holds it.
      state.Configure(Recorder().Arrive, None, None)
      states.append(state)
      del state
      configured.set()
      simwin.pump(timeout=testsupport.DEFAULT_TIMEOUT)  # until WM_QUIT

    window_thread = testsupport.ThreadRunner(ConfigureAndPump)
    self.assertTrue(configured.wait(testsupport.DEFAULT_TIMEOUT))
    [hwnd] = [window["hwnd"] for window in simwin.windows()]
    # The window's thread waits in its message loop, without the lock.
    self.assertTrue(testsupport.wait_until(
        lambda: ("WaitMessage",) in simwin.calls()))
    sending = []

    def Send():
      sending.append(True)
      return simwin.send_device_change(hwnd, DBT_DEVICEARRIVAL,
                                       unitmask=0x10)

    entered = ("WndProc", hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL)
    outcome = None
    with testsupport.capture_logs("plugwatch") as logs:
      simwin.clear_calls()
      # The lock changes hands only on waits.
      pyversion.set_switch_interval(pyversion.SWITCH_ONLY_ON_WAITS)
      try:
        sender = testsupport.ThreadRunner(Send)
        # The sender gives the lock up only inside the send; this thread
        # then waits for the lock, ahead of the window procedure.
        deadline = time.time() + testsupport.DEFAULT_TIMEOUT
        while not sending and time.time() < deadline:
          time.sleep(0)
        self.assertTrue(sending)
        if not arrivals:
          self.assertTrue(Spin(lambda: entered in simwin.calls(),
                               testsupport.DEFAULT_TIMEOUT))
          # Had the window procedure read the property before taking the
          # lock, it would now hold the identity of a callable about to go.
          read_early = Spin(lambda: "GetPropW" in [
              call[0] for call in simwin.calls()], 0.2)
          # A thread waiting for the lock asks for it, so the window's
          # thread may take it between two bytecodes of the spin and handle
          # the event whole, as when it takes the lock first: try again.
          if not arrivals:
            if not read_early:
              del states[:]  # teardown here, while the window's thread waits
            outcome = read_early
      finally:
        pyversion.set_switch_interval(self.interval)
      self.assertEqual(0, sender.wait())
      messages = logs.messages()
    names = [call[0] for call in simwin.calls()]
    simwin.post_message(hwnd, self.WM_QUIT)
    window_thread.wait()
    if outcome is None:
      return None
    return outcome, arrivals, messages, names

  def test_event_waiting_for_the_lock_finds_no_released_callable(self):
    for _ in range(self.ATTEMPTS):
      seen = self.Attempt()
      simwin.reset()
      if seen is not None:
        break
    self.assertIsNotNone(seen, "the window's thread always took the lock "
                         "first")
    read_early, arrivals, messages, names = seen
    self.assertFalse(read_early)
    self.assertEqual([], arrivals)
    self.assertEqual([("WARNING", "Got event for E:\\ but no callback "
                                  "defined.")], messages)
    # The property was read only after this thread had taken them all off.
    self.assertLess(max(index for index, name in enumerate(names)
                        if name == "RemovePropW"),
                    names.index("GetPropW"))


if __name__ == "__main__":
  unittest.main()
