"""simwin: windows, messages across threads, device-change broadcasts."""

import binascii
import ctypes
import struct
import sys
import threading
import time
import unittest
import weakref

import simwin
import testsupport

TIMEOUT = 10.0
WM_NULL = 0x0000
WM_NCCREATE = 0x0081
WM_NCDESTROY = 0x0082
WM_DESTROY = 0x0002
WM_QUIT = 0x0012
WM_DEVICECHANGE = 0x0219
WM_USER = 0x0400
DBT_DEVICEARRIVAL = 0x8000
DBT_DEVICEREMOVECOMPLETE = 0x8004
DBT_DEVTYP_VOLUME = 2
DBT_DEVTYP_DEVICEINTERFACE = 5
ERROR_ACCESS_DENIED = 5
VOLUME_INTERFACE_GUID = "{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}"
E_VOLUME = u"\\\\?\\Volume{33333333-0000-0000-0000-000000000005}\\"


def Hex(data):
  return binascii.hexlify(data).decode("ascii").upper()


def ReadDeviceRecord(lparam):
  """The fields of a WM_DEVICECHANGE record, read while it is alive."""
  if not lparam:
    return None
  size, devicetype, _ = struct.unpack("<III", ctypes.string_at(lparam, 12))
  raw = ctypes.string_at(lparam, size)
  if devicetype == DBT_DEVTYP_VOLUME:
    unitmask, flags = struct.unpack("<IH", raw[12:18])
    return ("volume", size, unitmask, flags)
  if devicetype == DBT_DEVTYP_DEVICEINTERFACE:
    data1, data2, data3 = struct.unpack("<IHH", raw[12:20])
    data4 = raw[20:28]
    guid = "{%08X-%04X-%04X-%s-%s}" % (
        data1, data2, data3, Hex(data4[:2]), Hex(data4[2:]))
    return ("interface", size, guid, raw[28:].decode("utf-16-le"))
  return ("other", size, devicetype)


class Recorder(object):
  """A window handler that records messages and answers from a table."""

  def __init__(self, answers=None):
    self.answers = answers or {}
    self.lock = threading.Lock()
    self.messages = []
    self.threads = []
    self.records = []

  def __call__(self, hwnd, msg, wparam, lparam):
    with self.lock:
      self.messages.append((hwnd, msg, wparam, lparam))
      self.threads.append(threading.current_thread())
      if msg == WM_DEVICECHANGE:
        self.records.append((wparam, ReadDeviceRecord(lparam)))
    return self.answers.get(msg)

  def Seen(self, msg):
    with self.lock:
      return [entry for entry in self.messages if entry[1] == msg]


class WindowThread(object):
  """A Python thread that owns one test window.

  Pumping: it runs the message loop until stop(). Otherwise it never looks
  at its queue until stop().
  """

  def __init__(self, class_name, handler=None, pumping=True,
               message_only=False):
    self.pumping = pumping
    self.ready = threading.Event()
    self.release = threading.Event()
    self.hwnd = None
    self.thread_id = None
    self.runner = testsupport.ThreadRunner(self._Run, class_name, handler,
                                           message_only)
    if not self.ready.wait(TIMEOUT):
      raise AssertionError("window thread did not start")
    if self.hwnd is None:
      self.runner.wait(TIMEOUT)  # re-raises the creation failure

  def _Run(self, class_name, handler, message_only):
    try:
      self.hwnd = simwin.create_window(class_name, handler,
                                       message_only=message_only)
      self.thread_id = simwin.current_thread()
    finally:
      self.ready.set()
    dispatched = 0
    if not self.pumping:
      self.release.wait(TIMEOUT)
    while not self.release.is_set():
      dispatched += simwin.pump(timeout=TIMEOUT)
    dispatched += simwin.pump()
    return dispatched

  def stop(self):
    """Ends the thread (its window goes with it); returns its pump count."""
    self.release.set()
    if self.pumping:
      simwin.post_message(self.hwnd, WM_QUIT)
    return self.runner.wait(TIMEOUT)


class WindowTestCase(unittest.TestCase):

  def setUp(self):
    simwin.reset()
    self.threads = []

  def tearDown(self):
    for thread in self.threads:
      if thread.runner.thread.is_alive():
        thread.release.set()
        if thread.pumping:
          simwin.post_message(thread.hwnd, WM_QUIT)
        thread.runner.thread.join(TIMEOUT)
    simwin.reset()

  def StartWindowThread(self, *args, **kwargs):
    thread = WindowThread(*args, **kwargs)
    self.threads.append(thread)
    return thread


