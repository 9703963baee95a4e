"""windows.plugwatch.DeviceMonitorState: the window, its properties and
registration, their teardown, pickling and the cycle collector."""

import copy
import gc
import os
import pickle
import threading
import unittest
import weakref

import simwin
import testsupport
from windows import plugwatch

ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_INVALID_PARAMETER = 87
CW_USEDEFAULT = -0x80000000  # an int
PROPERTIES = [u"ARRIVE_CALLBACK", u"REMOVE_CALLBACK", u"STOP_CALLBACK"]
NOTHING_OPEN = {"volume_searches": 0, "file_handles": 0, "windows": 0,
                "notifications": 0, "props": 0}


def MonitorWindows():
  return [window for window in simwin.windows()
          if window["class"] == u"DriveDeviceMonitor"]


def Callables(state):
  """The three callables a state holds, as the cycle collector sees them."""
  return gc.get_referents(state)


def ModuleCalls():
  """The recorded Win32 calls, without the window procedure's own entries
  (the double records window messages as well)."""
  return [call for call in simwin.calls()
          if call[0] not in ("WndProc", "DefWindowProcW")]


def InModuleCode(address, mappings):
  return any(start <= address < end and "x" in perms
             for start, end, perms in mappings)


def CallNames(calls):
  return [call[0] for call in calls]


def ModuleMappings():
  """(start, end, permissions) of every mapping of the module's file, or
  None where the process map cannot be read."""
  path = os.path.realpath(plugwatch.__file__)
  try:
    with open("/proc/self/maps") as maps:
      lines = maps.read().splitlines()
  except IOError:
    return None
  mappings = []
  for line in lines:
    fields = line.split(None, 5)
    if len(fields) == 6 and fields[5] == path:
      start, end = [int(bound, 16) for bound in fields[0].split("-")]
      mappings.append((start, end, fields[1]))
  return mappings


class Owner(object):
  """Holds a state whose callables are its own bound methods: a cycle."""

  def __init__(self):
    self.state = plugwatch.DeviceMonitorState()
    self.state.Configure(self.Arrive, self.Remove, self.Stop)

  def Arrive(self, path):
    pass

  def Remove(self, path):
    pass

  def Stop(self):
    pass


