"""windows.volumes: the VolumeInfo table refresh, on the Win32 test double."""

import gc
import logging
import re
import sys
import threading
import unittest

from common import volume_entry
import pyversion
import simwin
import testsupport
from test_volumes_queries import (ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND,
                                  ERROR_NOT_READY, LONG_PATHS, FileHandle,
                                  VolumesTestCase, guid_name, needed_length)
from windows import volumes

DeviceType = volume_entry.DeviceType
REFRESHING = ("INFO", "Refreshing volume information table.", ())


class RecordingLock(object):
  """A context manager that records how the refresh uses it."""

  def __init__(self, exit_result=False):
    self.events = []
    self.exit_result = exit_result

  def __getattribute__(self, name):
    if name in ("__enter__", "__exit__"):
      object.__getattribute__(self, "events").append(name)
    return object.__getattribute__(self, name)

  def __enter__(self):
    self.events.append("entered")

  def __exit__(self, *exc_info):
    self.events.append(exc_info + (sys.exc_info()[1],))
    return self.exit_result


def logger_failing_on(fragment, error):
  """A LOGGER stand-in that raises `error` for messages holding `fragment`."""
  logger = logging.getLogger("windows.volumes")

  class Failing(object):
    def __getattr__(self, level):
      def Log(message, *args):
        if fragment in message:
          raise error
        return getattr(logger, level)(message, *args)
      return Log

  return Failing()


class RefreshTestCase(VolumesTestCase):

  def setUp(self):
    VolumesTestCase.setUp(self)
    self.service = volumes.VolumeInfo.__wrapped__()

  def refresh(self, service=None):
    service = service or self.service
    return service._PopulateVolumeTable(service._volume_ids)

  def cache_fat_answer(self):
    """Puts an IsFAT answer in the cache; returns a test of its presence."""
    name = self.add_volume(99, serial=99, filesystem=u"FAT32")
    handle = FileHandle(simwin.open_handle(name))
    self.addCleanup(simwin.close_handle, handle.handle)
    volumes.IsFAT(99, handle)

    def StillCached():
      simwin.clear_calls()
      volumes.IsFAT(99, handle)
      return not self.calls_of("GetVolumeInformationByHandleW")
    return StillCached


class ServiceTest(RefreshTestCase):

  def test_instance_state_and_class(self):
    self.assertEqual((self.service._volume_ids, self.service._volume_entries),
                     ({}, {}))
    self.assertIsNot(self.service._volume_ids, self.service._volume_entries)
    self.assertFalse(self.service._lock.locked())
    cls = volumes.VolumeInfo.__wrapped__
    self.assertEqual((type(cls), cls.__bases__, cls.__module__),
                     (type, (object,), "windows.volumes"))
    self.assertTrue(cls.__doc__.startswith(
        "Volume information cache service.\n"))
    self.assertIsNone(cls._PopulateVolumeTable.__doc__)
    volumes.platform_utils = None
    self.assertRaises(AttributeError, cls)

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "Python 3 has no unbound methods")
  def test_unbound_method_checks_its_instance(self):
    with self.assertRaises(TypeError) as raised:
      volumes.VolumeInfo.__wrapped__.AllVolumeEntries(object())
    self.assertIn("unbound method", str(raised.exception))

  def test_methods_bind_self_with_python_arity_errors(self):
    self.assertIs(self.service.AllVolumeEntries.__self__, self.service)
    cases = [
        (self.service.FindVolumeID, (), {},
         "FindVolumeID() takes exactly 2 arguments (1 given)"),
        (self.service.AllVolumeEntries, (True, 2), {},
         "AllVolumeEntries() takes at most 2 arguments (3 given)"),
        (self.service.AllVolumeEntries, (), {"force": True},
         "AllVolumeEntries() got an unexpected keyword argument 'force'"),
        (self.service._PopulateVolumeTable, ({},),
         {"current_volume_ids": {}},
         "_PopulateVolumeTable() got multiple values for keyword argument "
         "'current_volume_ids'"),
        (pyversion.function_of(volumes.VolumeInfo.__wrapped__.__init__), (), {},
         "__init__() takes exactly 1 argument (0 given)"),
    ]
    for method, args, kwargs, message in cases:
      with self.assertRaises(TypeError) as raised:
        method(*args, **kwargs)
      self.assertEqual(str(raised.exception), message)
    volumes._ListVolumeNames = lambda: []
    token = self.service._PopulateVolumeTable(
        current_volume_ids=self.service._volume_ids)
    self.assertIs(token, self.service._volume_ids)


