"""windows.volumes: VolumeInfo lookups and IsFAT, on the Win32 test double."""

import sys
import unittest
import weakref

import pyversion
import simwin
from test_volumes_queries import (ERROR_ACCESS_DENIED, ERROR_NOT_READY,
                                  FileHandle, StatResult, VolumesTestCase)
from common import volume_entry
from windows import volumes


class LookupTestCase(VolumesTestCase):

  def setUp(self):
    VolumesTestCase.setUp(self)
    self.add_volume(1, [u"C:\\"], serial=0x1C, label=u"Windows")
    self.stick = self.add_volume(2, [u"E:\\"], serial=0xE2,
                                 filesystem=u"FAT32", drive_type=2)
    self.service = volumes.VolumeInfo()

  def count_and_clear(self, function):
    count = len(self.calls_of(function))
    simwin.clear_calls()
    return count

  def refreshes(self):
    return self.count_and_clear("FindFirstVolumeW")


class AllVolumeEntriesTest(LookupTestCase):

  def test_first_use_refreshes_later_uses_copy(self):
    self.assertIs(volumes.VolumeInfo(), self.service)
    entries = self.service.AllVolumeEntries()
    self.assertEqual(sorted(entries), ["serial:226", "serial:28"])
    self.assertEqual(self.refreshes(), 1)
    del entries["serial:28"]
    entries["made up"] = None
    again = self.service.AllVolumeEntries()
    self.assertEqual(self.refreshes(), 0)
    self.assertEqual(sorted(again), ["serial:226", "serial:28"])
    self.assertIsNot(again, self.service._volume_entries)
    self.assertIs(again["serial:226"], entries["serial:226"])

  def test_force_update(self):
    class Untestable(object):
      def __nonzero__(self):
        raise AssertionError("tested")

      __bool__ = __nonzero__

    # An empty table refreshes without testing force_update.
    self.service.AllVolumeEntries(Untestable())
    self.assertEqual(self.refreshes(), 1)
    self.assertRaises(AssertionError, self.service.AllVolumeEntries,
                      Untestable())
    for value, expected in ((False, 0), (0, 0), (None, 0), (True, 1),
                            ("yes", 1), ([0], 1)):
      self.service.AllVolumeEntries(force_update=value)
      self.assertEqual(self.refreshes(), expected, value)

  def test_table_read_after_force_update_is_tested(self):
    self.service.AllVolumeEntries()
    self.assertEqual(self.refreshes(), 1)
    service, newer = self.service, {"serial:1": None}

    class PublishedMeanwhile(object):
      """Another thread publishes a table while the flag is tested."""

      def __nonzero__(self):
        service._volume_entries = newer
        return False

      __bool__ = __nonzero__

    entries = self.service.AllVolumeEntries(PublishedMeanwhile())
    self.assertEqual((entries, self.refreshes()), (newer, 0))
    self.assertIsNot(entries, newer)

  def test_table_read_again_where_reading_it_runs_code(self):
    tables = [{"serial:1": None}, {"serial:2": None}]

    class Service(volumes.VolumeInfo.__wrapped__):
      _volume_entries = property(lambda self: tables.pop(0))

    service = Service.__new__(Service)
    self.assertEqual(service.AllVolumeEntries(False), {"serial:2": None})
    self.assertEqual(tables, [])

  def test_table_found_wherever_the_ordinary_lookup_finds_it(self):
    base = volumes.VolumeInfo.__wrapped__
    table, decoy = {"serial:1": "entry"}, {"serial:1": "decoy"}
    cases = [  # class namespace, what the instance's dict holds
        ({"_volume_entries": property(lambda self: table)}, decoy),
        ({"_volume_entries": table}, None),
        ({}, table),
    ]
    for namespace, in_dict in cases:
      cls = type("Service", (base,), namespace)
      service = cls.__new__(cls)
      if in_dict is not None:
        service.__dict__["_volume_entries"] = in_dict
      self.assertEqual(service.GetVolumeEntryForVolumeID("serial:1"), "entry")
      self.assertEqual(service.AllVolumeEntries(), table, namespace)
    cls = type("Missing", (base,), {})
    missing = cls.__new__(cls)
    with self.assertRaises(AttributeError) as raised:
      missing.GetVolumeEntryForVolumeID("serial:1")
    self.assertEqual(str(raised.exception),
                     "'Missing' object has no attribute '_volume_entries'")

  def test_empty_table_refreshes_every_time(self):
    volumes._ListVolumeNames = lambda: []
    for _ in range(3):
      self.assertEqual(self.service.AllVolumeEntries(), {})
    with self.capture() as handler:
      self.service.AllVolumeEntries()
    self.assertEqual(handler.records[0].msg,
                     "Refreshing volume information table.")

  def test_refresh_method_then_token_then_table(self):
    order = []
    service = self.service

    class Spy(object):
      def __getattr__(self, name):
        order.append(name)
        return getattr(service, name)

    pyversion.function_of(volumes.VolumeInfo.__wrapped__.AllVolumeEntries)(Spy())
    self.assertEqual(order, ["_volume_entries", "_PopulateVolumeTable",
                             "_volume_ids", "_volume_entries"])
    simwin.fail("FindFirstVolumeW", ERROR_NOT_READY)
    self.assertWindowsError(ERROR_NOT_READY, self.service.AllVolumeEntries,
                            True)


