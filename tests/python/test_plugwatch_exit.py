"""windows.plugwatch while the interpreter exits: daemon monitors receiving
drive events as the host application ends must not crash the process."""

import sys
import unittest

import testsupport

# Under AddressSanitizer every child starts slower; the plain run does the
# full count.
EXITS = 50 if testsupport.UNDER_ASAN else 200

# Four daemon monitors and four daemon threads plugging and unplugging
# drives; the interpreter exits while events are in flight.
CHILD = r"""
import sys, threading, time
import simwin
from windows import plugwatch


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


# A callback that runs the host's exit functions itself: the hook that
# closes the gate runs inside the visit of its own thread and must not wait
# for it.
REENTRANT_CHILD = r"""
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
"""


class InterpreterExitTest(unittest.TestCase):

  def test_exit_functions_run_from_a_callback(self):
    code, out, err = testsupport.run_snippet(REENTRANT_CHILD, timeout=30.0)
    self.assertEqual((0, "True\n"), (code, out), err)

  def test_exit_while_drive_events_arrive(self):
    failures = []
    for attempt in range(EXITS):
      # Exit at different points of the plug and unplug cycle.
      linger = 0.01 * (1 + attempt % 7)
      code, _, err = testsupport.run_snippet(CHILD % linger, timeout=30.0)
      if code != 0:
        failures.append((attempt, code, err[-1500:]))
    sys.stderr.write("interpreter exits tried: %d, deaths by signal: %d\n" %
                     (EXITS, len([f for f in failures if f[1] < 0])))
    self.assertEqual([], failures)


if __name__ == "__main__":
  unittest.main()
