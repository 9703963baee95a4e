"""The host's `common` and `platforms` modules."""

import logging
import os
import pickle
import sys
import threading
import time
import unittest

import pyversion

import testsupport
import windows  # noqa: F401 (WindowsError off Windows)
from common import fatal_exceptions
from common import service
from common import sync_client_thread
from common import utils
from common import volume_entry
from common import volume_handler
from platforms import platform_utils

TIMEOUT = 10.0


class SingletonTest(unittest.TestCase):

  def Decorate(self, constructions):
    @service.Singleton
    class Service(object):
      """A service."""

      def __init__(self, value=None):
        constructions.append(value)
        time.sleep(0.01)  # widens the window for a second creation
        self.value = value

    return Service

  def testOneSharedInstance(self):
    constructions = []
    factory = self.Decorate(constructions)
    first = factory(1)
    self.assertIs(first, factory())
    self.assertIs(first, factory(2))
    self.assertEqual([1], constructions)
    self.assertIsInstance(first, factory.__wrapped__)

  def testConcurrentFirstCallsShareOneInstance(self):
    constructions = []
    factory = self.Decorate(constructions)
    start = threading.Event()
    instances = []

    def Get():
      start.wait(TIMEOUT)
      instances.append(factory())

    runners = [testsupport.ThreadRunner(Get) for _ in range(8)]
    start.set()
    for runner in runners:
      runner.wait(TIMEOUT)
    self.assertEqual(1, len(constructions))
    self.assertEqual(8, len(instances))
    self.assertEqual(1, len(set(id(instance) for instance in instances)))

  def testExposesTheClass(self):
    factory = self.Decorate([])
    self.assertEqual("Service", factory.__name__)
    self.assertEqual("A service.", factory.__doc__)
    self.assertEqual(__name__, factory.__module__)
    self.assertEqual("Service", factory.__wrapped__.__name__)

  def testResetHookMakesANewInstance(self):
    constructions = []
    factory = self.Decorate(constructions)
    first = factory(1)
    factory._ResetInstanceForTesting()
    second = factory(2)
    self.assertIsNot(first, second)
    self.assertEqual([1, 2], constructions)

  def testFailedCreationLeavesNoInstance(self):
    attempts = []

    @service.Singleton
    class Flaky(object):

      def __init__(self):
        attempts.append(None)
        if len(attempts) == 1:
          raise ValueError("first attempt fails")

    with self.assertRaises(ValueError):
      Flaky()
    self.assertIsNotNone(Flaky())
    self.assertEqual(2, len(attempts))

  def testEveryWayOfImportingGivesSingleton(self):
    from common.service import service as submodule
    self.assertIs(service.Singleton, submodule.Singleton)
    # As a native module's body imports it: the name `service` taken from
    # the module common.service.
    imported = __import__("common.service", globals(), {}, ["service"],
                          pyversion.IMPORT_LEVEL)
    self.assertIs(service.Singleton, getattr(imported, "service").Singleton)


class MonotonicTimeTest(unittest.TestCase):

  def testNeverGoesBackAndAdvances(self):
    readings = [utils.GetMonotonicTime() for _ in range(1000)]
    self.assertEqual(sorted(readings), readings)
    before = utils.GetMonotonicTime()
    time.sleep(0.05)
    elapsed = utils.GetMonotonicTime() - before
    self.assertGreaterEqual(elapsed, 0.04)
    self.assertLess(elapsed, 5.0)
    self.assertIsInstance("%g" % elapsed, str)

  def testUsesTheSystemsMonotonicClockOnLinux(self):
    if sys.platform.startswith("linux"):
      self.assertNotIsInstance(utils._MONOTONIC_CLOCK,
                               utils._NonDecreasingClock)

  def testFallsBackWhereTheLoaderRefusesTheProcessItself(self):
    # Windows' ctypes raises TypeError for CDLL(None) and has no librt.
    def WindowsCDLL(name, **kwargs):
      if name is None:
        raise TypeError("expected string or Unicode object, NoneType found")
      raise OSError("[Error 126] The specified module could not be found")
    original = utils.ctypes.CDLL
    utils.ctypes.CDLL = WindowsCDLL
    try:
      self.assertIsNone(utils._LoadClockGettime())
      self.assertIsInstance(utils._MakeMonotonicClock(),
                            utils._NonDecreasingClock)
    finally:
      utils.ctypes.CDLL = original

  def testFallbackIgnoresAClockSetBack(self):
    clock = utils._NonDecreasingClock()
    wall = [100.0]
    original = utils.time.time
    utils.time.time = lambda: wall[0]
    try:
      self.assertEqual(100.0, clock())
      wall[0] = 90.0  # the wall clock is set back
      self.assertEqual(100.0, clock())
      wall[0] = 101.5
      self.assertEqual(101.5, clock())
    finally:
      utils.time.time = original