class WindowListTest(WindowTestCase):

  def testCreatedWindowIsListed(self):
    hwnd = simwin.create_window(u"ListedClass")
    self.assertEqual([{"hwnd": hwnd, "class": u"ListedClass",
                       "thread": simwin.current_thread(), "props": {},
                       "notifications": []}], simwin.windows())
    self.assertIn(u"ListedClass", simwin.classes())
    self.assertEqual(1, simwin.open_objects()["windows"])
    simwin.destroy_window(hwnd)
    self.assertEqual([], simwin.windows())
    self.assertEqual(0, simwin.open_objects()["windows"])
    self.assertIn(u"ListedClass", simwin.classes())

  def testOwnerThreadIsReported(self):
    owner = self.StartWindowThread("ThreadClass")
    self.assertNotEqual(simwin.current_thread(), owner.thread_id)
    [window] = simwin.windows()
    self.assertEqual((owner.hwnd, owner.thread_id),
                     (window["hwnd"], window["thread"]))

  def testNextWindowHandle(self):
    for value in (0x80000001, 2 ** 40 + 5, 2 ** 64 - 16):
      simwin.next_window_handle(value)
      hwnd = simwin.create_window("HandleClass")
      self.assertEqual(value, hwnd)
      self.assertEqual(value, simwin.windows()[-1]["hwnd"])
      self.assertEqual(0, simwin.send_message(hwnd, WM_NULL))
      simwin.destroy_window(hwnd)

  def testPropsAndNotificationsAreListedAndCounted(self):
    hwnd = simwin.create_window("PropClass")
    simwin.set_prop(hwnd, u"ARRIVE", 0x1234)
    simwin.set_prop(hwnd, "STOP", 2 ** 48)
    notification = simwin.register_volume_notifications(hwnd)
    [window] = simwin.windows()
    self.assertEqual({u"ARRIVE": 0x1234, u"STOP": 2 ** 48}, window["props"])
    self.assertEqual([notification], window["notifications"])
    counts = simwin.open_objects()
    self.assertEqual((2, 1), (counts["props"], counts["notifications"]))
    self.assertEqual(0x1234, simwin.remove_prop(hwnd, u"ARRIVE"))
    self.assertEqual(0, simwin.remove_prop(hwnd, u"ARRIVE"))
    simwin.unregister_notifications(notification)
    counts = simwin.open_objects()
    self.assertEqual((1, 0), (counts["props"], counts["notifications"]))
    with self.assertRaises(OSError):
      simwin.unregister_notifications(notification)

  def testDestroyingReleasesTheWindowsProps(self):
    hwnd = simwin.create_window("ReleaseClass")
    simwin.set_prop(hwnd, u"ARRIVE", 1)
    notification = simwin.register_volume_notifications(hwnd)
    simwin.destroy_window(hwnd)
    counts = simwin.open_objects()
    self.assertEqual((0, 0), (counts["windows"], counts["props"]))
    # A registration is a handle of its own, undone only by unregistering.
    self.assertEqual(1, counts["notifications"])
    simwin.unregister_notifications(notification)
    self.assertEqual(0, simwin.open_objects()["notifications"])

  def testWindowsGoWithTheirThread(self):
    owner = self.StartWindowThread("GoneClass")
    self.assertEqual(1, len(simwin.windows()))
    owner.stop()
    self.assertTrue(testsupport.wait_until(lambda: not simwin.windows(),
                                           TIMEOUT))

  def testDestroyFromAnotherThreadIsRefused(self):
    owner = self.StartWindowThread("ForeignClass")
    with self.assertRaises(OSError) as caught:
      simwin.destroy_window(owner.hwnd)
    self.assertEqual(ERROR_ACCESS_DENIED, caught.exception.errno)
    self.assertEqual(1, len(simwin.windows()))

  def testUnknownWindow(self):
    for call in (lambda: simwin.destroy_window(0x777),
                 lambda: simwin.set_prop(0x777, u"A", 1),
                 lambda: simwin.send_message(0x777, WM_USER),
                 lambda: simwin.post_message(0x777, WM_USER),
                 lambda: simwin.send_device_change(0x777, DBT_DEVICEARRIVAL),
                 lambda: simwin.register_volume_notifications(0x777)):
      self.assertRaisesRegex(ValueError, "^no window 0x777$", call)

  def testResetForgetsWindowsAndClasses(self):
    simwin.create_window("ResetClass")
    simwin.reset()
    self.assertEqual([], simwin.windows())
    self.assertEqual([], simwin.classes())
    self.assertEqual(0, simwin.open_objects()["windows"])