class EntryLookupTest(LookupTestCase):

  def test_by_volume_id_never_refreshes(self):
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID("serial:28"))
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(0x1C))
    self.assertEqual(self.refreshes(), 0)
    self.service.AllVolumeEntries()
    entry = self.service.GetVolumeEntryForVolumeID(volume_id="serial:28")
    self.assertEqual(entry.label, u"Windows")
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID(28))

  def test_device_number_of_a_file_finds_its_volume(self):
    self.service.AllVolumeEntries()
    handle = simwin.open_handle(self.stick)
    self.addCleanup(simwin.close_handle, handle)
    st_dev = volumes.GetVolumeInformationByHandle(handle)[1]
    entry = self.service.GetVolumeEntryForDeviceNumber(st_dev)
    self.assertEqual(entry.device_file, self.stick)
    self.assertIs(entry, self.service.GetVolumeEntryForVolumeID(
        self.service.FindVolumeID(StatResult(st_dev))))
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(12345))

  def test_device_number_lookup_goes_through_the_instance(self):
    seen = []
    self.service._FindVolumeIDForDeviceNumber = (
        lambda st_dev: seen.append(st_dev) or "serial:28")
    self.service.GetVolumeEntryForVolumeID = lambda volume_id: volume_id * 2
    self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(st_dev=7),
                     "serial:28serial:28")
    self.assertEqual(seen, [7])
    volumes._VolumeIDFromSerialNumber = lambda serial: ("id", serial)
    del self.service._FindVolumeIDForDeviceNumber
    self.assertEqual(self.service._FindVolumeIDForDeviceNumber(3), ("id", 3))

  def test_find_volume_id_uses_the_module_function_at_call_time(self):
    self.assertEqual(self.service.FindVolumeID(StatResult(0x1C)), "serial:28")
    volumes.FindVolumeID = lambda stat_result: "rebound"
    self.assertEqual(self.service.FindVolumeID(stat_result=StatResult(1)),
                     "rebound")
    del volumes.FindVolumeID
    self.assertRaises(NameError, self.service.FindVolumeID, StatResult(1))
    self.assertEqual(self.refreshes(), 0)


