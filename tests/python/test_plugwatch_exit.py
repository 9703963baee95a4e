"""windows.plugwatch as threads and the interpreter end: daemon monitors
receiving drive events as the host application ends must not crash or hang
the process; exit functions may stop monitors from any place in the exit
order; Stop posts nothing once the window's thread has gone; and a lack of
memory is raised as MemoryError wherever the monitor meets it."""

import logging
import os
import re
import sys
import time
import unittest

import pyversion
import simwin
import testsupport
from windows import plugwatch

# Under AddressSanitizer every child starts slower; the plain run does the
# full count.
EXITS = 50 if testsupport.UNDER_ASAN else 200
# Exits of a host that dropped the exit functions after the import, the
# hook that closes the gate among them.
EXITS_WITHOUT_HOOK = EXITS // 4

# Four daemon monitors and four daemon threads plugging and unplugging
# drives; the interpreter exits while events are in flight.
CHILD = r"""
import sys, threading, time
import pyversion, simwin
from windows import plugwatch
if %s:
  pyversion.drop_exit_functions()


class Sink(object):
  def Push(self, event):
    pass


monitors = [plugwatch.DeviceMonitor(handler=Sink(), daemon=True)
            for _ in range(4)]
for monitor in monitors:
  monitor.start()
deadline = time.time() + 10
while (time.time() < deadline and
       not all(hasattr(monitor, "_window_handle") for monitor in monitors)):
  time.sleep(0.001)


def Churn(index):
  name = u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000%%02x}\\" %% index
  path = u"%%s:\\" %% chr(ord("E") + index)
  while True:
    simwin.plug(name, [path], timeout=0.2)
    simwin.unplug(name, timeout=0.2)


for index in range(4):
  churn = threading.Thread(target=Churn, args=(index,))
  churn.daemon = True
  churn.start()
time.sleep(%f)
sys.exit(0)
"""


# A callback that runs the host's exit functions itself while the
# interpreter runs on: the gate stays open and the monitor keeps working.
REENTRANT_CHILD = r"""
from __future__ import print_function
import atexit, threading, time
import simwin
from windows import plugwatch

pushed = threading.Event()


class ExitingHandler(object):
  def Push(self, event):
    atexit._run_exitfuncs()
    pushed.set()


monitor = plugwatch.DeviceMonitor(handler=ExitingHandler(), daemon=True)
monitor.start()
deadline = time.time() + 10
while time.time() < deadline and not hasattr(monitor, "_window_handle"):
  time.sleep(0.001)
simwin.plug(u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000e5}\\",
            [u"E:\\"], timeout=10)
print(pushed.wait(10))
# The monitor is not parked: the interpreter runs on.
pushed.clear()
simwin.plug(u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000f6}\\",
            [u"F:\\"], timeout=10)
print("delivered after:", pushed.wait(10))
monitor.Stop()
monitor.join(10)
print("alive:", monitor.is_alive())
"""


# A host exit function that stops and joins a daemon monitor, registered
# before or after the monitor's module is imported.
EXIT_FUNCTION_CHILD = r"""
from __future__ import print_function
import atexit, sys, time
import testsupport

def StopMonitor():
  monitor.Stop()
  monitor.join(5)
  print("alive after join:", monitor.is_alive())

if %(before_import)r:
  atexit.register(StopMonitor)
from windows import plugwatch
if not %(before_import)r:
  atexit.register(StopMonitor)
monitor = plugwatch.DeviceMonitor(handler=testsupport.EventHandler(),
                                  daemon=True)
monitor.start()
testsupport.wait_until(lambda: hasattr(monitor, "_window_handle"))
sys.exit(0)
"""

