"""simwin: the machine's volumes and file handles, seen through Win32."""

import unittest

import pyversion
import simwin
import testsupport

C_VOLUME = u"\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\"
E_VOLUME = u"\\\\?\\Volume{11111111-0000-0000-0000-000000000005}\\"
ERROR_INVALID_HANDLE = 6
DRIVE_NO_ROOT_DIR = 1
DRIVE_REMOVABLE = 2
DRIVE_FIXED = 3
DRIVE_CDROM = 5

NOTHING_OPEN = {"volume_searches": 0, "file_handles": 0, "windows": 0,
                "notifications": 0, "props": 0}


class MachineTestCase(unittest.TestCase):

  def setUp(self):
    simwin.reset()
    self.win32 = testsupport.Win32()

  def tearDown(self):
    simwin.reset()


class VolumeTest(MachineTestCase):

  def testEnumerationFollowsTheOrderOfAdding(self):
    simwin.add_volume(E_VOLUME, [u"E:\\"])
    simwin.add_volume(C_VOLUME, [u"C:\\"])
    self.assertEqual([E_VOLUME, C_VOLUME], self.win32.ListVolumes())

  def testANameAddedTwiceInARowComesBackTwice(self):
    simwin.add_volume(C_VOLUME)
    simwin.add_volume(C_VOLUME)
    simwin.add_volume(E_VOLUME)
    self.assertEqual([C_VOLUME, C_VOLUME, E_VOLUME],
                     self.win32.ListVolumes())

  def testVolumeFieldsReachWin32(self):
    simwin.add_volume(E_VOLUME, [u"E:\\", u"C:\\Stick\\"], label=u"STICK",
                      serial=0xDEADBEEF, filesystem=u"FAT32",
                      drive_type=DRIVE_REMOVABLE, total_bytes=2 ** 33,
                      free_bytes=2 ** 30, component_length=12, flags=0x6)
    self.assertEqual([u"E:\\", u"C:\\Stick\\"],
                     self.win32.PathNames(E_VOLUME))
    expected = (u"STICK", 0xDEADBEEF, 12, 0x6, u"FAT32")
    self.assertEqual(expected, self.win32.VolumeInformation(u"E:\\"))
    self.assertEqual(expected, self.win32.VolumeInformation(E_VOLUME))
    self.assertEqual(DRIVE_REMOVABLE, self.win32.DriveType(u"E:\\"))
    free_to_caller, total, total_free = self.win32.DiskSpace(u"E:\\")
    self.assertEqual((2 ** 33, 2 ** 30), (total, total_free))
    self.assertEqual(2 ** 30, free_to_caller)

  def testDefaultsOfAddVolume(self):
    simwin.add_volume(C_VOLUME, (u"C:\\",))
    self.assertEqual((u"", 0, 255, 0, u"NTFS"),
                     self.win32.VolumeInformation(u"C:\\"))
    self.assertEqual(DRIVE_FIXED, self.win32.DriveType(u"C:\\"))

  def testPathsAndNameMayBeAsciiStrOrKeywords(self):
    simwin.add_volume(name=str(C_VOLUME), paths=["C:\\"], label="System")
    self.assertEqual([u"C:\\"], self.win32.PathNames(C_VOLUME))
    self.assertEqual(u"System", self.win32.VolumeInformation(u"C:\\")[0])

  def testVolumeWithoutPaths(self):
    simwin.add_volume(C_VOLUME)
    self.assertEqual([], self.win32.PathNames(C_VOLUME))

  def testRemoveVolume(self):
    simwin.add_volume(C_VOLUME, [u"C:\\"])
    simwin.add_volume(E_VOLUME, [u"E:\\"])
    simwin.remove_volume(C_VOLUME)
    self.assertEqual([E_VOLUME], self.win32.ListVolumes())
    self.assertEqual(DRIVE_NO_ROOT_DIR, self.win32.DriveType(u"C:\\"))
    with self.assertRaises(KeyError) as caught:
      simwin.remove_volume(C_VOLUME)
    self.assertEqual((C_VOLUME,), caught.exception.args)

  def testSetPathsGivesSuccessiveListsThenKeepsTheLast(self):
    simwin.add_volume(E_VOLUME, [u"E:\\"])
    simwin.set_paths(E_VOLUME, [u"E:\\"], [], (u"F:\\", u"C:\\F\\"))
    self.assertEqual([u"E:\\"], self.win32.PathNames(E_VOLUME))
    self.assertEqual([], self.win32.PathNames(E_VOLUME))
    for _ in range(3):
      self.assertEqual([u"F:\\", u"C:\\F\\"], self.win32.PathNames(E_VOLUME))
    simwin.set_paths(E_VOLUME)
    self.assertEqual([], self.win32.PathNames(E_VOLUME))
    with self.assertRaises(KeyError):
      simwin.set_paths(C_VOLUME, [u"C:\\"])