class RefreshTest(RefreshTestCase):

  def test_records_and_log_in_order(self):
    multi = self.add_volume(1, LONG_PATHS, label=u"Archive", serial=0xA1,
                            filesystem=u"NTFS", drive_type=3, total_bytes=1000)
    hidden = self.add_volume(2, label=u"Recovery", serial=0xA2)
    stick = self.add_volume(3, [u"E:\\"], label=u"MiXeD", serial=0xFFFFFFFF,
                            filesystem=u"ExFAT", drive_type=2,
                            total_bytes=8 << 30)
    with self.capture() as handler:
      token = self.refresh()
    self.assertIs(token, self.service._volume_ids)
    self.assertEqual(token, {})
    entries = self.service._volume_entries
    self.assertEqual(entries["serial:161"], volume_entry.VolumeEntry(
        volume="serial:161", mountpoint=u"F:\\", device_file=multi,
        device_number=0xA1, uuid=pyversion.native_str(multi[11:-2]), model=None,
        device_type=DeviceType.INTERNAL, label=u"Archive", filesystem="ntfs",
        size=1000))
    self.assertIs(entries["serial:161"].volume, pyversion.intern("serial:161"))
    usb = entries["serial:4294967295"]
    self.assertEqual((usb.device_file, usb.label, usb.filesystem, usb.size,
                      usb.device_type, type(usb.uuid)),
                     (stick, u"MiXeD", "exfat", 8 << 30,
                      DeviceType.REMOVABLE, str))
    self.assertEqual(len(entries), 2)
    messages = self.records(handler)
    self.assertEqual(messages[:-1], [
        REFRESHING,
        ("DEBUG", "%s isn't big enough, allocating %s bytes.",
         (10, 2 * needed_length(LONG_PATHS))),
        ("DEBUG", "Got multiple mounts for %s: %s", (multi, LONG_PATHS)),
        ("DEBUG", "Volume %s has no mount point. Skipping.", (hidden,)),
        # The logging framework takes a lone non-empty dict as a mapping.
        ("INFO", "Got new volume entries: %r", entries),
    ])
    self.assertEqual(messages[-1][:2], (
        "INFO", "Volume information refresh complete in %gs."))
    self.assertTrue(messages[-1][2][0] >= 0)
    # Every query goes by the GUID name, not by the mount point.
    self.assertEqual(self.calls_of("GetDriveTypeW"), [(multi,), (stick,)])
    self.assertEqual(self.calls_of("GetDiskFreeSpaceExW"),
                     [(multi,), (stick,)])
    self.assertNothingOpen()

  def test_drive_types_uuid_and_duplicate_serials(self):
    self.assertEqual(volumes.DRIVE_TYPE_MAP, {
        0: DeviceType.UNKNOWN, 1: DeviceType.UNKNOWN, 2: DeviceType.REMOVABLE,
        3: DeviceType.INTERNAL, 4: DeviceType.NETWORK,
        5: DeviceType.REMOVABLE, 6: DeviceType.RAM})
    # Win32 numbers reach the host as longs.
    self.assertEqual(set(map(type, volumes.DRIVE_TYPE_MAP)), set([pyversion.long_type]))
    for code in range(8):
      self.add_volume(code, [u"%s:\\" % "HIJKLMNO"[code]], serial=code,
                      drive_type=code)
    simwin.add_volume(u"\\\\?\\Volume{ABCDEF01-0123-4567-89ab-CDEF01234567}\\",
                      [u"P:\\"], serial=3, label=u"later")
    self.refresh()
    entries = self.service._volume_entries
    self.assertEqual(
        [entries["serial:%d" % code].device_type for code in range(8)],
        [DeviceType.UNKNOWN, DeviceType.UNKNOWN, DeviceType.REMOVABLE,
         DeviceType.INTERNAL,
         DeviceType.NETWORK, DeviceType.REMOVABLE, DeviceType.RAM,
         DeviceType.UNKNOWN])
    self.assertEqual((entries["serial:3"].label, entries["serial:3"].uuid),
                     (u"later", "ABCDEF01-0123-4567-89ab-CDEF01234567"))

  def test_mount_points_sorted_by_length_stably(self):
    cases = [[u"C:\\M\\x\\", u"G:\\"], [u"H:\\", u"C:\\M\\", u"G:\\"]]
    for number, reported in enumerate(cases):
      self.add_volume(number, reported, serial=number)
    with self.capture() as handler:
      self.refresh()
    self.assertEqual(
        [record[2][1] for record in self.records(handler)
         if record[1].startswith("Got multiple")],
        [[u"G:\\", u"C:\\M\\x\\"], [u"H:\\", u"G:\\", u"C:\\M\\"]])
    self.assertEqual(self.service._volume_entries["serial:1"].mountpoint,
                     u"H:\\")

  def test_per_volume_failures(self):
    self.add_volume(1, [u"E:\\", u"C:\\Stick\\"], serial=1)
    self.add_volume(2, [u"G:\\"], serial=2, total_bytes=4096)
    self.add_volume(3, LONG_PATHS, serial=3)
    # Calls 1 and 2 resolve the first volume, call 3 the second; the third
    # fails once its buffer has grown (a failure that reports no length
    # would be a volume without mount points).
    simwin.fail("GetVolumePathNamesForVolumeNameW", ERROR_NOT_READY, 5)
    simwin.fail("GetVolumeInformationW", ERROR_ACCESS_DENIED)
    simwin.fail("GetDiskFreeSpaceExW", ERROR_NOT_READY)
    with self.capture() as handler:
      self.refresh()
    self.assertEqual(list(self.service._volume_entries), ["serial:2"])
    self.assertEqual(self.service._volume_entries["serial:2"].size, 0)
    failures = [(record.levelname, record.msg, record.args,
                 getattr(record.exc_info and record.exc_info[1], "winerror",
                         None))
                for record in handler.records[1:-2]
                if not record.msg.startswith(("Got multiple", "%s isn't"))]
    self.assertEqual(failures, [
        ("ERROR", "Unable to fetch volume info for %r, skipping.", (u"E:\\",),
         ERROR_ACCESS_DENIED),
        ("DEBUG", "Could not determine volume capacity for %r", (u"G:\\",),
         None),
        ("ERROR", "Could not write path names into %s-byte buffer.",
         (2 * needed_length(LONG_PATHS),), None),
        ("ERROR", "Could not determine mount point for %s",
         (guid_name(3),), ERROR_NOT_READY),
    ])

  def test_volume_gone_before_its_query_is_an_error_record(self):
    volumes._ListVolumeNames = lambda: [guid_name(9)]
    with self.capture() as handler:
      self.refresh()
    [record] = [record for record in handler.records
                if record.levelname != "INFO"]
    self.assertEqual(("ERROR", "Could not determine mount point for %s",
                      (guid_name(9),), ERROR_FILE_NOT_FOUND),
                     (record.levelname, record.msg, record.args,
                      record.exc_info[1].winerror))

  def test_each_failing_query_in_turn(self):
    for query in ["GetVolumePathNamesForVolumeNameW", "GetVolumeInformationW",
                  "GetDriveTypeW", "GetDiskFreeSpaceExW"]:
      for nth in (1, 2, 3):
        simwin.reset()
        for number in (1, 2, 3):
          self.add_volume(number, [u"%s:\\" % "EFG"[number - 1]],
                          serial=number)
        simwin.fail(query, ERROR_NOT_READY, nth)
        with self.capture():
          self.refresh()
        self.assertTrue(len(self.service._volume_entries) >= 2, (query, nth))
        self.assertNothingOpen()

  def test_enumeration_failure_changes_nothing(self):
    self.add_volume(1, [u"E:\\"], serial=1)
    self.refresh()
    token, table = self.service._volume_ids, self.service._volume_entries
    still_cached = self.cache_fat_answer()
    for function in ("FindFirstVolumeW", "FindNextVolumeW"):
      simwin.fail(function, ERROR_NOT_READY)
      with self.capture() as handler:
        self.assertRaises(WindowsError, self.service._PopulateVolumeTable,
                          token)
      self.assertEqual(self.records(handler), [REFRESHING])
      self.assertIs(self.service._volume_ids, token)
      self.assertIs(self.service._volume_entries, table)
      self.assertFalse(self.service._lock.locked())
      self.assertNothingOpen(file_handles=1)
    self.assertTrue(still_cached())

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "an 8-bit str volume name is Python 2.7's alone")
  def test_empty_enumeration_and_rebound_names(self):
    still_cached = self.cache_fat_answer()
    byte_name = self.add_volume(2, [u"G:\\"], serial=2).encode("ascii")
    volumes._ListVolumeNames = lambda: iter([42, byte_name, None])
    # Called directly, not by name.
    volumes._GetVolumePathNamesForVolumeName = None
    volumes.GetVolumeInformation = None
    with self.capture() as handler:
      old_token, token = self.service._volume_ids, self.refresh()
    # None is queried by its text, which names no volume.
    self.assertEqual(self.calls_of("GetVolumePathNamesForVolumeNameW"),
                     [(byte_name.decode("ascii"), 5), (u"None", 5)])
    self.assertIsNot(token, old_token)
    self.assertEqual(self.service._volume_entries, {})
    self.assertIn(("INFO", "Got new volume entries: %r", ({},)),
                  self.records(handler))
    self.assertFalse(still_cached())
    errors = [(record.msg, record.args, record.exc_info[1])
              for record in handler.records if record.levelname == "ERROR"]
    self.assertEqual([error[:2] for error in errors], [
        ("Could not determine mount point for %s", (42,)),
        ("Unable to fetch volume info for %r, skipping.", (u"G:\\",)),
        ("Could not determine mount point for %s", (None,))])
    self.assertEqual([str(error[2]) for error in errors[:2]],
                     ["Expected basestring, got int",
                      "Expected unicode, got str"])
    self.assertIsInstance(errors[2][2], WindowsError)

  def test_one_name_text_for_every_query_of_a_volume(self):
    name = self.add_volume(1, [u"E:\\"], serial=1)
    volumes._ListVolumeNames = lambda: [name + u"\x00" + name, name]
    with self.capture() as handler:
      self.refresh()
    self.assertEqual(list(self.service._volume_entries), ["serial:1"])
    self.assertEqual(
        [(record.msg, str(record.exc_info[1])) for record in handler.records
         if record.levelname == "ERROR"],
        [("Could not determine mount point for %s",
          "Argument 'guid_path' must be a string without null characters")])
    for query in ("GetVolumePathNamesForVolumeNameW", "GetVolumeInformationW",
                  "GetDriveTypeW", "GetDiskFreeSpaceExW"):
      self.assertEqual([call[0] for call in self.calls_of(query)][-1:],
                       [name], query)

  def test_module_names_used_at_each_refresh(self):
    self.add_volume(1, [u"E:\\"], serial=1)
    volumes._VolumeIDFromSerialNumber = lambda serial: "id-%s" % serial
    volumes.VOLUME_NAME_GUID_MATCHER = re.compile("no match")
    self.refresh()
    self.assertEqual(self.service._volume_entries["id-1"].uuid, None)
    del volumes.utils
    with self.assertRaises(NameError) as raised:
      self.refresh()
    self.assertEqual(str(raised.exception), "name 'utils' is not defined")

  def test_own_matcher_and_an_equal_one_give_the_same_uuids(self):
    for index in range(3):
      self.add_volume(index, [u"%s:\\" % chr(ord("E") + index)],
                      serial=index)
    self.refresh()
    own = dict((key, entry.uuid)
               for key, entry in self.service._volume_entries.items())
    volumes.VOLUME_NAME_GUID_MATCHER = re.compile(
        volumes.VOLUME_NAME_GUID_MATCHER.pattern)
    self.refresh()
    self.assertEqual(dict((key, entry.uuid) for key, entry
                          in self.service._volume_entries.items()), own)
    self.assertTrue(all(type(uuid) is str and len(uuid) == 36
                        for uuid in own.values()), own)

  def test_steps_and_timing_in_order(self):
    events = []

    class Instant(object):
      def __init__(self, seconds):
        self.seconds = seconds

      def __sub__(self, other):
        events.append("subtract")
        return self.seconds - other.seconds

    instants = iter([Instant(1.0), Instant(3.5)])

    class Clock(object):
      @staticmethod
      def GetMonotonicTime():
        events.append("GetMonotonicTime")
        return next(instants)

    logger = logging.getLogger("windows.volumes")

    class Recording(object):
      def __getattr__(self, level):
        events.append(level)
        return getattr(logger, level)

    volumes.utils = Clock
    volumes.LOGGER = Recording()
    volumes._ListVolumeNames = lambda: events.append("_ListVolumeNames") or []
    with self.capture() as handler:
      self.refresh()
    # The logger's method is fetched before the difference is taken.
    self.assertEqual(events, [
        "info", "GetMonotonicTime", "_ListVolumeNames", "info",
        "GetMonotonicTime", "info", "subtract"])
    self.assertEqual(self.records(handler)[-1], (
        "INFO", "Volume information refresh complete in %gs.", (2.5,)))

  def test_one_volume_in_evaluation_order(self):
    # The Win32 calls and the module names read between them, up to the
    # record's constructor.
    name = self.add_volume(1, [u"E:\\"], serial=1, drive_type=2)
    events = []
    seen = [0]

    def Note(event):
      calls = simwin.calls()
      events.extend(call[0] for call in calls[seen[0]:])
      seen[0] = len(calls)
      events.append(event)

    class Watched(object):
      def __init__(self, name, target):
        self.name, self.target = name, target

      def __getattr__(self, attribute):
        Note("%s.%s" % (self.name, attribute))
        return getattr(self.target, attribute)

    class DriveTypes(dict):
      def get(self, code, default):
        Note(("DRIVE_TYPE_MAP.get", type(code), code))
        return dict.get(self, code, default)

    class Entries(object):
      DeviceType = Watched("DeviceType", DeviceType)

      @staticmethod
      def VolumeEntry(**fields):
        Note("VolumeEntry")
        return volume_entry.VolumeEntry(**fields)

    volume_id = volumes._VolumeIDFromSerialNumber
    volumes._ListVolumeNames = lambda: [name]
    volumes._VolumeIDFromSerialNumber = lambda serial: (
        Note("_VolumeIDFromSerialNumber") or volume_id(serial))
    volumes.DRIVE_TYPE_MAP = DriveTypes(volumes.DRIVE_TYPE_MAP)
    volumes.VOLUME_NAME_GUID_MATCHER = Watched(
        "VOLUME_NAME_GUID_MATCHER", volumes.VOLUME_NAME_GUID_MATCHER)
    volumes.volume_entry = Watched("volume_entry", Entries)
    simwin.clear_calls()
    self.refresh()
    self.assertEqual(events, [
        "GetVolumePathNamesForVolumeNameW", "GetVolumeInformationW",
        "GetDriveTypeW", "volume_entry.DeviceType", "DeviceType.UNKNOWN",
        ("DRIVE_TYPE_MAP.get", pyversion.long_type, 2), "GetDiskFreeSpaceExW",
        "VOLUME_NAME_GUID_MATCHER.match", "volume_entry.VolumeEntry",
        "_VolumeIDFromSerialNumber", "VolumeEntry"])
    self.assertEqual(self.service._volume_entries["serial:1"].device_type,
                     DeviceType.REMOVABLE)

  def test_stale_token_changes_nothing(self):
    self.add_volume(1, [u"E:\\"], serial=1)
    self.refresh()
    still_cached = self.cache_fat_answer()
    token, table = self.service._volume_ids, self.service._volume_entries
    simwin.clear_calls()
    with self.capture() as handler:
      for stale in ({}, None, dict(token)):
        self.assertIs(self.service._PopulateVolumeTable(stale), token)
    self.assertEqual((handler.records, simwin.calls()), ([], []))
    self.assertIs(self.service._volume_entries, table)
    self.assertTrue(still_cached())