# A daemon monitor whose handler is inside Push as the main thread exits:
# it blocks for good on a queue that the exiting main thread no longer
# drains, or finishes shortly after.
CALLBACK_AT_EXIT_CHILD = r"""
from __future__ import print_function
import sys, threading, time
import simwin, testsupport
from pyversion import queue
from windows import plugwatch

full = queue.Queue(1)
full.put("never taken")
entered = threading.Event()

class BlockingHandler(object):
  def Push(self, event):
    entered.set()
    %(push)s

monitor = plugwatch.DeviceMonitor(handler=BlockingHandler(), daemon=True)
monitor.start()
testsupport.wait_until(lambda: hasattr(monitor, "_window_handle"))
simwin.plug(u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000e5}\\",
            [u"E:\\"], timeout=0.2)
print("blocked in Push:", entered.wait(10))
%(before_exit)s
sys.exit(0)
"""

# Exit functions dropped, so that nothing waits for a callback in flight,
# and a teardown held up by the final collection of a slow __del__: a
# callback that wants the interpreter lock back meanwhile is ended by
# Python 3 mid-teardown.
SLOW_TEARDOWN = r"""
import gc, pyversion
pyversion.drop_exit_functions()

class SlowTeardown(object):
  def __del__(self, sleep=time.sleep):
    sleep(1.0)

gc.disable()
cycle = SlowTeardown()
cycle.itself = cycle
del cycle
"""

# Allocation failures, chosen through the preloaded tests/failing_alloc.
MEMORY_CHILD_SETUP = r"""
from __future__ import print_function
import ctypes, os, threading
import pyversion, simwin, testsupport
from windows import plugwatch

shim = ctypes.CDLL(os.environ["FAILING_ALLOC"])
shim.failing_alloc_arm_text.argtypes = [ctypes.c_char_p, ctypes.c_long]
shim.failing_alloc_arm_thread.argtypes = [ctypes.c_long]

def Outcome(operation, *args):
  try:
    operation(*args)
  except Exception as error:
    return type(error).__name__
  return "returned"
"""

# Each thread's first Configure, with its nth allocation failing, for every
# n up to the first that Configure does not reach.
FIRST_CONFIGURE_CHILD = MEMORY_CHILD_SETUP + r"""
win32 = ctypes.CDLL(testsupport.simwin_library_path())

def FirstConfigure(nth, outcomes):
  # The double's own per-thread state first: Windows has a thread's before
  # its first call.
  win32.GetCurrentThreadId()
  win32.SetLastError(0)
  state = plugwatch.DeviceMonitorState()
  shim.failing_alloc_arm_thread(nth)
  outcome = Outcome(state.Configure, None, None, None)
  fired = shim.failing_alloc_thread_fired()
  shim.failing_alloc_arm_thread(0)
  del state
  left = dict((kind, count) for kind, count in simwin.open_objects().items()
              if count)
  outcomes.append((outcome, fired, left))

for nth in range(1, 1000):
  outcomes = []
  thread = threading.Thread(target=FirstConfigure, args=(nth, outcomes))
  thread.start()
  thread.join(10)
  outcome, fired, left = outcomes[0]
  if not fired:
    break
  if outcome not in ("MemoryError", "returned") or left:
    print(nth, outcome, left)
print("swept", nth - 1)
"""

