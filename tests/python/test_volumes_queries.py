"""windows.volumes: the Win32 volume queries, on the Win32 test double.

Also home of VolumesTestCase, the fixture of the other test_volumes_* files.
"""

import logging
import sys
import types
import unittest

import simwin
import pyversion
import testsupport
from windows import volumes

ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_NO_MORE_FILES = 18
ERROR_NOT_READY = 21
ERROR_INVALID_NAME = 123
ERROR_MORE_DATA = 234
LONG_PATHS = [u"F:\\", u"C:\\Data\\Archive\\"]  # more than 5 characters


def guid_name(number):
  """A distinct volume GUID name, in the form the system uses."""
  return u"\\\\?\\Volume{%08x-5b7e-11ee-8c99-0242ac12%04x}\\" % (
      0x6f1d2c00 + number, number)


def needed_length(paths):
  """Characters GetVolumePathNamesForVolumeNameW needs for `paths`."""
  return sum(len(path) + 1 for path in paths) + 1


# What the host hands IsFAT and FindVolumeID; the other test files take them from here.
FileHandle = testsupport.FileHandle
StatResult = testsupport.StatResult


class VolumesTestCase(unittest.TestCase):
  """An empty simulated machine; whatever a test rebinds in windows.volumes
  is put back afterwards, and the VolumeInfo singleton is forgotten."""

  def setUp(self):
    simwin.reset()
    saved = dict(vars(volumes))

    def Restore():
      vars(volumes).clear()
      vars(volumes).update(saved)

    self.addCleanup(Restore)
    self.addCleanup(volumes.VolumeInfo._ResetInstanceForTesting)

  def add_volume(self, number, paths=(), **fields):
    name = guid_name(number)
    simwin.add_volume(name, paths, **fields)
    return name

  def calls_of(self, function):
    """The recorded arguments of every call of the Win32 `function`."""
    return [call[1:] for call in simwin.calls() if call[0] == function]

  def capture(self):
    return testsupport.capture_logs("windows.volumes")

  def records(self, handler):
    return [(record.levelname, record.msg, record.args)
            for record in handler.records]

  def assertNothingOpen(self, file_handles=0):
    opened = simwin.open_objects()
    self.assertEqual((opened["volume_searches"], opened["file_handles"]),
                     (0, file_handles))

  def assertWindowsError(self, code, function, *args):
    with self.assertRaises(WindowsError) as raised:
      function(*args)
    self.assertEqual(raised.exception.winerror, code)


class ListVolumeNamesTest(VolumesTestCase):

  def test_names_in_the_system_order(self):
    names = [self.add_volume(number) for number in (3, 1, 2)]
    simwin.add_volume(names[0])  # not a repeat: only the previous name counts
    listed = volumes._ListVolumeNames()
    self.assertEqual(listed, names + names[:1])
    self.assertEqual(set(type(name) for name in listed), set([pyversion.text_type]))
    self.assertNothingOpen()
    self.assertRaises(TypeError, volumes._ListVolumeNames, 1)

  def test_repeated_name_ends_the_list_with_an_error_record(self):
    first, second = self.add_volume(1), self.add_volume(2)
    simwin.add_volume(second)
    self.add_volume(3)
    with self.capture() as handler:
      self.assertEqual(volumes._ListVolumeNames(), [first, second])
    self.assertEqual(self.records(handler), [
        ("ERROR", "FindNextVolume improperly returned same value %s",
         (second,))])
    self.assertNothingOpen()

  def test_enumeration_failures(self):
    self.assertWindowsError(ERROR_NO_MORE_FILES, volumes._ListVolumeNames)
    self.add_volume(1)
    simwin.fail("FindFirstVolumeW", ERROR_NOT_READY)
    self.assertWindowsError(ERROR_NOT_READY, volumes._ListVolumeNames)
    self.assertEqual(self.calls_of("FindVolumeClose"), [])
    self.assertNothingOpen()

  def test_each_next_call_failing_in_turn(self):
    for nth in range(1, 5):
      for count in (1, -1):
        simwin.reset()
        names = [self.add_volume(number) for number in range(4)]
        simwin.fail("FindNextVolumeW", ERROR_ACCESS_DENIED, nth, count)
        self.assertWindowsError(ERROR_ACCESS_DENIED, volumes._ListVolumeNames)
        self.assertEqual(len(self.calls_of("FindVolumeClose")), 1)
        self.assertNothingOpen()
    # The end of the search reported early gives the names so far.
    simwin.reset()
    names = [self.add_volume(number) for number in range(4)]
    simwin.fail("FindNextVolumeW", ERROR_NO_MORE_FILES, 2)
    self.assertEqual(volumes._ListVolumeNames(), names[:2])

  def test_failing_logger_propagates_and_closes_the_search(self):
    self.add_volume(1)
    simwin.add_volume(guid_name(1))

    class Refusing(object):
      def error(self, *args):
        raise ValueError("logger refused")

    volumes.LOGGER = Refusing()
    self.assertRaises(ValueError, volumes._ListVolumeNames)
    self.assertNothingOpen()