class RefreshErrorsTest(RefreshTestCase):

  def test_record_constructor_error_before_publication(self):
    self.add_volume(1, [u"E:\\"], serial=1)
    token = self.service._volume_ids
    order = []

    def VolumeId(serial):
      order.append("_VolumeIDFromSerialNumber")
      return "serial:%s" % serial

    class Entries(object):
      DeviceType = DeviceType

      @staticmethod
      def VolumeEntry(**fields):
        order.append("VolumeEntry")
        raise ValueError(sorted(fields))

    volumes.volume_entry = Entries
    volumes._VolumeIDFromSerialNumber = VolumeId
    with self.assertRaises(ValueError) as raised:
      self.refresh()
    self.assertEqual(raised.exception.args[0],
                     sorted(volume_entry.VolumeEntry.FIELDS))
    self.assertEqual(order, ["_VolumeIDFromSerialNumber", "VolumeEntry"])
    self.assertIs(self.service._volume_ids, token)
    self.assertEqual(self.service._volume_entries, {})
    self.assertFalse(self.service._lock.locked())

  def test_error_after_publication_keeps_the_new_table(self):
    self.add_volume(1, [u"E:\\"], serial=1)
    still_cached = self.cache_fat_answer()
    token = self.service._volume_ids
    volumes.LOGGER = logger_failing_on("Got new volume entries",
                                       KeyError("info refused"))
    self.assertRaises(KeyError, self.refresh)
    self.assertIsNot(self.service._volume_ids, token)
    self.assertEqual(list(self.service._volume_entries), ["serial:1"])
    self.assertTrue(still_cached())
    self.assertFalse(self.service._lock.locked())

  def test_only_ordinary_exceptions_are_skipped(self):
    # The growth record is logged inside the mount-point query.
    self.add_volume(1, LONG_PATHS, serial=1)
    volumes.LOGGER = logger_failing_on("isn't big enough", ValueError())
    with self.capture() as handler:
      self.refresh()
    self.assertEqual(self.service._volume_entries, {})
    self.assertEqual([record.msg for record in handler.records
                      if record.levelname == "ERROR"],
                     ["Could not determine mount point for %s"])
    volumes.LOGGER = logger_failing_on("isn't big enough", KeyboardInterrupt())
    self.assertRaises(KeyboardInterrupt, self.refresh)
    self.assertFalse(self.service._lock.locked())

  def test_handler_emptying_the_logged_mount_points(self):
    # The sorted list goes to the host's handlers, which can change it.
    self.add_volume(1, [u"C:\\Long\\", u"E:\\"], serial=1)
    token = self.service._volume_ids

    class Emptying(logging.Handler):
      def emit(self, record):
        if record.msg.startswith("Got multiple"):
          del record.args[1][:]

    logger = logging.getLogger("windows.volumes")
    emptying = Emptying()
    logger.addHandler(emptying)
    self.addCleanup(logger.removeHandler, emptying)
    with self.capture():
      self.assertRaises(IndexError, self.refresh)
    self.assertIs(self.service._volume_ids, token)
    self.assertFalse(self.service._lock.locked())

  def test_no_references_kept_by_skips_and_failures(self):
    name = self.add_volume(1, LONG_PATHS, serial=1)
    volumes._ListVolumeNames = lambda: [name]

    class Discarding(object):
      def __getattr__(self, level):
        return lambda message, *args: None

    class Refusing(object):
      DeviceType = DeviceType

      @staticmethod
      def VolumeEntry(**fields):
        raise ValueError("refused")

    volumes.LOGGER = Discarding()
    base = sys.getrefcount(name)
    # Each refresh resolves the mount points in two calls; the second one,
    # after growth, fails with a length and so raises.
    for function, nth in [("GetVolumePathNamesForVolumeNameW", 2),
                          ("GetVolumeInformationW", 1),
                          ("GetDiskFreeSpaceExW", 1), (None, None)]:
      for _ in range(50):
        if function:
          simwin.fail(function, ERROR_NOT_READY, nth)
        self.refresh()
    volumes.volume_entry = Refusing
    for _ in range(50):
      self.assertRaises(ValueError, self.refresh)
    self.assertEqual(self.service._volume_entries["serial:1"].device_file,
                     name)
    self.service._volume_entries = {}
    self.assertEqual(sys.getrefcount(name), base)