class HandlerTest(WindowTestCase):

  def testHandlerSeesCreationAndDestruction(self):
    recorder = Recorder()
    hwnd = simwin.create_window("LifeClass", recorder)
    self.assertEqual(hwnd, recorder.Seen(WM_NCCREATE)[0][0])
    simwin.destroy_window(hwnd)
    msgs = [entry[1] for entry in recorder.messages]
    self.assertLess(msgs.index(WM_DESTROY), msgs.index(WM_NCDESTROY))
    self.assertEqual(WM_NCDESTROY, msgs[-1])

  def testCreationRefusedByTheHandler(self):
    recorder = Recorder({WM_NCCREATE: 0})
    with self.assertRaises(OSError):
      simwin.create_window("RefusedClass", recorder)
    self.assertEqual([], simwin.windows())

  def testHandlerReferenceIsReleasedWithTheWindow(self):
    recorder = Recorder()
    baseline = sys.getrefcount(recorder)
    for _ in range(20):
      simwin.destroy_window(simwin.create_window("RefClass", recorder))
    self.assertEqual(baseline, sys.getrefcount(recorder))
    simwin.create_window("RefClass", recorder)
    self.assertGreater(sys.getrefcount(recorder), baseline)
    simwin.reset()
    self.assertEqual(baseline, sys.getrefcount(recorder))

  def testFailingHandlerFallsBackToDefWindowProc(self):
    def Broken(hwnd, msg, wparam, lparam):
      if msg == WM_USER:
        raise ValueError("broken handler")
      return None

    hwnd = simwin.create_window("BrokenClass", Broken)
    saved = sys.stderr
    sys.stderr = captured = _Collector()
    try:
      self.assertEqual(0, simwin.send_message(hwnd, WM_USER))
    finally:
      sys.stderr = saved
    self.assertIn("broken handler", captured.text())

  def testKeywordArgumentsOutliveAFlagThatEmptiesTheirDictionary(self):
    kwargs = {}
    seen = []
    died = []

    class EmptyingFlag(object):
      def __nonzero__(self):
        kwargs.clear()
        return False

      __bool__ = __nonzero__

    def Handler(hwnd, msg, wparam, lparam):
      seen.append(msg)
      return None

    watch = weakref.ref(Handler, lambda ref: died.append(ref))
    kwargs.update(class_name=u"EmptiedClass", handler=Handler,
                  message_only=EmptyingFlag())
    del Handler  # the keyword dictionary holds the only reference
    hwnd = simwin.create_window(**kwargs)
    self.assertEqual([], died)
    self.assertIn(WM_NCCREATE, seen)
    simwin.destroy_window(hwnd)
    self.assertEqual(WM_NCDESTROY, seen[-1])
    self.assertEqual([watch], died)

  def testHandlerMustBeCallable(self):
    with self.assertRaises(TypeError):
      simwin.create_window("CallableClass", 5)
    self.assertEqual([], simwin.windows())


class _Collector(object):

  def __init__(self):
    self.parts = []

  def write(self, text):
    self.parts.append(text)

  def flush(self):
    pass

  def text(self):
    return "".join(self.parts)