class VolumeInformationTest(VolumesTestCase):

  def setUp(self):
    VolumesTestCase.setUp(self)
    self.name = self.add_volume(
        1, [u"E:\\"], label=u"STICK\u0416", serial=0xFFFFFFFF,
        filesystem=u"FAT32", drive_type=2, component_length=255,
        flags=0x20006)
    self.handle = simwin.open_handle(self.name)
    self.addCleanup(simwin.close_handle, self.handle)

  def test_record_by_path_and_by_handle(self):
    record = volumes.GetVolumeInformation(u"E:\\")
    self.assertEqual(record,
                     (u"STICK\u0416", pyversion.long_type(4294967295), pyversion.long_type(255), pyversion.long_type(0x20006), "FAT32"))
    self.assertEqual([type(item) for item in record],
                     [pyversion.text_type, pyversion.long_type, pyversion.long_type,
                      pyversion.long_type, str])
    self.assertEqual(volumes.GetVolumeInformationByHandle(self.handle), record)
    self.add_volume(2, [u"G:\\"], component_length=0)
    self.assertEqual([type(item) for item in
                      volumes.GetVolumeInformation(u"G:\\")[1:4]],
                     [pyversion.long_type] * 3)

  def test_text_outside_the_bmp_at_either_width(self):
    # A UCS-2 interpreter, like Windows, holds U+1F4BE as a surrogate pair;
    # a UCS-4 one as one code point. A lone surrogate passes through as is.
    label, folder = u"Disk\U0001F4BE\ud800", u"H:\\Fotos \U0001F4F7\\"
    name = self.add_volume(9, [folder], label=label)
    ucs2 = sys.maxunicode == 0xFFFF
    read = volumes.GetVolumeInformation(folder)[0]
    self.assertEqual((read, len(read)), (label, 7 if ucs2 else 6))
    [path] = volumes._GetVolumePathNamesForVolumeName(name)
    self.assertEqual((path, len(path)), (folder, 12 if ucs2 else 11))

  def test_trailing_backslash_added_when_missing(self):
    for path in (u"E:", u"E:\\", self.name):
      volumes.GetVolumeInformation(path)
    self.assertWindowsError(ERROR_PATH_NOT_FOUND,
                            volumes.GetVolumeInformation, u"")
    self.assertEqual(self.calls_of("GetVolumeInformationW"), [
        (u"E:\\", 261, 261), (u"E:\\", 261, 261), (self.name, 261, 261),
        (u"\\", 261, 261)])

  @unittest.skipUnless(pyversion.PY3, pyversion.ONLY_PY3 +
                       "a handle converts through __index__")
  def test_handle_conversions_through_index(self):
    handle = self.handle

    class Index(object):
      def __index__(self):
        return handle

    class IntOnly(object):
      def __int__(self):
        return handle

    for value in (handle, Index()):
      volumes.GetVolumeInformationByHandle(value)
    self.assertEqual(self.calls_of("GetVolumeInformationByHandleW"),
                     [(handle, 261, 261)] * 2)
    simwin.clear_calls()
    for value, error in [("7", TypeError), (handle + 0.75, TypeError),
                         (IntOnly(), TypeError), (2 ** 63, OverflowError),
                         (-2 ** 63 - 1, OverflowError)]:
      self.assertRaises(error, volumes.GetVolumeInformationByHandle, value)
    self.assertEqual(simwin.calls(), [])
    # A boolean is an integer: True is handle 1, which is no open file.
    self.assertWindowsError(ERROR_INVALID_HANDLE,
                            volumes.GetVolumeInformationByHandle, True)

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "a handle converts through __int__ and __long__")
  def test_handle_conversions(self):
    handle = self.handle

    class Wrapper(object):
      def __int__(self):
        return handle

    class LongOnly(object):
      def __long__(self):
        return long(handle)

    class NotInt(object):
      def __int__(self):
        return "7"

    for value in (long(handle), handle + 0.75, Wrapper(), LongOnly()):
      volumes.GetVolumeInformationByHandle(value)
    self.assertEqual(self.calls_of("GetVolumeInformationByHandleW"),
                     [(handle, 261, 261)] * 4)
    simwin.clear_calls()
    for value, error, text in [
        ("7", TypeError, "an integer is required"),
        (NotInt(), TypeError, "__int__ returned non-int (type str)"),
        (2 ** 63, OverflowError, None), (-2 ** 63 - 1, OverflowError, None)]:
      with self.assertRaises(error) as raised:
        volumes.GetVolumeInformationByHandle(value)
      if text:
        self.assertEqual(str(raised.exception), text)
    self.assertEqual(simwin.calls(), [])
    # A boolean is an integer: True is handle 1, which is no open file.
    self.assertWindowsError(ERROR_INVALID_HANDLE,
                            volumes.GetVolumeInformationByHandle, True)

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "old-style classes and __long__ are Python 2.7's alone")
  def test_handle_wrappers_of_both_class_styles(self):
    # An old-style instance has every conversion slot, whatever its class
    # defines; only the methods it defines may count.
    handle = self.handle
    cases = [
        ({"__int__": handle}, None),
        ({"__long__": long(handle)}, None),
        ({"__int__": handle, "__long__": -1}, None),
        ({}, "an integer is required"),
        ({"__trunc__": handle}, "an integer is required"),
        ({"__int__": "7"}, "__int__ returned non-int (type str)"),
        ({"__long__": 7.5}, "__long__ returned non-long (type float)"),
    ]
    serials = iter(range(1000, 2000))  # a fresh IsFAT cache entry each
    for make_class in (lambda methods: type("New", (object,), methods),
                       lambda methods: types.ClassType("Old", (), methods)):
      for returns, complaint in cases:
        methods = dict((name, lambda self, value=value: value)
                       for name, value in returns.items())
        wrapper = make_class(methods)()
        for query in (volumes.GetVolumeInformationByHandle,
                      lambda value: volumes.IsFAT(next(serials),
                                                  FileHandle(value))):
          simwin.clear_calls()
          if complaint is None:
            query(wrapper)
            self.assertEqual(self.calls_of("GetVolumeInformationByHandleW"),
                             [(handle, 261, 261)], (make_class, returns))
            continue
          with self.assertRaises(TypeError) as raised:
            query(wrapper)
          self.assertEqual(str(raised.exception), complaint)
          self.assertEqual(simwin.calls(), [])

  def test_win32_failures(self):
    simwin.fail("GetVolumeInformationW", ERROR_NOT_READY)
    self.assertWindowsError(ERROR_NOT_READY, volumes.GetVolumeInformation,
                            u"E:\\")
    simwin.fail("GetVolumeInformationByHandleW", ERROR_ACCESS_DENIED)
    self.assertWindowsError(ERROR_ACCESS_DENIED,
                            volumes.GetVolumeInformationByHandle, self.handle)
    self.assertWindowsError(ERROR_PATH_NOT_FOUND,
                            volumes.GetVolumeInformation, u"Q:\\")
    closed = simwin.open_handle(self.name)
    simwin.close_handle(closed)
    self.assertWindowsError(ERROR_INVALID_HANDLE,
                            volumes.GetVolumeInformationByHandle, closed)
    self.assertNothingOpen(file_handles=1)

  def test_path_argument_tests(self):
    class Text(pyversion.text_type):
      pass

    for value, got in ((b"E:\\", pyversion.bytes_str_type_name),
                       (Text(u"E:\\"), "Text")):
      with self.assertRaises(TypeError) as raised:
        volumes.GetVolumeInformation(value)
      self.assertEqual(
          str(raised.exception),
          "Argument 'path' has incorrect type (expected unicode, got %s)" %
          got)
    with self.assertRaises(TypeError) as raised:
      volumes.GetVolumeInformation(None)
    self.assertEqual(raised.exception.args, ("Expected unicode, got None",))
    # The system would read only u"E:", a different name.
    self.assertRaises(TypeError, volumes.GetVolumeInformation, u"E:\x00\\x\\")
    for function in (volumes.GetVolumeInformation,
                     volumes.GetVolumeInformationByHandle):
      self.assertRaises(TypeError, function)
      self.assertRaises(TypeError, function, u"E:\\", u"F:\\")
    self.assertRaises(TypeError, volumes.GetVolumeInformation, path=u"E:\\")
    self.assertEqual(simwin.calls(), [])

  @unittest.skipUnless(pyversion.PY3, pyversion.ONLY_PY3 +
                       "a file-system name is text, as the system gives it")
  def test_filesystem_name_is_text(self):
    self.add_volume(2, [u"G:\\"], filesystem=u"Caf\xe9FS")
    self.add_volume(3, [u"H:\\"], filesystem=u"\u0416FS")
    self.assertEqual([u"Caf\xe9FS", u"\u0416FS"],
                     [volumes.GetVolumeInformation(path)[4]
                      for path in (u"G:\\", u"H:\\")])

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "a file-system name is an mbcs-encoded str")
  def test_filesystem_name_encoded_with_mbcs(self):
    self.add_volume(2, [u"G:\\"], filesystem=u"Caf\xe9FS")
    self.assertEqual(volumes.GetVolumeInformation(u"G:\\")[4], "Caf\xe9FS")
    self.add_volume(3, [u"H:\\"], filesystem=u"\u0416FS")
    self.assertRaises(UnicodeEncodeError, volumes.GetVolumeInformation,
                      u"H:\\")

  def test_no_references_kept_on_error_paths(self):
    argument = FileHandle(None)
    base = sys.getrefcount(argument)
    for _ in range(200):
      self.assertRaises(TypeError, volumes.GetVolumeInformationByHandle,
                        argument)
      self.assertRaises(TypeError, volumes.GetVolumeInformation, argument)
    self.assertEqual(sys.getrefcount(argument), base)