class LockContextTest(RefreshTestCase):

  def test_context_protocol(self):
    lock = self.service._lock = RecordingLock()
    self.add_volume(1, [u"E:\\"], serial=1)
    self.refresh()
    self.service._PopulateVolumeTable({})  # early return exits too
    self.assertEqual(lock.events, ["__exit__", "__enter__", "entered",
                                   (None, None, None, None)] * 2)

  def test_exception_handed_to_exit(self):
    lock = self.service._lock = RecordingLock()
    simwin.fail("FindFirstVolumeW", ERROR_NOT_READY)
    try:
      raise IndexError("handled by the caller")
    except IndexError:
      self.assertRaises(WindowsError, self.refresh)
      self.assertIs(sys.exc_info()[0], IndexError)
    exc_type, exc_value, traceback, current = lock.events[-1]
    self.assertIs(exc_type, WindowsError)
    self.assertEqual(exc_value.winerror, ERROR_NOT_READY)
    self.assertIs(current, exc_value)
    self.assertTrue(traceback is None or hasattr(traceback, "tb_next"))

  def test_exit_result_and_failure(self):
    self.service._lock = RecordingLock(exit_result=1)
    token = self.service._volume_ids
    simwin.fail("FindFirstVolumeW", ERROR_NOT_READY)
    self.assertIsNone(self.refresh())
    self.assertIs(self.service._volume_ids, token)

    class BadExit(RecordingLock):
      def __exit__(self, *args):
        raise LookupError("exit failed")

    self.service._lock = BadExit()
    simwin.fail("FindFirstVolumeW", ERROR_NOT_READY)
    self.assertRaises(LookupError, self.refresh)
    simwin.clear_calls()
    self.service._lock = object()
    self.assertRaises(AttributeError, self.refresh)
    self.assertEqual(simwin.calls(), [])


