"""simwin: fault injection and the record of Win32 calls."""

import unittest

import pyversion
import simwin
import testsupport

C_VOLUME = u"\\\\?\\Volume{22222222-0000-0000-0000-000000000001}\\"
ERROR_ACCESS_DENIED = 5
ERROR_NOT_READY = 21
DRIVE_UNKNOWN = 0
DRIVE_FIXED = 3


class CallsTestCase(unittest.TestCase):

  def setUp(self):
    simwin.reset()
    simwin.add_volume(C_VOLUME, [u"C:\\"])
    self.win32 = testsupport.Win32()

  def tearDown(self):
    simwin.reset()

  def DriveTypes(self, calls):
    """GetDriveTypeW `calls` times: its results and last errors."""
    outcomes = []
    for _ in range(calls):
      self.win32.SetLastError(0)
      drive_type = self.win32.DriveType(u"C:\\")
      outcomes.append((drive_type, self.win32.GetLastError()))
    return outcomes


class FailTest(CallsTestCase):
  OK = (DRIVE_FIXED, 0)
  FAILED = (DRIVE_UNKNOWN, ERROR_NOT_READY)

  def testNextCallFails(self):
    simwin.fail("GetDriveTypeW", ERROR_NOT_READY)
    self.assertEqual([self.FAILED, self.OK, self.OK], self.DriveTypes(3))

  def testNthAndCount(self):
    simwin.fail("GetDriveTypeW", ERROR_NOT_READY, nth=2, count=2)
    self.assertEqual([self.OK, self.FAILED, self.FAILED, self.OK],
                     self.DriveTypes(4))

  def testCountMinusOneFailsForEver(self):
    simwin.fail(u"GetDriveTypeW", ERROR_NOT_READY, 3, -1)
    self.assertEqual([self.OK, self.OK] + [self.FAILED] * 5,
                     self.DriveTypes(7))

  def testOtherFunctionsAreNotCounted(self):
    simwin.fail("GetDriveTypeW", ERROR_NOT_READY, nth=2)
    self.win32.VolumeInformation(u"C:\\")
    self.win32.ListVolumes()
    self.assertEqual([self.OK, self.FAILED], self.DriveTypes(2))

  def testFailedEnumerationReportsTheCode(self):
    simwin.fail("FindFirstVolumeW", ERROR_ACCESS_DENIED)
    with self.assertRaises(testsupport.Win32CallFailed) as caught:
      self.win32.ListVolumes()
    self.assertEqual(("FindFirstVolumeW", ERROR_ACCESS_DENIED),
                     (caught.exception.function, caught.exception.error))
    self.assertEqual(0, simwin.open_objects()["volume_searches"])
    self.assertEqual([C_VOLUME], self.win32.ListVolumes())

  def testArgumentErrors(self):
    for name in ("NoSuchFunction", "getdrivetypew", u"GetDriveTyp\xe9W",
                 "GetLastError", ""):
      with self.assertRaises(ValueError, msg=name):
        simwin.fail(name, 5)
    for nth, count in ((0, 1), (-1, 1), (1, 0), (1, -2)):
      with self.assertRaises(ValueError, msg=(nth, count)):
        simwin.fail("GetDriveTypeW", 5, nth, count)
    with self.assertRaises(TypeError):
      simwin.fail(5, 5)
    with self.assertRaises(TypeError):
      simwin.fail("GetDriveTypeW", "5")
    with self.assertRaises(OverflowError):
      simwin.fail("GetDriveTypeW", 2 ** 32)
    with self.assertRaises(TypeError):
      simwin.fail("GetDriveTypeW")
    # None of the refused calls installed a fault.
    self.assertEqual([self.OK] * 3, self.DriveTypes(3))


class RecordTest(CallsTestCase):

  def testCallsAreRecordedInOrderWithTheirArguments(self):
    simwin.clear_calls()
    self.win32.DriveType(u"C:\\")
    self.win32.VolumeInformation(u"C:\\")
    calls = simwin.calls()
    self.assertEqual(["GetDriveTypeW", "GetVolumeInformationW"],
                     [call[0] for call in calls])
    self.assertEqual(("GetDriveTypeW", u"C:\\"), calls[0])
    for call in calls:
      self.assertIs(str, type(call[0]))
      for argument in call[1:]:
        self.assertIn(type(argument),
                      pyversion.integer_types + (pyversion.text_type,), call)

  def testHandlesAreNumbers(self):
    handle = simwin.open_handle(C_VOLUME)
    simwin.clear_calls()
    self.win32.VolumeInformationByHandle(handle)
    self.assertEqual(("GetVolumeInformationByHandleW", handle),
                     simwin.calls()[0][:2])

  def testFailedCallsAreRecordedToo(self):
    simwin.fail("GetDriveTypeW", ERROR_NOT_READY)
    simwin.clear_calls()
    self.DriveTypes(1)
    self.assertEqual(["GetDriveTypeW"], [call[0] for call in simwin.calls()])

  def testRecordingOffAndOn(self):
    simwin.record_calls(False)
    simwin.clear_calls()
    self.DriveTypes(2)
    self.assertEqual([], simwin.calls())
    simwin.record_calls(1)
    self.DriveTypes(1)
    self.assertEqual(1, len(simwin.calls()))
    simwin.clear_calls()
    self.assertEqual([], simwin.calls())

  def testResetTurnsRecordingBackOn(self):
    simwin.record_calls(False)
    simwin.reset()
    self.win32.DriveType(u"C:\\")
    self.assertEqual([("GetDriveTypeW", u"C:\\")], simwin.calls())

  def testCallsIsASnapshot(self):
    simwin.clear_calls()
    self.DriveTypes(1)
    snapshot = simwin.calls()
    self.DriveTypes(1)
    self.assertEqual(1, len(snapshot))
    self.assertEqual(2, len(simwin.calls()))


if __name__ == "__main__":
  unittest.main()