class ReplacedTableTest(LookupTestCase):
  """What the host replaced is called as it is, never bypassed."""

  def test_a_dict_subclass_has_its_own_get_and_copy_called(self):
    calls = []

    class Table(dict):

      def get(self, *args):
        calls.append(("get",) + args)
        return "got"

      def copy(self):
        calls.append(("copy",))
        return "copied"

    self.service._volume_entries = Table({"serial:28": None})
    self.assertEqual(self.service.GetVolumeEntryForVolumeID("serial:28"), "got")
    self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(0x1C), "got")
    self.assertEqual(self.service.AllVolumeEntries(), "copied")
    self.assertEqual(calls, [("get", "serial:28"), ("get", "serial:28"),
                             ("copy",)])

    class DriveTypes(dict):

      def get(self, *args):
        calls.append(args)
        return "kind"

    volumes.DRIVE_TYPE_MAP = DriveTypes(volumes.DRIVE_TYPE_MAP)
    del calls[:]
    self.service._volume_entries = {}
    entries = self.service.AllVolumeEntries()
    self.assertEqual([entry.device_type for entry in entries.values()],
                     ["kind", "kind"])
    unknown = volume_entry.DeviceType.UNKNOWN
    self.assertEqual(calls, [(3, unknown), (2, unknown)])

  def test_methods_of_a_subclass_or_another_instance_are_called(self):
    self.service.AllVolumeEntries()
    other = volumes.VolumeInfo.__wrapped__()
    other._volume_entries = {"serial:28": "other's"}
    self.service.GetVolumeEntryForVolumeID = other.GetVolumeEntryForVolumeID
    self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(0x1C),
                     "other's")
    self.service._FindVolumeIDForDeviceNumber = (
        other._FindVolumeIDForDeviceNumber)
    volumes._VolumeIDFromSerialNumber = lambda serial: "serial:28"
    self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(1), "other's")

    class Service(volumes.VolumeInfo.__wrapped__):

      def GetVolumeEntryForVolumeID(self, volume_id):
        return ("subclass", volume_id)

    self.assertEqual(Service().GetVolumeEntryForDeviceNumber(5),
                     ("subclass", "serial:28"))


