"""windows.plugwatch as a hostile host drives it: window handles reused
after a monitor's thread ended, clean-up calls that fail, and a stop message
that cannot be posted."""

import gc
import random
import sys
import threading
import unittest
import weakref

import simwin
import testsupport
from common import volume_handler
from test_plugwatch_monitor import CARD
from test_plugwatch_monitor import Handler
from test_plugwatch_monitor import MonitorTestCase
from test_plugwatch_monitor import Running
from test_plugwatch_monitor import STICK
from windows import plugwatch

TIMEOUT = testsupport.DEFAULT_TIMEOUT
WM_USER = 0x0400
DBT_DEVICEARRIVAL = 0x8000
DBT_DEVICEQUERYREMOVE = 0x8001
DBT_DEVICEREMOVECOMPLETE = 0x8004
DBT_DEVNODES_CHANGED = 0x0007
DBT_DEVTYP_VOLUME = 2
DBT_DEVTYP_DEVICEINTERFACE = 5
ERROR_ACCESS_DENIED = 5
ERROR_NOT_ENOUGH_QUOTA = 1816


def WindowHandles():
  return [window["hwnd"] for window in simwin.windows()]


class WindowReuseTest(MonitorTestCase):
  """A monitor whose thread ended holds a handle that Windows may give to a
  later window; nothing the old monitor does may reach that window."""

  def EndedMonitor(self):
    """A monitor that ran and stopped, its thread gone with its window."""
    old = Running(plugwatch.DeviceMonitor(handler=Handler()))
    hwnd = old.hwnd
    self.assertIsNone(old.Stop())
    self.assertTrue(testsupport.wait_until(
        lambda: hwnd not in WindowHandles()), "the window outlived its thread")
    return old.monitor, hwnd

  def ReusingMonitor(self, hwnd, handler):
    simwin.next_window_handle(hwnd)
    new = self.Start(handler)
    self.assertEqual(hwnd, new.hwnd)
    return new

  def AssertStillMonitoring(self, new, handler):
    """Events keep reaching the new monitor, and it stops within a bound."""
    with testsupport.capture_logs("plugwatch") as logs:
      self.assertEqual(1, simwin.plug(CARD, [u"F:\\"]))
      self.assertEqual(volume_handler.MountEvent("F:\\"), handler.Next())
      self.assertEqual(1, simwin.unplug(CARD))
      self.assertEqual(volume_handler.UnmountEvent("F:\\"), handler.Next())
      self.assertIsNone(new.Stop())
    self.assertNotIn("WARNING", [level for level, _ in logs.messages()])

  def test_release_on_another_thread_after_reuse(self):
    # Through the cycle collector (monitor <-> state) and, for a state with
    # no cycle, through teardown alone.
    def MonitorCycle():
      monitor, hwnd = self.EndedMonitor()
      return [monitor], hwnd

    def PlainState():
      state = plugwatch.DeviceMonitorState()

      def Configure():
        state.Configure(len, len, len)
        return WindowHandles()
      [hwnd] = testsupport.ThreadRunner(Configure).wait()
      self.assertTrue(testsupport.wait_until(lambda: not WindowHandles()))
      return [state], hwnd

    for make_old in (MonitorCycle, PlainState):
      held, hwnd = make_old()
      handler = Handler()
      new = self.ReusingMonitor(hwnd, handler)
      simwin.clear_calls()
      del held[:]
      gc.collect()
      self.assertEqual([], [call for call in simwin.calls()
                            if hwnd in call[1:] and call[0] != "GetPropW"])
      self.AssertStillMonitoring(new, handler)
      self.running.remove(new)

  def test_release_on_the_new_windows_thread_after_reuse(self):
    monitor, hwnd = self.EndedMonitor()
    held = [monitor]
    del monitor

    def ReleaseOld(event):
      del held[:]
      gc.collect()
    handler = Handler(on_push=ReleaseOld)
    new = self.ReusingMonitor(hwnd, handler)
    self.assertEqual(1, simwin.plug(STICK, [u"E:\\"]))
    self.assertEqual(volume_handler.MountEvent("E:\\"), handler.Next())
    self.assertEqual([], held)
    self.assertIn(hwnd, WindowHandles())
    self.AssertStillMonitoring(new, handler)

  def test_stop_of_an_ended_monitor_after_reuse(self):
    monitor, hwnd = self.EndedMonitor()
    handler = Handler()
    new = self.ReusingMonitor(hwnd, handler)
    simwin.clear_calls()
    with testsupport.capture_logs("plugwatch") as logs:
      monitor.Stop()
    self.assertEqual([("INFO", "Window not found, not notifying it.")],
                     logs.messages())
    self.assertNotIn("PostMessageW", [call[0] for call in simwin.calls()])
    self.AssertStillMonitoring(new, handler)