class ConfigureTest(unittest.TestCase):

  def setUp(self):
    simwin.reset()

  def tearDown(self):
    gc.collect()
    simwin.reset()

  def test_unconfigured_state_calls_no_win32_function(self):
    simwin.clear_calls()
    state = plugwatch.DeviceMonitorState()
    del state
    self.assertEqual([], simwin.calls())

  def test_construction_takes_no_arguments(self):
    simwin.clear_calls()
    for args, kwargs, given in [((1,), {}, 1), ((), {"x": 2}, 1),
                                ((1,), {"x": 2}, 2)]:
      with self.assertRaises(TypeError) as raised:
        plugwatch.DeviceMonitorState(*args, **kwargs)
      self.assertEqual("DeviceMonitorState() takes no arguments (%d given)"
                       % given, str(raised.exception))

    class Named(plugwatch.DeviceMonitorState):
      def __init__(self, name):
        self.name = name
    self.assertEqual("monitor", Named("monitor").name)
    self.assertEqual([], simwin.calls())

  def test_configure_creates_the_window_with_its_callables(self):
    arrive, remove, stop = (lambda path: None), (lambda path: None), None
    state = plugwatch.DeviceMonitorState()
    simwin.clear_calls()
    self.assertIsNone(state.Configure(arrive, remove, stop=stop))
    self.assertEqual(["RegisterClassExW", "CreateWindowExW", "SetPropW",
                      "SetPropW", "SetPropW", "RegisterDeviceNotificationW"],
                     CallNames(ModuleCalls()))
    [window] = MonitorWindows()
    self.assertEqual(simwin.current_thread(), window["thread"])
    self.assertEqual(dict(zip(PROPERTIES, [id(arrive), id(remove), id(stop)])),
                     window["props"])
    self.assertEqual(1, len(window["notifications"]))
    self.assertEqual([u"DriveDeviceMonitor"], simwin.classes())
    self.assertEqual([arrive, remove, stop], Callables(state))

  def test_window_is_top_level_and_belongs_to_the_module(self):
    # The class record, the creation arguments and the notification filter.
    mappings = ModuleMappings()
    if not mappings:
      self.skipTest("no /proc/self/maps")
    state = plugwatch.DeviceMonitorState()
    simwin.clear_calls()
    state.Configure(len, len, len)
    calls = dict((call[0], call[1:]) for call in ModuleCalls())
    [window] = MonitorWindows()
    base = min(start for start, end, perms in mappings)
    registered = calls["RegisterClassExW"]
    procedure = registered[3]
    self.assertTrue(InModuleCode(procedure, mappings))
    # Size, style 0, the procedure, the module's instance; nothing else.
    self.assertEqual((u"DriveDeviceMonitor", 80, 0, procedure, 0, 0, base,
                      0, 0, 0, 0, 0), registered)
    # No parent (not HWND_MESSAGE): a top-level window gets the broadcasts.
    self.assertEqual((u"DriveDeviceMonitor", 0, 0, 0, base, 0) +
                     (CW_USEDEFAULT,) * 4 + (0, 0),
                     calls["CreateWindowExW"])
    self.assertEqual((window["hwnd"], 5, 0, 32, 0,
                      u"{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}", 0),
                     calls["RegisterDeviceNotificationW"])

  def test_registering_the_class_twice_succeeds(self):
    self.assertIsNone(plugwatch._RegisterDeviceMonitorWindowClass())
    self.assertIsNone(plugwatch._RegisterDeviceMonitorWindowClass())
    self.assertEqual([u"DriveDeviceMonitor"], simwin.classes())

  def test_class_registration_failure_raises_before_any_window(self):
    simwin.fail("RegisterClassExW", ERROR_NOT_ENOUGH_MEMORY, count=2)
    with self.assertRaises(WindowsError) as raised:
      plugwatch._RegisterDeviceMonitorWindowClass()
    self.assertEqual(ERROR_NOT_ENOUGH_MEMORY, raised.exception.winerror)
    self.assertIn("Error registering device monitor class",
                  str(raised.exception))
    with self.assertRaises(WindowsError):
      plugwatch.DeviceMonitorState().Configure(None, None, None)
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_each_failing_step_raises_and_teardown_releases_it_all(self):
    steps = [("CreateWindowExW", 1), ("SetPropW", 1), ("SetPropW", 2),
             ("SetPropW", 3), ("RegisterDeviceNotificationW", 1)]
    for function, nth in steps:
      simwin.fail(function, ERROR_INVALID_PARAMETER, nth=nth)
      state = plugwatch.DeviceMonitorState()
      with self.assertRaises(WindowsError) as raised:
        state.Configure(len, len, len)
      self.assertEqual(ERROR_INVALID_PARAMETER, raised.exception.winerror)
      self.assertEqual(function != "CreateWindowExW", bool(MonitorWindows()))
      expected = [None] * 3 if function == "CreateWindowExW" else [len] * 3
      self.assertEqual(expected, Callables(state), function)
      del state
      self.assertEqual(NOTHING_OPEN, simwin.open_objects(), (function, nth))

  def test_wrong_arguments_raise_before_any_window(self):
    state = plugwatch.DeviceMonitorState()
    simwin.clear_calls()
    for args, kwargs in [((len, len), {}), ((len, len, len, len), {}),
                         ((len, len), {"stop": len, "start": len}),
                         ((len,), {"arrive": len, "remove": len,
                                   "stop": len})]:
      self.assertRaises(TypeError, state.Configure, *args, **kwargs)
    self.assertEqual([], simwin.calls())

  def test_second_configure_is_refused(self):
    state = plugwatch.DeviceMonitorState()
    state.Configure(len, len, len)
    with self.assertRaises(RuntimeError):
      state.Configure(abs, abs, abs)
    [window] = MonitorWindows()
    self.assertEqual(set([id(len)]), set(window["props"].values()))
    self.assertEqual([len] * 3, Callables(state))

  def test_configure_may_be_retried_after_window_creation_failed(self):
    simwin.fail("CreateWindowExW", ERROR_NOT_ENOUGH_MEMORY)
    state = plugwatch.DeviceMonitorState()
    self.assertRaises(WindowsError, state.Configure, len, len, len)
    state.Configure(abs, abs, abs)
    self.assertEqual(1, len(MonitorWindows()))

  def test_configure_looks_the_registration_up_at_the_moment_of_use(self):
    saved = plugwatch._RegisterDeviceMonitorWindowClass
    state = plugwatch.DeviceMonitorState()

    def ConfigureAgain():
      plugwatch._RegisterDeviceMonitorWindowClass = saved
      saved()
      state.Configure(abs, abs, abs)  # the inner call wins; the outer stops
    plugwatch._RegisterDeviceMonitorWindowClass = ConfigureAgain
    try:
      self.assertRaises(RuntimeError, state.Configure, len, len, len)
    finally:
      plugwatch._RegisterDeviceMonitorWindowClass = saved
    self.assertEqual(1, len(MonitorWindows()))
    self.assertEqual([abs] * 3, Callables(state))

  def test_callables_outlive_the_keyword_dictionary(self):
    # The registration empties the caller's keyword dictionary, dropping the
    # only other references to the callables before they are stored.
    class Callback(object):
      def __call__(self, path):
        pass

    saved = plugwatch._RegisterDeviceMonitorWindowClass
    arguments = {"arrive": Callback(), "remove": Callback(), "stop": Callback()}
    watched = list(map(weakref.ref, arguments.values()))

    def Register():
      arguments.clear()
      saved()
    plugwatch._RegisterDeviceMonitorWindowClass = Register
    state = plugwatch.DeviceMonitorState()
    try:
      state.Configure(**arguments)
    finally:
      plugwatch._RegisterDeviceMonitorWindowClass = saved
    self.assertTrue(all(ref() is not None for ref in watched))
    [window] = MonitorWindows()
    self.assertEqual(sorted(id(ref()) for ref in watched),
                     sorted(window["props"].values()))
    del state
    gc.collect()
    self.assertTrue(all(ref() is None for ref in watched))

  def test_subclass_is_a_state_too(self):
    class State(plugwatch.DeviceMonitorState):
      pass
    state = State()
    state.extra = "attribute"
    state.Configure(len, len, len)
    del state
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())