# A name the monitor looks up fails to be made for lack of memory.
NAME_LOOKUP_CHILD = MEMORY_CHILD_SETUP + r"""
import logging
ctypes.pythonapi.PyDict_GetItemString.argtypes = [ctypes.py_object,
                                                  ctypes.c_char_p]
shim.failing_alloc_arm_text(b"interposition probe", 1)
Outcome(lambda: ctypes.pythonapi.PyDict_GetItemString({},
                                                      b"interposition probe"))
if not shim.failing_alloc_text_fired():
  print("not interposable")
  raise SystemExit(0)

def Fails(name, operation):
  shim.failing_alloc_arm_text(name.encode("ascii"), 1)
  outcome = Outcome(operation)
  return "%s %s fired %d" % (name, outcome, shim.failing_alloc_text_fired())

print(Fails("sync_client_thread",
            plugwatch.DeviceMonitor(handler=testsupport.EventHandler()).Stop))
print(Fails("_RegisterDeviceMonitorWindowClass",
            lambda: plugwatch.DeviceMonitorState().Configure(None, None, None)))

# In the window procedure: the arrival callback's failure for lack of memory
# (the drive path's text cannot be made) reaches IsFatal as the MemoryError
# it is, which the host judges fatal.
class OutOfMemoryEvents(object):
  @staticmethod
  def MountEvent(path):
    shim.failing_alloc_arm_text(b"E:\\", 1)
    return from_string(b"E:\\")

from_string = getattr(ctypes.pythonapi, pyversion.STR_FROM_STRING)
from_string.argtypes = [ctypes.c_char_p]
from_string.restype = ctypes.py_object
plugwatch.volume_handler = OutOfMemoryEvents
with testsupport.capture_logs("plugwatch") as log:
  monitor = plugwatch.DeviceMonitor(handler=testsupport.EventHandler(),
                                    daemon=True)
  monitor.start()
  testsupport.wait_until(lambda: hasattr(monitor, "_window_handle"))
  simwin.plug(u"\\\\?\\Volume{00000000-0000-0000-0000-0000000000e5}\\",
              [u"E:\\"])
  monitor.join(10)
print("monitor alive:", monitor.is_alive())
for record in log.records:
  print(record.levelname, record.getMessage(),
        record.exc_info[0].__name__ if record.exc_info else "")
"""


class InterpreterExitTest(unittest.TestCase):

  def AssertExitFunctionStopsMonitor(self, before_import):
    code, out, err = testsupport.run_snippet(
        EXIT_FUNCTION_CHILD % {"before_import": before_import}, timeout=30.0)
    self.assertEqual((0, "alive after join: False\n"), (code, out), err)

  def test_exit_function_registered_after_the_import_stops_monitors(self):
    self.AssertExitFunctionStopsMonitor(before_import=False)

  def test_exit_function_registered_before_the_import_stops_monitors(self):
    self.AssertExitFunctionStopsMonitor(before_import=True)

  def test_exit_functions_run_from_a_callback(self):
    code, out, err = testsupport.run_snippet(REENTRANT_CHILD, timeout=30.0)
    self.assertEqual((0, "True\ndelivered after: True\nalive: False\n"),
                     (code, out), err)

  def test_a_blocked_callback_holds_exit_briefly(self):
    started = time.time()
    code, out, err = testsupport.run_snippet(
        CALLBACK_AT_EXIT_CHILD % {"push": "full.put(event)",
                                  "before_exit": ""},
        timeout=30.0)
    self.assertEqual((0, "blocked in Push: True\n"), (code, out), err)
    # About a second of waiting, well inside the child's own bound.
    self.assertLess(time.time() - started, 15.0)

  def test_exit_waits_for_a_callback_in_flight(self):
    # The gate's closing waits for it; without the closing, the thread
    # would be stopped when it wants the interpreter lock back.
    code, out, err = testsupport.run_snippet(
        CALLBACK_AT_EXIT_CHILD % {
            "push": "time.sleep(0.5); print('Push finished'); "
                    "sys.stdout.flush()",
            "before_exit": ""},
        timeout=30.0)
    self.assertEqual((0, "blocked in Push: True\nPush finished\n"),
                     (code, out), err)

  def test_callback_ended_mid_teardown_leaves_the_interpreter_alone(self):
    # Python 3 ends the callback's thread as it wants the lock back; the
    # module's frames on that thread must not release what they hold while
    # the exiting thread tears the interpreter down.
    code, out, err = testsupport.run_snippet(
        CALLBACK_AT_EXIT_CHILD % {"push": "time.sleep(0.3)",
                                  "before_exit": SLOW_TEARDOWN},
        timeout=30.0)
    self.assertEqual((0, "blocked in Push: True\n", ""), (code, out, err))

  def test_exit_while_drive_events_arrive(self):
    failures = []
    for attempt in range(EXITS + EXITS_WITHOUT_HOOK):
      # Exit at different points of the plug and unplug cycle.
      linger = 0.01 * (1 + attempt % 7)
      code, _, err = testsupport.run_snippet(
          CHILD % (attempt >= EXITS, linger), timeout=30.0)
      if code != 0:
        failures.append((attempt, code, err[-1500:]))
    sys.stderr.write("interpreter exits tried: %d, deaths by signal: %d\n" %
                     (EXITS + EXITS_WITHOUT_HOOK,
                      len([f for f in failures if f[1] < 0])))
    self.assertEqual([], failures)