class IsFATTest(LookupTestCase):

  def setUp(self):
    LookupTestCase.setUp(self)
    self.service.AllVolumeEntries()  # a completed refresh: the cache is empty
    self.next_serial = 100

  def volume_handle(self, filesystem):
    """(serial number, handle wrapper) of a new volume with `filesystem`."""
    self.next_serial += 1
    name = self.add_volume(self.next_serial, filesystem=filesystem,
                           serial=self.next_serial)
    handle = FileHandle(simwin.open_handle(name))
    self.addCleanup(simwin.close_handle, handle.handle)
    return self.next_serial, handle

  def queries(self):
    return self.count_and_clear("GetVolumeInformationByHandleW")

  def test_fat_family(self):
    for filesystem, expected in [
        (u"FAT32", True), (u"exFAT", True), (u"EXFAT", True), (u"NTFS", False),
        (u"FAT", False), (u"FAT32X", False), (u"UDF", False)]:
      serial, handle = self.volume_handle(filesystem)
      self.assertIs(volumes.IsFAT(serial, handle), expected, filesystem)

  def test_module_attribute_rebound_is_not_what_isfat_calls(self):
    serial, handle = self.volume_handle(u"FAT32")
    volumes.GetVolumeInformationByHandle = lambda value: (
        u"", 0, 0, 0, "NTFS")
    self.assertIs(volumes.IsFAT(serial, handle), True)
    self.assertEqual(self.queries(), 1)

  def test_answers_cached_by_volume_until_a_refresh(self):
    serial, handle = self.volume_handle(u"NTFS")
    self.queries()
    self.assertIs(volumes.IsFAT(serial, handle), False)
    self.assertIs(volumes.IsFAT(serial_number=serial, handle=handle), False)
    # The volume, not the handle, keys the cache; it need not be in the
    # table.
    self.assertIs(volumes.IsFAT(str(serial), FileHandle(None)), False)
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(serial))
    self.assertEqual(self.queries(), 1)
    self.service.AllVolumeEntries(force_update=True)
    self.queries()
    self.assertIs(volumes.IsFAT(serial, handle), False)
    self.assertEqual(self.queries(), 1)

  def test_query_failure_answers_false_and_is_not_cached(self):
    serial, handle = self.volume_handle(u"FAT32")

    class Unplugged(object):
      @property
      def handle(self):
        raise WindowsError(21, "The device is not ready.")

    simwin.fail("GetVolumeInformationByHandleW", ERROR_ACCESS_DENIED)
    with self.capture() as handler:
      self.assertIs(volumes.IsFAT(serial, handle), False)
      self.assertIs(volumes.IsFAT(serial, Unplugged()), False)
    self.assertEqual(self.records(handler), [("ERROR", "WindowsError", ())] * 2)
    self.assertEqual([(record.exc_info[0], record.exc_info[1].winerror)
                      for record in handler.records],
                     [(WindowsError, ERROR_ACCESS_DENIED),
                      (WindowsError, ERROR_NOT_READY)])
    self.queries()
    self.assertIs(volumes.IsFAT(serial, handle), True)
    self.assertEqual(self.queries(), 1)

  def test_other_errors_propagate_and_cache_nothing(self):
    serial, handle = self.volume_handle(u"FAT32")
    for bad_handle, error in [(object(), AttributeError),
                              (FileHandle("1"), TypeError),
                              (FileHandle(2 ** 64), OverflowError)]:
      with self.capture() as handler:
        self.assertRaises(error, volumes.IsFAT, serial, bad_handle)
      self.assertEqual(handler.records, [])
    self.assertRaises(TypeError, volumes.IsFAT, serial)
    self.assertRaises(TypeError, volumes.IsFAT, serial, path=handle)
    self.assertEqual(self.queries(), 0)
    self.assertIs(volumes.IsFAT(serial, handle), True)
    volumes._VolumeIDFromSerialNumber = lambda serial: [serial]  # unhashable
    self.assertRaises(TypeError, volumes.IsFAT, serial, handle)

  def test_windows_error_looked_up_at_use(self):
    serial, handle = self.volume_handle(u"FAT32")
    simwin.fail("GetVolumeInformationByHandleW", ERROR_ACCESS_DENIED, 1, 2)
    volumes.WindowsError = KeyError
    self.assertRaises(WindowsError, volumes.IsFAT, serial, handle)
    volumes.WindowsError = (KeyError, WindowsError)
    with self.capture():
      self.assertIs(volumes.IsFAT(serial, handle), False)

  def test_keyword_arguments_outlive_their_dictionary(self):
    # A Python function's frame keeps its arguments alive; so must IsFAT
    # when host code empties the dictionary they came in.
    serial, handle = self.volume_handle(u"FAT32")
    arguments = {}
    alive = []

    class Keyword(str):
      __hash__ = str.__hash__

      def __eq__(self, other):
        arguments.clear()
        return str.__eq__(self, other)

    def VolumeId(serial_number):
      arguments.clear()
      alive.append(wrapper() is not None)
      return "serial:%s" % serial_number

    volumes._VolumeIDFromSerialNumber = VolumeId
    for number, keyword in enumerate(("handle", Keyword("handle"))):
      arguments.update({"serial_number": "%d-%d" % (serial, number),
                        keyword: FileHandle(handle.handle)})
      wrapper = weakref.ref(arguments[keyword])
      self.assertIs(volumes.IsFAT(**arguments), True)
      self.assertIsNone(wrapper())
    self.assertEqual(alive, [True, True])

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "unicode and str are one type on Python 3")
  def test_unicode_volume_id_is_refused(self):
    serial, handle = self.volume_handle(u"NTFS")
    self.assertRaises(TypeError, volumes.IsFAT, pyversion.text_type(serial),
                      handle)

  def test_no_references_or_exceptions_left_behind(self):
    serial, handle = self.volume_handle(u"NTFS")
    serial = pyversion.long_type(serial)
    simwin.fail("GetVolumeInformationByHandleW", ERROR_ACCESS_DENIED, 1, -1)
    base = sys.getrefcount(handle), sys.getrefcount(serial)
    with self.capture():
      try:
        raise IndexError("handled by the caller")
      except IndexError:
        for _ in range(100):
          volumes.IsFAT(serial, handle)
        self.assertIs(sys.exc_info()[0], IndexError)
    self.assertEqual((sys.getrefcount(handle), sys.getrefcount(serial)), base)


if __name__ == "__main__":
  unittest.main()