class ConcurrentRefreshTest(RefreshTestCase):

  def test_one_token_one_refresh(self):
    self.add_volume(1, [u"E:\\"], serial=1)
    token = self.service._volume_ids
    inside, release = threading.Event(), threading.Event()

    class Gate(logging.Handler):
      """Holds the first refresh inside the lock until told to go on."""

      def emit(self, record):
        if record.msg.startswith("Refreshing") and not inside.is_set():
          inside.set()
          release.wait(testsupport.DEFAULT_TIMEOUT)

    logger = logging.getLogger("windows.volumes")
    gate = Gate()
    with self.capture() as handler:
      logger.addHandler(gate)
      try:
        first = testsupport.ThreadRunner(self.service._PopulateVolumeTable,
                                         token)
        self.assertTrue(inside.wait(testsupport.DEFAULT_TIMEOUT))
        second = testsupport.ThreadRunner(self.service._PopulateVolumeTable,
                                          token)
        # Give the second caller time to block on the lock the first holds.
        second.thread.join(0.2)
        release.set()
        new_token = first.wait()
        self.assertIs(second.wait(), new_token)
      finally:
        release.set()
        logger.removeHandler(gate)
    self.assertIs(new_token, self.service._volume_ids)
    self.assertEqual(self.records(handler).count(REFRESHING), 1)
    self.assertEqual(len(self.calls_of("FindFirstVolumeW")), 1)


