"""windows.volumes in the interpreter the host runs: a 64-bit Windows
CPython 2.7 with UCS-2 unicode, whose C long is 32 bits, over a real Win32
(Wine's).

The leg gives these tests a drive of their own, WINDOWS_TEST_DRIVE, whose
label holds a character outside the BMP and whose serial number does not fit
a C long. What each query should answer is read from Win32 directly through
ctypes. Wine departs from Windows in two places named below: a volume GUID
path has drive type DRIVE_UNKNOWN, and there are no folder mounts.
"""

import ctypes
import msvcrt
import os
import re
import struct
import sys
import tempfile
import unittest
from ctypes import wintypes

import testsupport
from common import utils
from common import volume_entry
from windows import volumes

TEST_DRIVE = unicode(os.environ.get("WINDOWS_TEST_DRIVE", "T:\\"))
TEST_LABEL = u"Plug\U0001F50CTest"
TEST_SERIAL = 0x89ABCDEF
ERROR_INVALID_HANDLE = 6
GUID_NAME = re.compile(r"^\\\\\?\\Volume\{[0-9a-f-]{36}\}\\$")
KERNEL32 = ctypes.WinDLL("kernel32", use_last_error=True)


def VolumeNameOf(root):
  """The volume GUID name Win32 gives for a drive root."""
  name = ctypes.create_unicode_buffer(64)
  if not KERNEL32.GetVolumeNameForVolumeMountPointW(root, name, len(name)):
    raise ctypes.WinError(ctypes.get_last_error())
  return name.value


def Win32VolumeInformation(root):
  """(label, serial) as GetVolumeInformationW gives them, or its error."""
  label = ctypes.create_unicode_buffer(261)
  serial = wintypes.DWORD()
  if not KERNEL32.GetVolumeInformationW(root, label, len(label),
                                        ctypes.byref(serial), None, None,
                                        None, 0):
    return ctypes.get_last_error()
  return label.value, serial.value


class OpenFile(object):
  """A file on the test drive, open for the test; `handle` is its Win32 handle."""

  def __init__(self, test):
    descriptor, self.path = tempfile.mkstemp(dir=TEST_DRIVE)
    self.file = os.fdopen(descriptor, "w")
    test.addCleanup(os.remove, self.path)
    test.addCleanup(self.file.close)
    self.handle = msvcrt.get_osfhandle(self.file.fileno())


class InterpreterTest(unittest.TestCase):

  def test_the_interpreter_the_host_runs(self):
    self.assertEqual(sys.platform, "win32")
    self.assertEqual(sys.maxunicode, 0xFFFF)
    self.assertEqual(struct.calcsize("P"), 8)
    self.assertEqual(sys.maxint, 2 ** 31 - 1)  # LLP64: a C long is 32 bits

  def test_host_modules_import_where_no_process_library_loads(self):
    # ctypes.CDLL(None) raises TypeError on Windows; the clock falls back.
    self.assertIsInstance(utils._MONOTONIC_CLOCK, utils._NonDecreasingClock)
    first = utils.GetMonotonicTime()
    self.assertLessEqual(first, utils.GetMonotonicTime())


class QueriesTest(unittest.TestCase):

  def test_enumeration_lists_every_drive_once(self):
    names = volumes._ListVolumeNames()
    self.assertEqual(set(type(name) for name in names), set([unicode]))
    self.assertEqual([name for name in names if not GUID_NAME.match(name)], [])
    self.assertEqual(len(set(names)), len(names))
    self.assertIn(VolumeNameOf(TEST_DRIVE), names)

  def test_path_names_of_every_volume(self):
    # Wine has no folder mounts, so each volume has its one drive root and
    # the first buffer always fits; the growth is covered on the double.
    for name in volumes._ListVolumeNames():
      for form in (name, name.encode("ascii")):
        paths = volumes._GetVolumePathNamesForVolumeName(form)
        self.assertEqual([VolumeNameOf(path) for path in paths], [name] * len(paths))
    self.assertEqual(
        volumes._GetVolumePathNamesForVolumeName(VolumeNameOf(TEST_DRIVE)),
        [TEST_DRIVE])

  def test_information_by_path_and_by_handle(self):
    record = volumes.GetVolumeInformation(TEST_DRIVE)
    label, serial, _, _, filesystem = record
    # Four letters, a surrogate pair and four letters: UTF-16 both ways.
    self.assertEqual((label, len(label)), (TEST_LABEL, 10))
    self.assertEqual(Win32VolumeInformation(TEST_DRIVE), (TEST_LABEL, TEST_SERIAL))
    self.assertEqual((serial, type(serial)), (TEST_SERIAL, long))
    self.assertEqual([type(item) for item in record],
                     [unicode, long, long, long, str])
    for path in (TEST_DRIVE.rstrip(u"\\"), VolumeNameOf(TEST_DRIVE)):
      self.assertEqual(volumes.GetVolumeInformation(path), record)
    opened = OpenFile(self)
    self.assertEqual(volumes.GetVolumeInformationByHandle(opened.handle), record)
    self.assertIsInstance(filesystem, str)

  def test_failures_carry_the_win32_error(self):
    missing = next(u"%s:\\" % letter for letter in u"QRSUVWXY"
                   if not os.path.exists(u"%s:\\" % letter))
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformation(missing)
    self.assertEqual(raised.exception.winerror, Win32VolumeInformation(missing))

  def test_embedded_nul_is_refused_before_win32_sees_it(self):
    name = VolumeNameOf(TEST_DRIVE)
    for function, value in [
        (volumes.GetVolumeInformation, TEST_DRIVE + u"\x00junk\\"),
        (volumes._GetVolumePathNamesForVolumeName, name + u"\x00junk"),
        (volumes._GetVolumePathNamesForVolumeName,
         (name + u"\x00").encode("ascii"))]:
      self.assertRaises(TypeError, function, value)