class SendMessageTest(WindowTestCase):

  def testSameThreadCallsTheProcedureDirectly(self):
    recorder = Recorder({WM_USER: -7})
    hwnd = simwin.create_window("DirectClass", recorder)
    self.assertEqual(-7, simwin.send_message(hwnd, WM_USER, 2 ** 63 + 1, -3))
    self.assertEqual([(hwnd, WM_USER, 2 ** 63 + 1, -3)],
                     recorder.Seen(WM_USER))
    self.assertIs(threading.current_thread(), recorder.threads[-1])

  def testOtherThreadProcessesWhileTheSenderWaitsUnlocked(self):
    # The owner's handler needs the interpreter lock while the sender
    # waits: this only completes if send_message releases it.
    recorder = Recorder({WM_USER + 1: 42})
    owner = self.StartWindowThread("CrossClass", recorder)
    self.assertEqual(42, simwin.send_message(owner.hwnd, WM_USER + 1, 9, 10,
                                             timeout=TIMEOUT))
    self.assertEqual([(owner.hwnd, WM_USER + 1, 9, 10)],
                     recorder.Seen(WM_USER + 1))
    self.assertIs(owner.runner.thread, recorder.threads[-1])

  def testTimeoutAgainstAThreadThatNeverPumps(self):
    recorder = Recorder()
    owner = self.StartWindowThread("SilentClass", recorder, pumping=False)
    started = time.time()
    with self.assertRaises(simwin.Timeout) as caught:
      simwin.send_message(owner.hwnd, WM_USER + 2, timeout=0.2)
    self.assertLess(time.time() - started, TIMEOUT)
    self.assertIsInstance(caught.exception, RuntimeError)
    self.assertIn("0.2 seconds", str(caught.exception))
    self.assertEqual([], recorder.Seen(WM_USER + 2))
    owner.stop()
    # Withdrawn: the owner never sees the message that timed out.
    self.assertEqual([], recorder.Seen(WM_USER + 2))

  def testZeroTimeoutGivesUpAtOnce(self):
    owner = self.StartWindowThread("ZeroClass", pumping=False)
    with self.assertRaises(simwin.Timeout):
      simwin.send_message(owner.hwnd, WM_USER, timeout=0)

  def testArgumentErrors(self):
    hwnd = simwin.create_window("ArgsClass")
    for args, kwargs, error in (
        (("1", WM_USER), {}, TypeError),
        ((hwnd, 1.5), {}, TypeError),
        ((hwnd, 2 ** 32), {}, OverflowError),
        ((hwnd, WM_USER, 2 ** 64), {}, OverflowError),
        ((hwnd, WM_USER, 0, -2 ** 63 - 1), {}, OverflowError),
        ((hwnd, WM_USER), {"timeout": -1}, ValueError),
        ((hwnd, WM_USER), {"timeout": "1"}, TypeError),
        ((hwnd,), {}, TypeError)):
      with self.assertRaises(error, msg=repr(args)):
        simwin.send_message(*args, **kwargs)


class PostMessageTest(WindowTestCase):

  def testPostedMessagesAreDispatchedByTheOwnersPump(self):
    recorder = Recorder()
    owner = self.StartWindowThread("PostClass", recorder)
    for wparam in range(3):
      simwin.post_message(owner.hwnd, WM_USER + 3, wparam, lparam=-wparam)
    self.assertTrue(testsupport.wait_until(
        lambda: len(recorder.Seen(WM_USER + 3)) == 3, TIMEOUT))
    self.assertEqual([(owner.hwnd, WM_USER + 3, n, -n) for n in range(3)],
                     recorder.Seen(WM_USER + 3))
    self.assertEqual(3, owner.stop())

  def testPumpOnTheCallingThread(self):
    recorder = Recorder()
    hwnd = simwin.create_window("LocalPumpClass", recorder)
    simwin.post_message(hwnd, WM_USER, 1)
    simwin.post_message(0, WM_USER, 2)  # a thread message: not dispatched
    self.assertEqual(1, simwin.pump())
    self.assertEqual([(hwnd, WM_USER, 1, 0)], recorder.Seen(WM_USER))
    self.assertEqual(0, simwin.pump())

  def testPumpWaitsNoLongerThanItsTimeout(self):
    simwin.create_window("IdleClass")
    started = time.time()
    self.assertEqual(0, simwin.pump(timeout=0.2))
    elapsed = time.time() - started
    self.assertGreaterEqual(elapsed, 0.19)
    self.assertLess(elapsed, TIMEOUT)

  def testQuitEndsThePump(self):
    hwnd = simwin.create_window("QuitClass")
    simwin.post_message(hwnd, WM_QUIT)
    started = time.time()
    self.assertEqual(0, simwin.pump(timeout=TIMEOUT))
    self.assertLess(time.time() - started, TIMEOUT / 2)