class RecordDictTest(RefreshTestCase):
  """A host that reaches the refresh's own keyword dict (here through the
  collector) and keeps or changes it never sees the next record written
  into it."""

  def test_kept_or_changed_dict_is_not_refilled(self):
    for number in (1, 2, 3):
      self.add_volume(number, [u"%s:\\" % "EFG"[number - 1]],
                      serial=number, label=u"L%d" % number)

    def Keep(own):
      kept.append((own, dict(own)))

    def Change(own):
      del own["model"]
      own["extra"] = 1

    for touch in (Keep, Change):
      kept, seen = [], []

      class Entries(object):
        DeviceType = DeviceType

        @staticmethod
        def VolumeEntry(**fields):
          seen.append(sorted(fields))
          for holder in gc.get_referrers(fields["label"]):
            if type(holder) is dict and holder is not fields and (
                holder.get("label") is fields["label"]):
              touch(holder)
          return volume_entry.VolumeEntry(**fields)

      volumes.volume_entry = Entries
      self.refresh()
      self.assertEqual(seen, [sorted(volume_entry.VolumeEntry.FIELDS)] * 3)
      for own, as_passed in kept:
        self.assertEqual(own, as_passed)
      self.assertEqual(sorted(self.service._volume_entries),
                       ["serial:1", "serial:2", "serial:3"])


  def test_no_record_values_kept_between_refreshes(self):
    name = self.add_volume(1, [u"E:\\"], serial=1)
    volumes._ListVolumeNames = lambda: [name]
    base = sys.getrefcount(name)
    self.refresh()
    self.service._volume_entries = {}
    self.assertEqual(sys.getrefcount(name), base)


class RecordKeywordOrderTest(unittest.TestCase):
  """VolumeEntry iterates the record's keywords in the order a call written
  out in Python gives it, however the interpreter hashes strings (several
  of these seeds lay the keywords out differently in a presized dict)."""

  CHILD = r"""
import simwin
from common import volume_entry
from windows import volumes
simwin.load_default_machine()
orders = []
class Recorder(object):
  def __init__(self, **fields):
    orders.append(list(fields))
    self.volume = fields["volume"]
Recorder(volume=0, mountpoint=0, device_file=0, device_number=0, uuid=0,
         model=0, device_type=0, label=0, filesystem=0, size=0)
volume_entry.VolumeEntry = Recorder
volumes.VolumeInfo.__wrapped__().AllVolumeEntries(True)
print(len(orders) > 1 and all(order == orders[0] for order in orders))
"""

  def test_order_under_hash_seeds(self):
    for seed in range(8):
      code, out, err = testsupport.run_snippet(
          self.CHILD, env={"PYTHONHASHSEED": str(seed)})
      self.assertEqual((0, "True"), (code, out.strip()), "seed %d: %s"
                       % (seed, err))


if __name__ == "__main__":
  unittest.main()