def MakeEntry(**changes):
  fields = dict(volume="serial:1", mountpoint=u"C:\\",
                device_file=u"\\\\?\\Volume{1}\\", device_number=1,
                uuid="1", model=None,
                device_type=volume_entry.DeviceType.INTERNAL,
                label=u"Windows", filesystem="ntfs", size=2 ** 40)
  fields.update(changes)
  return volume_entry.VolumeEntry(**fields)


class VolumeEntryTest(unittest.TestCase):

  def testDeviceTypeMembers(self):
    device_type = volume_entry.DeviceType
    members = [device_type.UNKNOWN, device_type.REMOVABLE,
               device_type.INTERNAL, device_type.NETWORK, device_type.RAM]
    self.assertEqual(5, len(set(id(member) for member in members)))
    self.assertEqual("DeviceType.REMOVABLE", repr(device_type.REMOVABLE))
    self.assertNotEqual(device_type.REMOVABLE, device_type.INTERNAL)
    self.assertIs(device_type.RAM,
                  pickle.loads(pickle.dumps(device_type.RAM, 2)))

  def testFieldsAreAttributes(self):
    entry = MakeEntry()
    self.assertEqual("serial:1", entry.volume)
    self.assertEqual(u"C:\\", entry.mountpoint)
    self.assertIs(volume_entry.DeviceType.INTERNAL, entry.device_type)
    self.assertIsNone(entry.model)
    self.assertEqual(2 ** 40, entry.size)

  def testEveryFieldRequiredAsKeyword(self):
    with self.assertRaises(TypeError):
      volume_entry.VolumeEntry("serial:1")
    fields = dict((name, None) for name in volume_entry.VolumeEntry.FIELDS)
    for name in volume_entry.VolumeEntry.FIELDS:
      partial = dict(fields)
      del partial[name]
      with self.assertRaises(TypeError) as caught:
        volume_entry.VolumeEntry(**partial)
      self.assertIn(name, str(caught.exception))
    with self.assertRaises(TypeError) as caught:
      volume_entry.VolumeEntry(colour="red", **fields)
    self.assertIn("colour", str(caught.exception))

  def testEqualityAndHash(self):
    self.assertEqual(MakeEntry(), MakeEntry())
    self.assertFalse(MakeEntry() != MakeEntry())
    self.assertEqual(hash(MakeEntry()), hash(MakeEntry()))
    for name, value in (("label", u"Other"), ("size", 1), ("uuid", None),
                        ("device_type", volume_entry.DeviceType.REMOVABLE)):
      self.assertNotEqual(MakeEntry(), MakeEntry(**{name: value}), name)
    self.assertNotEqual(MakeEntry(), "serial:1")
    table = {MakeEntry().volume: MakeEntry()}
    self.assertEqual(MakeEntry(), table["serial:1"])

  def testReprShowsEveryField(self):
    text = repr(MakeEntry())
    self.assertTrue(text.startswith("VolumeEntry(volume='serial:1', "), text)
    for name in volume_entry.VolumeEntry.FIELDS:
      self.assertIn(name + "=", text)
    self.assertIn("device_type=DeviceType.INTERNAL", text)


class VolumeEventTest(unittest.TestCase):

  def testEventsCarryThePath(self):
    mount = volume_handler.MountEvent("E:\\")
    unmount = volume_handler.UnmountEvent("E:\\")
    self.assertEqual("E:\\", mount.path)
    self.assertEqual("E:\\", unmount.path)
    self.assertEqual(volume_handler.MountEvent("E:\\"), mount)
    self.assertEqual(hash(volume_handler.MountEvent("E:\\")), hash(mount))
    self.assertNotEqual(mount, unmount)
    self.assertNotEqual(mount, volume_handler.MountEvent("F:\\"))
    self.assertEqual("MountEvent('E:\\\\')", repr(mount))
    self.assertEqual("UnmountEvent('E:\\\\')", repr(unmount))