class StopAsTheThreadEndsTest(unittest.TestCase):

  def test_stop_posts_nothing_once_the_thread_ended_in_its_log_call(self):
    simwin.reset()
    monitor = plugwatch.DeviceMonitor(handler=testsupport.EventHandler(),
                                      daemon=True)
    monitor.start()
    self.assertTrue(testsupport.wait_until(lambda: simwin.windows()))
    window = simwin.windows()[0]["hwnd"]

    class EndTheThread(logging.Handler):
      def emit(self, record):
        if record.getMessage().startswith("Posting stop message"):
          # The stop is recorded: any message wakes the pump to end the run.
          simwin.post_message(window, 0)
          monitor.join(testsupport.DEFAULT_TIMEOUT)
          testsupport.wait_until(lambda: not simwin.windows())

    ender = EndTheThread()
    # The monitor thread logs as it ends, while this thread is in emit.
    ender.lock = None
    with testsupport.capture_logs("plugwatch") as log:
      logging.getLogger("plugwatch").addHandler(ender)
      try:
        simwin.clear_calls()
        simwin.record_calls(True)
        monitor.Stop()
      finally:
        simwin.record_calls(False)
        logging.getLogger("plugwatch").removeHandler(ender)
    self.assertFalse(monitor.is_alive())
    self.assertEqual([("INFO", "Posting stop message to window message "
                       "queue."),
                      ("INFO", "Window not found, not notifying it.")],
                     [entry for entry in log.messages()
                      if entry[0] == "INFO"])
    self.assertEqual([("PostMessageW", window, 0, 0, 0)],
                     [call for call in simwin.calls()
                      if call[0] == "PostMessageW"])


@unittest.skipIf(testsupport.UNDER_ASAN,
                 "AddressSanitizer keeps the allocator to itself")
class MemoryFailureTest(unittest.TestCase):

  def RunChild(self, code):
    library = os.path.join(
        os.path.dirname(testsupport.simwin_library_path()),
        "libfailing_alloc.so")
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))
    code, out, err = testsupport.run_snippet(
        code, timeout=120.0,
        env={"LD_PRELOAD": preload, "FAILING_ALLOC": library})
    self.assertEqual(0, code, err[-3000:])
    return out.splitlines()

  def test_first_configure_of_a_thread_without_memory(self):
    lines = self.RunChild(FIRST_CONFIGURE_CHILD)
    # Every failing allocation gave MemoryError, or was absorbed, and left
    # nothing open.
    self.assertEqual(1, len(lines), lines)
    self.assertTrue(re.match(r"^swept [1-9][0-9]*$", lines[0]), lines)

  def test_name_lookups_without_memory_raise_memory_error(self):
    lines = self.RunChild(NAME_LOOKUP_CHILD)
    if lines == ["not interposable"]:
      self.skipTest("the interpreter calls its own functions directly")
    # Module-level names are made at load: a lookup makes no text that an
    # allocation failure could hit.
    self.assertEqual([
        "sync_client_thread returned fired 0",
        "_RegisterDeviceMonitorWindowClass returned fired 0",
        "monitor alive: False",
        "ERROR Volume arrival callback for E:\\ failed. MemoryError",
        "ERROR Failure was fatal, ending monitor. ",
        "INFO Posting stop message to window message queue. ",
        "DEBUG Done with event loop. "], lines)


if __name__ == "__main__":
  unittest.main()