class VolumePathNamesTest(VolumesTestCase):

  def test_lists_that_fit_need_no_growth(self):
    bare, stick = self.add_volume(1), self.add_volume(2, [u"E:\\"])
    with self.capture() as handler:
      self.assertEqual(volumes._GetVolumePathNamesForVolumeName(bare), [])
      self.assertEqual(volumes._GetVolumePathNamesForVolumeName(stick),
                       [u"E:\\"])
    self.assertEqual(handler.records, [])
    self.assertEqual(self.calls_of("GetVolumePathNamesForVolumeNameW"),
                     [(bare, 5), (stick, 5)])

  def test_growth_to_each_reported_size(self):
    name = self.add_volume(1)
    longer = LONG_PATHS + [u"C:\\Mounts\\Backup\\"]
    simwin.set_paths(name, LONG_PATHS, longer)
    first, second = needed_length(LONG_PATHS), needed_length(longer)
    with self.capture() as handler:
      self.assertEqual(volumes._GetVolumePathNamesForVolumeName(name), longer)
    message = "%s isn't big enough, allocating %s bytes."
    self.assertEqual(self.records(handler), [
        ("DEBUG", message, (10, 2 * first)),
        ("DEBUG", message, (2 * first, 2 * second))])
    self.assertEqual(self.calls_of("GetVolumePathNamesForVolumeNameW"),
                     [(name, 5), (name, first), (name, second)])

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "an 8-bit str name is Python 2.7's alone")
  def test_byte_string_and_none_names(self):
    name = self.add_volume(1, [u"E:\\"])
    self.assertEqual(
        volumes._GetVolumePathNamesForVolumeName(name.encode("ascii")),
        [u"E:\\"])
    self.assertRaises(UnicodeDecodeError,
                      volumes._GetVolumePathNamesForVolumeName, "\\\\?\\\xe9")
    # None is queried by its text, which names no volume.
    self.assertWindowsError(ERROR_INVALID_NAME,
                            volumes._GetVolumePathNamesForVolumeName, None)
    self.assertEqual(self.calls_of("GetVolumePathNamesForVolumeNameW"),
                     [(name, 5), (u"None", 5)])

  def test_argument_tests(self):
    class Text(pyversion.text_type):
      pass

    for value, got in ((Text(u"x"), "Text"), (7, "int")):
      with self.assertRaises(TypeError) as raised:
        volumes._GetVolumePathNamesForVolumeName(value)
      self.assertEqual(
          str(raised.exception),
          "Argument 'guid_path' has incorrect type (expected basestring, "
          "got %s)" % got)
    name = self.add_volume(1, [u"E:\\"])
    for value in (name + u"\x00junk", (name + u"\x00").encode("ascii")):
      self.assertRaises(TypeError, volumes._GetVolumePathNamesForVolumeName,
                        value)
    self.assertRaises(TypeError, volumes._GetVolumePathNamesForVolumeName,
                      guid_path=name)
    self.assertEqual(simwin.calls(), [])

  def test_failure_without_a_length_is_not_an_empty_list(self):
    name = self.add_volume(1, [u"E:\\"])
    self.assertWindowsError(ERROR_FILE_NOT_FOUND,
                            volumes._GetVolumePathNamesForVolumeName,
                            guid_name(2))
    simwin.fail("GetVolumePathNamesForVolumeNameW", ERROR_NOT_READY)
    self.assertWindowsError(ERROR_NOT_READY,
                            volumes._GetVolumePathNamesForVolumeName, name)

  def test_failures_after_growth(self):
    name = self.add_volume(1, LONG_PATHS)
    needed = needed_length(LONG_PATHS)
    # ERROR_MORE_DATA again, with the length left as it was, is a system
    # that keeps saying "more" without asking for more.
    for error in (ERROR_NOT_READY, ERROR_MORE_DATA):
      simwin.fail("GetVolumePathNamesForVolumeNameW", error, 2, -1)
      with self.capture() as handler:
        self.assertWindowsError(error,
                                volumes._GetVolumePathNamesForVolumeName, name)
      self.assertEqual(self.records(handler)[1:], [
          ("ERROR", "Could not write path names into %s-byte buffer.",
           (2 * needed,))])
      simwin.reset()
      simwin.add_volume(name, LONG_PATHS)

  def test_ever_growing_answers_are_bounded(self):
    name = self.add_volume(1)
    simwin.set_paths(name, *[[u"C:\\M%s\\" % (u"x" * size)]
                             for size in range(100)])
    with self.capture() as handler:
      self.assertWindowsError(ERROR_MORE_DATA,
                              volumes._GetVolumePathNamesForVolumeName, name)
    levels = [record.levelname for record in handler.records]
    self.assertEqual(levels[-1], "ERROR")
    self.assertTrue(len(levels) < 100)
    self.assertEqual(len(self.calls_of("GetVolumePathNamesForVolumeNameW")),
                     len(levels))

  def test_error_code_read_before_logging(self):
    name = self.add_volume(1, LONG_PATHS)

    class FailingQueryHandler(logging.Handler):
      """Makes a Win32 call that fails, as a file-writing handler might."""

      def emit(self, record):
        try:
          volumes.GetVolumeInformation(u"Q:\\")
        except WindowsError:
          pass

    simwin.fail("GetVolumePathNamesForVolumeNameW", ERROR_NOT_READY, 2)
    logger = logging.getLogger("windows.volumes")
    handler = FailingQueryHandler()
    logger.addHandler(handler)
    self.addCleanup(logger.removeHandler, handler)
    self.assertWindowsError(ERROR_NOT_READY,
                            volumes._GetVolumePathNamesForVolumeName, name)


if __name__ == "__main__":
  unittest.main()