class RandomTrafficTest(MonitorTestCase):
  """Seeded random WM_DEVICECHANGE traffic of every kind a hostile program
  could send, against exactly the callbacks the messages call for."""

  SEED = 20261208
  MESSAGES = 20000

  @staticmethod
  def RandomMessage(rng):
    event = rng.choice([DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE,
                        DBT_DEVICEQUERYREMOVE, DBT_DEVNODES_CHANGED,
                        rng.randrange(1 << 16)])
    devicetype = rng.choice([DBT_DEVTYP_VOLUME, DBT_DEVTYP_VOLUME,
                             DBT_DEVTYP_DEVICEINTERFACE, rng.randrange(8)])
    unitmask = rng.choice([0, 1 << rng.randrange(32), rng.getrandbits(32)])
    null_lparam = rng.random() < 0.1
    return event, devicetype, unitmask, null_lparam

  @staticmethod
  def ExpectedEvent(event, devicetype, unitmask, null_lparam):
    """The host event a message must produce, or None."""
    if null_lparam or devicetype != DBT_DEVTYP_VOLUME:
      return None
    factory = {DBT_DEVICEARRIVAL: volume_handler.MountEvent,
               DBT_DEVICEREMOVECOMPLETE: volume_handler.UnmountEvent}
    if event not in factory:
      return None
    drives = [bit for bit in range(25) if unitmask & (1 << bit)]
    letter = chr(ord("A") + (drives[0] if drives else 25))
    return factory[event](letter + ":\\")

  def test_random_device_change_traffic(self):
    rng = random.Random(self.SEED)
    handler = Handler()
    running = self.Start(handler)
    hwnd = running.hwnd
    expected = []
    for _ in range(self.MESSAGES):
      message = self.RandomMessage(rng)
      event, devicetype, unitmask, null_lparam = message
      result = simwin.send_device_change(hwnd, event, devicetype, unitmask,
                                         null_lparam, TIMEOUT)
      if event in (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE):
        self.assertEqual(0, result, message)
      wanted = self.ExpectedEvent(*message)
      if wanted is not None:
        expected.append(wanted)
    self.assertEqual(expected, handler.Pending())
    self.assertIsNone(running.Stop())
    sys.stderr.write("device-change messages sent: %d, events: %d\n" %
                     (self.MESSAGES, len(expected)))


class FailedCleanUpTest(MonitorTestCase):

  def test_a_property_that_cannot_be_removed_keeps_its_callable(self):
    configured = threading.Event()
    release_thread = threading.Event()
    states = []

    class Callback(object):
      def __call__(self, path):
        pass
    callbacks = [Callback(), Callback(), Callback()]
    watched = list(map(weakref.ref, callbacks))

    def ConfigureAndWait():
      state = plugwatch.DeviceMonitorState()
      state.Configure(*callbacks)
      states.append(state)
      del state
      configured.set()
      release_thread.wait(TIMEOUT)

    runner = testsupport.ThreadRunner(ConfigureAndWait)
    try:
      self.assertTrue(configured.wait(TIMEOUT))
      [window] = simwin.windows()
      simwin.fail("RemovePropW", ERROR_ACCESS_DENIED, nth=2)
      del callbacks[:]
      with testsupport.capture_logs("plugwatch") as logs:
        del states[:]  # teardown on a thread the window does not belong to
      gc.collect()
      self.assertEqual(
          [("ERROR", "Could not remove window property REMOVE_CALLBACK "
                     "(error 5); its callable is kept.")], logs.messages())
      # The window still names the removal callable, so it lives on; the
      # others went with their properties.
      [window] = simwin.windows()
      self.assertEqual(["REMOVE_CALLBACK"], list(window["props"]))
      self.assertEqual([True, False, True],
                       [ref() is None for ref in watched])
      self.assertEqual(id(watched[1]()), window["props"]["REMOVE_CALLBACK"])
    finally:
      release_thread.set()
      runner.wait()

  def test_a_stop_message_that_cannot_be_posted_is_logged(self):
    handler = Handler()
    running = self.Start(handler)
    simwin.fail("PostMessageW", ERROR_NOT_ENOUGH_QUOTA)
    with testsupport.capture_logs("plugwatch") as logs:
      running.monitor.Stop()
      self.assertTrue(running.runner.thread.is_alive())
      # The stop is recorded: the next message of any kind ends the pump.
      simwin.plug(STICK, [u"E:\\"])
      self.assertIsNone(running.runner.wait(TIMEOUT))
    self.assertEqual(
        [("INFO", "Posting stop message to window message queue."),
         ("ERROR", "Could not post stop message to window message queue "
                   "(error 1816); the monitor ends at its next wake-up."),
         ("DEBUG", "Done with event loop.")], logs.messages())


if __name__ == "__main__":
  unittest.main()