class VolumeArgumentTest(MachineTestCase):

  def testWrongTypes(self):
    for args, kwargs in (((1,), {}),
                         ((C_VOLUME, u"C:\\"), {}),  # a lone string
                         ((C_VOLUME, [1]), {}),
                         ((C_VOLUME,), {"label": 5}),
                         ((C_VOLUME,), {"serial": "1"}),
                         ((C_VOLUME,), {"serial": 1.0}),
                         ((C_VOLUME,), {"colour": u"red"}),
                         ((C_VOLUME,), {"timeout": 1.0}),
                         ((C_VOLUME, [], u"label"), {}),
                         ((C_VOLUME, []), {"paths": []}),
                         ((), {})):
      with self.assertRaises(TypeError, msg=repr((args, kwargs))):
        simwin.add_volume(*args, **kwargs)
    with self.assertRaises(TypeError):
      simwin.remove_volume(None)
    with self.assertRaises(TypeError):
      simwin.set_paths(C_VOLUME, u"C:\\")
    self.assertEqual([], self.ListedOrEmpty())

  def testNumbersOutOfRange(self):
    for field, value in (("serial", 2 ** 32), ("serial", -1),
                         ("drive_type", 2 ** 32), ("flags", -5),
                         ("total_bytes", 2 ** 64), ("free_bytes", -1),
                         ("component_length", 2 ** 70)):
      with self.assertRaises(OverflowError, msg=field):
        simwin.add_volume(C_VOLUME, **{field: value})
    simwin.add_volume(C_VOLUME, [u"C:\\"], serial=2 ** 32 - 1,
                      total_bytes=2 ** 64 - 1)
    self.assertEqual(2 ** 32 - 1, self.win32.VolumeInformation(u"C:\\")[1])

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "an 8-bit str is Python 2.7's alone")
  def testNonAsciiStrIsRefused(self):
    with self.assertRaises(UnicodeDecodeError):
      simwin.add_volume("\\\\?\\Volume{\xe9}\\")

  def testNonAsciiTextIsKept(self):
    simwin.add_volume(C_VOLUME, [u"C:\\Donn\xe9es\\", u"C:\\\U0001f4be\\"])
    self.assertEqual([u"C:\\Donn\xe9es\\", u"C:\\\U0001f4be\\"],
                     self.win32.PathNames(C_VOLUME))

  def ListedOrEmpty(self):
    try:
      return self.win32.ListVolumes()
    except testsupport.Win32CallFailed:
      return []


class FileHandleTest(MachineTestCase):

  def testHandleReadsItsVolumeUntilClosed(self):
    simwin.add_volume(E_VOLUME, [u"E:\\"], label=u"STICK", serial=7,
                      filesystem=u"exFAT")
    handle = simwin.open_handle(E_VOLUME)
    self.assertIsInstance(handle, pyversion.integer_types)
    self.assertEqual(1, simwin.open_objects()["file_handles"])
    self.assertEqual((u"STICK", 7, 255, 0, u"exFAT"),
                     self.win32.VolumeInformationByHandle(handle))
    simwin.close_handle(handle)
    self.assertEqual(0, simwin.open_objects()["file_handles"])
    with self.assertRaises(testsupport.Win32CallFailed) as caught:
      self.win32.VolumeInformationByHandle(handle)
    self.assertEqual(ERROR_INVALID_HANDLE, caught.exception.error)
    with self.assertRaises(ValueError):
      simwin.close_handle(handle)

  def testEachOpenIsItsOwnHandle(self):
    simwin.add_volume(E_VOLUME, [u"E:\\"])
    handles = [simwin.open_handle(E_VOLUME) for _ in range(3)]
    self.assertEqual(3, len(set(handles)))
    self.assertEqual(3, simwin.open_objects()["file_handles"])
    for handle in handles:
      simwin.close_handle(handle)
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())

  def testErrors(self):
    with self.assertRaises(KeyError):
      simwin.open_handle(E_VOLUME)
    with self.assertRaises(TypeError):
      simwin.open_handle(5)
    with self.assertRaises(TypeError):
      simwin.close_handle("handle")
    with self.assertRaisesRegex(ValueError,
                                 "^handle 0x3039 is not an open file handle$"):
      simwin.close_handle(12345)


class DefaultMachineTest(MachineTestCase):

  def testTheLaptop(self):
    simwin.load_default_machine()
    volumes = self.win32.ListVolumes()
    self.assertEqual(5, len(volumes))
    mounts = dict((name, self.win32.PathNames(name)) for name in volumes)
    unmounted = [name for name, paths in mounts.items() if not paths]
    self.assertEqual(1, len(unmounted), mounts)
    by_path = dict((path, name) for name, paths in mounts.items()
                   for path in paths)
    for drive in (u"C:\\", u"D:\\", u"E:\\", u"F:\\"):
      self.assertIn(drive, by_path)
    self.assertEqual(u"NTFS", self.win32.VolumeInformation(u"C:\\")[4])
    self.assertEqual(DRIVE_FIXED, self.win32.DriveType(u"C:\\"))
    self.assertEqual(DRIVE_CDROM, self.win32.DriveType(u"D:\\"))
    self.assertEqual(u"FAT32", self.win32.VolumeInformation(u"E:\\")[4])
    self.assertEqual(DRIVE_REMOVABLE, self.win32.DriveType(u"E:\\"))
    f_paths = mounts[by_path[u"F:\\"]]
    self.assertEqual(2, len(f_paths))
    self.assertTrue(any(len(path) > 3 for path in f_paths), f_paths)

  def testResetEmptiesTheMachine(self):
    simwin.load_default_machine()
    simwin.open_handle(self.win32.ListVolumes()[0])
    simwin.fail("GetDriveTypeW", 5, count=-1)
    simwin.record_calls(False)
    simwin.reset()
    self.assertEqual(NOTHING_OPEN, simwin.open_objects())
    self.assertEqual([], simwin.windows())
    self.assertEqual([], simwin.classes())
    self.assertEqual([], simwin.calls())
    with self.assertRaises(testsupport.Win32CallFailed):
      self.win32.ListVolumes()
    simwin.add_volume(C_VOLUME, [u"C:\\"])
    self.assertEqual(DRIVE_FIXED, self.win32.DriveType(u"C:\\"))  # no fault
    self.assertEqual(("GetDriveTypeW", u"C:\\"), simwin.calls()[-1])


if __name__ == "__main__":
  unittest.main()