class IsFatalTest(unittest.TestCase):

  def testFatalKinds(self):
    for fatal in (MemoryError(), SystemExit(1), KeyboardInterrupt(),
                  fatal_exceptions.FatalError("stop")):
      self.assertTrue(fatal_exceptions.IsFatal(fatal), fatal)
    for harmless in (ValueError(), RuntimeError(), WindowsError(5, "x"),
                     Exception(), None, "MemoryError"):
      self.assertFalse(fatal_exceptions.IsFatal(harmless), harmless)


class LockTest(unittest.TestCase):

  def testMutualExclusion(self):
    lock = platform_utils.Lock()
    inside = []
    overlaps = []

    def Work():
      for _ in range(20):
        with lock:
          inside.append(None)
          if len(inside) > 1:
            overlaps.append(None)
          time.sleep(0.0005)
          inside.pop()

    runners = [testsupport.ThreadRunner(Work) for _ in range(4)]
    for runner in runners:
      runner.wait(TIMEOUT)
    self.assertEqual([], overlaps)

  def testExceptionsPassThroughAndReleaseTheLock(self):
    lock = platform_utils.Lock()
    with self.assertRaises(ValueError):
      with lock:
        self.assertTrue(lock.locked())
        raise ValueError("inside")
    self.assertFalse(lock.locked())
    self.assertIs(lock, lock.__enter__())
    self.assertIs(False, lock.__exit__(None, None, None))
    self.assertFalse(lock.locked())


class Worker(sync_client_thread.SyncClientThread):
  """Runs until stopped, counting its passes."""

  def __init__(self, *args, **kwargs):
    self.running = threading.Event()
    self.run_thread = None
    sync_client_thread.SyncClientThread.__init__(self, "Worker", *args,
                                                 **kwargs)

  def Run(self):
    self.run_thread = threading.current_thread()
    self.running.set()
    while not self.ShouldStop():
      time.sleep(0.001)


class SyncClientThreadTest(unittest.TestCase):

  def testRunsOnItsThreadUntilStopped(self):
    worker = Worker()
    self.assertEqual("Worker", worker.name)
    worker.start()
    self.assertTrue(worker.running.wait(TIMEOUT))
    self.assertIs(worker, worker.run_thread)
    self.assertFalse(worker.ShouldStop())
    worker.Stop()
    worker.join(TIMEOUT)
    self.assertFalse(worker.is_alive())
    self.assertTrue(worker.ShouldStop())

  def testStopBeforeStartIsRemembered(self):
    worker = Worker()
    worker.Stop()
    worker.start()
    worker.join(TIMEOUT)
    self.assertFalse(worker.is_alive())
    self.assertTrue(worker.running.is_set())

  def testStopFromManyThreads(self):
    worker = Worker()
    worker.start()
    self.assertTrue(worker.running.wait(TIMEOUT))
    stoppers = [testsupport.ThreadRunner(worker.Stop) for _ in range(4)]
    for stopper in stoppers:
      stopper.wait(TIMEOUT)
    worker.join(TIMEOUT)
    self.assertFalse(worker.is_alive())

  def testDaemonHonouredAndOtherArgumentsKept(self):
    worker = Worker(1, 2, daemon=True, handler="h")
    self.assertTrue(worker.daemon)
    self.assertEqual((1, 2), worker.args)
    self.assertEqual({"handler": "h"}, worker.kwargs)
    self.assertFalse(Worker().daemon)

  def testPauseAndResume(self):
    worker = Worker()
    self.assertFalse(worker.IsPaused())
    worker.Pause()
    self.assertTrue(worker.IsPaused())
    worker.Resume()
    self.assertFalse(worker.IsPaused())

  def testFailingRunIsLoggedAndKept(self):

    class Failing(sync_client_thread.SyncClientThread):

      def Run(self):
        raise ValueError("broken")

    failing = Failing("Failing")
    with testsupport.capture_logs("sync_client_thread",
                                  logging.ERROR) as logs:
      # The thread machinery reports the exception again on stderr; the
      # record and `failure` are what the application reads.
      saved_stderr = sys.stderr
      sys.stderr = open(os.devnull, "w")
      try:
        failing.start()
        failing.join(TIMEOUT)
      finally:
        sys.stderr.close()
        sys.stderr = saved_stderr
    self.assertFalse(failing.is_alive())
    self.assertIsInstance(failing.failure, ValueError)
    self.assertEqual([("ERROR", "Thread Failing failed.")], logs.messages())

  def testBaseRunIsAbstract(self):
    with self.assertRaises(NotImplementedError):
      sync_client_thread.SyncClientThread("Plain").Run()


if __name__ == "__main__":
  unittest.main()