class IntegerEdgesTest(unittest.TestCase):
  """Handles and serial numbers where a PyInt cannot hold them."""

  def test_handles_as_int_and_long(self):
    opened = OpenFile(self)
    record = volumes.GetVolumeInformation(TEST_DRIVE)
    for handle in (int(opened.handle), long(opened.handle)):
      self.assertEqual(volumes.GetVolumeInformationByHandle(handle), record)
    # Beyond a C long and beyond 32 bits, the value reaches Win32, which
    # finds no open handle there; beyond 64 bits it cannot be a handle.
    for handle in (2 ** 31 + opened.handle, 2 ** 40, 2 ** 63 - 1, -1):
      with self.assertRaises(WindowsError) as raised:
        volumes.GetVolumeInformationByHandle(handle)
      self.assertEqual(raised.exception.winerror, ERROR_INVALID_HANDLE, handle)
    self.assertRaises(OverflowError, volumes.GetVolumeInformationByHandle, 2 ** 63)

  def test_serial_numbers_beyond_a_c_long(self):
    for serial, expected in [
        (TEST_SERIAL, "serial:2309737967"), (2 ** 31, "serial:2147483648"),
        (2 ** 32 + 5, "serial:4294967301"), (int(7), "serial:7"),
        (long(7), "serial:7")]:
      self.assertEqual(volumes._VolumeIDFromSerialNumber(serial), expected)
      self.assertEqual(volumes.FindVolumeID(testsupport.StatResult(serial)), expected)


class VolumeInfoTest(unittest.TestCase):

  def setUp(self):
    self.service = volumes.VolumeInfo()
    self.entries = self.service.AllVolumeEntries(force_update=True)

  def test_refresh_describes_the_test_drive(self):
    entry = self.entries["serial:%d" % TEST_SERIAL]
    name = VolumeNameOf(TEST_DRIVE)
    free, total = ctypes.c_ulonglong(), ctypes.c_ulonglong()
    self.assertTrue(KERNEL32.GetDiskFreeSpaceExW(TEST_DRIVE, ctypes.byref(free),
                                                 ctypes.byref(total), None))
    # Wine answers DRIVE_UNKNOWN for a GUID path, where Windows gives the
    # volume's type: the entry follows whatever the system says.
    drive_type = volumes.DRIVE_TYPE_MAP.get(
        KERNEL32.GetDriveTypeW(name), volume_entry.DeviceType.UNKNOWN)
    self.assertEqual(
        (entry.mountpoint, entry.device_file, entry.device_number, entry.uuid,
         entry.label, entry.filesystem, entry.size, entry.device_type),
        (TEST_DRIVE, name, TEST_SERIAL, name[11:-2], TEST_LABEL,
         volumes.GetVolumeInformation(TEST_DRIVE)[4].lower(), total.value,
         drive_type))

  def test_every_lookup(self):
    volume_id = "serial:%d" % TEST_SERIAL
    entry = self.entries[volume_id]
    self.assertEqual(sorted(self.service.AllVolumeEntries()), sorted(self.entries))
    self.assertIs(self.service.GetVolumeEntryForVolumeID(volume_id), entry)
    for st_dev in (TEST_SERIAL, long(TEST_SERIAL)):
      self.assertIs(self.service.GetVolumeEntryForDeviceNumber(st_dev), entry)
      self.assertEqual(self.service.FindVolumeID(testsupport.StatResult(st_dev)), volume_id)
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(2 ** 32 + 1))

  def test_is_fat(self):
    opened = OpenFile(self)
    filesystem = volumes.GetVolumeInformation(TEST_DRIVE)[4]
    expected = filesystem.upper() in ("FAT32", "EXFAT")
    for _ in range(2):  # the second answer comes from the cache
      self.assertIs(volumes.IsFAT(TEST_SERIAL, testsupport.FileHandle(opened.handle)),
                    expected)


if __name__ == "__main__":
  unittest.main()