class DeviceChangeTest(WindowTestCase):

  def testVolumeRecord(self):
    recorder = Recorder({WM_DEVICECHANGE: 1})
    owner = self.StartWindowThread("VolumeRecordClass", recorder)
    self.assertEqual(1, simwin.send_device_change(
        owner.hwnd, DBT_DEVICEARRIVAL, unitmask=1 << 4))
    self.assertEqual([(DBT_DEVICEARRIVAL, ("volume", 20, 1 << 4, 0))],
                     recorder.records)

  def testInterfaceRecord(self):
    recorder = Recorder()
    hwnd = simwin.create_window("InterfaceRecordClass", recorder)
    simwin.send_device_change(hwnd, DBT_DEVICEREMOVECOMPLETE,
                              devicetype=DBT_DEVTYP_DEVICEINTERFACE)
    [(event, record)] = recorder.records
    self.assertEqual(DBT_DEVICEREMOVECOMPLETE, event)
    self.assertEqual(("interface", VOLUME_INTERFACE_GUID),
                     (record[0], record[2]))
    self.assertGreaterEqual(record[1], 32)

  def testNullLparam(self):
    recorder = Recorder()
    hwnd = simwin.create_window("NullRecordClass", recorder)
    simwin.send_device_change(hwnd, 0x0007, null_lparam=True)
    self.assertEqual([(0x0007, None)], recorder.records)
    self.assertEqual(0, recorder.Seen(WM_DEVICECHANGE)[0][3])

  def testOtherRecordTypesAreABareHeader(self):
    recorder = Recorder()
    hwnd = simwin.create_window("PortRecordClass", recorder)
    simwin.send_device_change(hwnd, DBT_DEVICEARRIVAL, devicetype=3)
    self.assertEqual([(DBT_DEVICEARRIVAL, ("other", 12, 3))],
                     recorder.records)

  def testTimeoutAndArgumentErrors(self):
    owner = self.StartWindowThread("SlowRecordClass", pumping=False)
    with self.assertRaises(simwin.Timeout):
      simwin.send_device_change(owner.hwnd, DBT_DEVICEARRIVAL, timeout=0.1)
    with self.assertRaises(OverflowError):
      simwin.send_device_change(owner.hwnd, DBT_DEVICEARRIVAL,
                                devicetype=2 ** 32)
    with self.assertRaises(TypeError):
      simwin.send_device_change(owner.hwnd, DBT_DEVICEARRIVAL, unitmask="E")


class PlugTest(WindowTestCase):

  def testPlugAndUnplugAnnounceToTopLevelWindows(self):
    main_recorder = Recorder()
    thread_recorder = Recorder()
    hidden_recorder = Recorder()
    registered_recorder = Recorder()
    main_hwnd = simwin.create_window("PlugClass", main_recorder)
    owner = self.StartWindowThread("PlugClass", thread_recorder)
    self.StartWindowThread("PlugClass", hidden_recorder, message_only=True)
    registered = self.StartWindowThread("PlugClass", registered_recorder)
    simwin.register_volume_notifications(registered.hwnd)
    del main_hwnd, owner

    # The main thread's own window is served while plug waits for others.
    self.assertEqual(3, simwin.plug(E_VOLUME, [u"E:\\", u"C:\\Stick\\"],
                                    label=u"STICK", timeout=TIMEOUT))
    self.assertEqual([E_VOLUME], testsupport.Win32().ListVolumes())
    self.assertEqual(u"STICK",
                     testsupport.Win32().VolumeInformation(u"E:\\")[0])
    arrival = (DBT_DEVICEARRIVAL, ("volume", 20, 1 << 4, 0))
    self.assertEqual([arrival], main_recorder.records)
    self.assertEqual([arrival], thread_recorder.records)
    self.assertEqual([], hidden_recorder.records)
    self.assertEqual(2, len(registered_recorder.records))
    self.assertIn(arrival, registered_recorder.records)
    interface = [record for event, record in registered_recorder.records
                 if record[0] == "interface"]
    self.assertEqual(VOLUME_INTERFACE_GUID, interface[0][2])

    self.assertEqual(3, simwin.unplug(E_VOLUME, timeout=TIMEOUT))
    removal = (DBT_DEVICEREMOVECOMPLETE, ("volume", 20, 1 << 4, 0))
    self.assertEqual([arrival, removal], thread_recorder.records)
    with self.assertRaises(testsupport.Win32CallFailed):
      testsupport.Win32().ListVolumes()
    with self.assertRaises(KeyError):
      simwin.unplug(E_VOLUME)

  def testWindowThatDoesNotAnswerIsNotCounted(self):
    answering = self.StartWindowThread("AnswerClass", Recorder())
    self.StartWindowThread("AnswerClass", Recorder(), pumping=False)
    del answering
    started = time.time()
    self.assertEqual(1, simwin.plug(E_VOLUME, [u"E:\\"], timeout=0.2))
    self.assertLess(time.time() - started, TIMEOUT)

  def testArgumentErrors(self):
    with self.assertRaises(TypeError):
      simwin.plug(E_VOLUME)
    with self.assertRaises(TypeError):
      simwin.plug(E_VOLUME, u"E:\\")
    with self.assertRaises(TypeError):
      simwin.plug(E_VOLUME, [u"E:\\"], colour=1)
    with self.assertRaises(ValueError):
      simwin.plug(E_VOLUME, [u"E:\\"], timeout=-1)
    with self.assertRaises(TypeError):
      simwin.unplug(E_VOLUME, timeout=None)
    with self.assertRaises(testsupport.Win32CallFailed):
      testsupport.Win32().ListVolumes()


if __name__ == "__main__":
  unittest.main()