class PicklingTest(unittest.TestCase):

  TEXT = ("self.dll_window,self.notify_handle cannot be converted to a "
          "Python object for pickling")

  def test_state_cannot_be_pickled_or_copied(self):
    state = plugwatch.DeviceMonitorState()
    attempts = [lambda: pickle.dumps(state, protocol)
                for protocol in (0, 1, 2)]
    attempts += [lambda: copy.copy(state), lambda: copy.deepcopy(state),
                 state.__reduce__, lambda: state.__setstate__(None)]
    for attempt in attempts:
      with self.assertRaises(TypeError) as raised:
        attempt()
      self.assertEqual(self.TEXT, str(raised.exception))


class TeardownTest(unittest.TestCase):

  def setUp(self):
    simwin.reset()

  def tearDown(self):
    gc.collect()
    simwin.reset()

  def test_teardown_order_on_the_window_thread(self):
    released = []

    class Callback(object):
      def __call__(self, path):
        pass
    callback = Callback()
    state = plugwatch.DeviceMonitorState()
    state.Configure(callback, len, len)
    [window] = MonitorWindows()
    # Record how far teardown had got when the callable went.
    weakref_to_callback = weakref.ref(
        callback, lambda ref: released.append(len(ModuleCalls())))
    del callback
    simwin.clear_calls()
    del state
    calls = ModuleCalls()
    self.assertEqual(
        [("UnregisterDeviceNotification", window["notifications"][0])] +
        [("RemovePropW", window["hwnd"], name) for name in PROPERTIES] +
        [("DestroyWindow", window["hwnd"])],
        [call[:3] for call in calls])
    self.assertEqual([len(calls)], released)
    self.assertIsNone(weakref_to_callback())
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_cycle_collector_takes_the_properties_off_first(self):
    # state -> built-in bound to the tuple -> tuple -> state: the state is
    # the only member with a clear operation, so the collector clears it.
    state = plugwatch.DeviceMonitorState()
    holder = (state,)
    state.Configure(holder.count, holder.index, holder.__len__)
    [window] = MonitorWindows()
    del state, holder
    simwin.clear_calls()
    gc.collect()
    self.assertEqual(
        [("RemovePropW", window["hwnd"], name) for name in PROPERTIES] +
        [("UnregisterDeviceNotification", window["notifications"][0])] +
        [("RemovePropW", window["hwnd"], name) for name in PROPERTIES] +
        [("DestroyWindow", window["hwnd"])], ModuleCalls())
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_repeated_cycles_leak_nothing(self):
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(50):
      Owner()
      gc.collect()
    self.assertLess(len(gc.get_objects()) - before, 10)
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def test_teardown_on_another_thread_leaves_no_property_behind(self):
    configured = threading.Event()
    release_thread = threading.Event()
    states = []

    def ConfigureAndWait():
      state = plugwatch.DeviceMonitorState()
      state.Configure(len, len, len)
      states.append(state)
      del state
      configured.set()
      release_thread.wait(testsupport.DEFAULT_TIMEOUT)

    runner = testsupport.ThreadRunner(ConfigureAndWait)
    try:
      self.assertTrue(configured.wait(testsupport.DEFAULT_TIMEOUT))
      simwin.clear_calls()
      del states[:]  # teardown here, on a thread the window does not belong to
      self.assertEqual(["UnregisterDeviceNotification"] +
                       ["RemovePropW"] * 3 + ["DestroyWindow"],
                       CallNames(ModuleCalls()))
      # Windows refuses to destroy another thread's window; it stays without
      # properties or registration until its thread ends.
      [window] = MonitorWindows()
      self.assertEqual({}, window["props"])
      self.assertEqual([], window["notifications"])
    finally:
      release_thread.set()
      runner.wait()
    self.assertTrue(testsupport.wait_until(lambda: not MonitorWindows()))
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())


if __name__ == "__main__":
  unittest.main()
