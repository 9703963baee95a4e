"""The host's `windows` package and its native windows.winwrap."""

import codecs
import ctypes
import errno
import os
import textwrap
import unittest

import testsupport
import windows
import windows.winwrap as winwrap


class _OptionalArgs(ctypes.Structure):
  """The optional-argument record RaiseWindowsError reads."""
  _fields_ = [("count", ctypes.c_int), ("error_code", ctypes.c_int),
              ("message", ctypes.py_object)]


# PYFUNCTYPE: called with the interpreter lock held, pending errors raised.
_RaiseWindowsErrorType = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.c_int, ctypes.POINTER(_OptionalArgs))

_PyCapsule_GetName = ctypes.pythonapi.PyCapsule_GetName
_PyCapsule_GetName.restype = ctypes.c_char_p
_PyCapsule_GetName.argtypes = [ctypes.py_object]


def _LoadSimwin():
  """The Win32 test double that windows.winwrap is linked to."""
  tree = os.path.dirname(os.path.dirname(os.path.abspath(winwrap.__file__)))
  library = ctypes.CDLL(os.path.join(os.path.dirname(tree), "lib",
                                     "libsimwin.so"))
  library.SetLastError.argtypes = [ctypes.c_uint32]
  library.GetLastError.restype = ctypes.c_uint32
  return library


class WindowsErrorTest(unittest.TestCase):

  def testIsTheBuiltinAndAnOSError(self):
    self.assertIs(WindowsError, windows.WindowsError)
    self.assertTrue(issubclass(WindowsError, OSError))

  def testCodeAndTextMakeWinerrorErrnoAndStr(self):
    error = WindowsError(5, "Access is denied.")
    self.assertEqual(5, error.winerror)
    self.assertEqual(errno.EACCES, error.errno)
    self.assertEqual("Access is denied.", error.strerror)
    self.assertEqual("[Error 5] Access is denied.", str(error))
    self.assertEqual((5, "Access is denied."), error.args)

  def testErrnoFollowsTheWin32Code(self):
    expected = {2: errno.ENOENT, 3: errno.ENOENT, 6: errno.EBADF,
                8: errno.ENOMEM, 18: errno.ENOENT, 21: errno.EACCES,
                145: errno.ENOTEMPTY, 183: errno.EEXIST,
                193: errno.ENOEXEC, 206: errno.ENOENT}
    for code, expected_errno in sorted(expected.items()):
      self.assertEqual(expected_errno, WindowsError(code, "x").errno, code)
    for unmapped in (0, 87, 123, 234, 1400, -1, 2 ** 40, "text"):
      self.assertEqual(errno.EINVAL, WindowsError(unmapped, "x").errno,
                       unmapped)

  def testFilenameAppearsInStr(self):
    error = WindowsError(3, "The system cannot find the path specified.",
                         u"Q:\\")
    self.assertEqual(u"Q:\\", error.filename)
    self.assertEqual(
        "[Error 3] The system cannot find the path specified.: %r" % u"Q:\\",
        str(error))

  def testOtherArgumentCountsBehaveAsOSError(self):
    single = WindowsError("only a text")
    self.assertIsNone(single.winerror)
    self.assertEqual("only a text", str(single))
    self.assertIsNone(WindowsError().winerror)

  def testCaughtAsOSError(self):
    with self.assertRaises(OSError) as caught:
      raise WindowsError(21, "The device is not ready.")
    self.assertEqual(21, caught.exception.winerror)


class InstallationTest(unittest.TestCase):
  """What importing the package installs, in fresh interpreters."""

  def RunSnippet(self, code):
    returncode, out, err = testsupport.run_snippet(textwrap.dedent(code))
    self.assertEqual(0, returncode, err)
    return out

  def testInstallsWhatIsMissing(self):
    out = self.RunSnippet("""
        from pyversion import builtins; import codecs
        print(hasattr(builtins, "WindowsError"))
        try:
          codecs.lookup("mbcs")
          print("codec")
        except LookupError:
          print("no codec")
        import windows
        print(builtins.WindowsError is windows.WindowsError)
        print(codecs.lookup("MBCS").name)
        """)
    self.assertEqual(["False", "no codec", "True", "mbcs"],
                     out.splitlines())

  def testKeepsAWindowsErrorThatExists(self):
    out = self.RunSnippet("""
        from pyversion import builtins
        class Existing(OSError):
          pass
        builtins.WindowsError = Existing
        import windows
        print(WindowsError is Existing)
        """)
    self.assertEqual("True", out.strip())

  def testInstallsNothingOnWindows(self):
    out = self.RunSnippet("""
        from pyversion import builtins; import codecs, sys
        sys.platform = "win32"
        import windows
        print(hasattr(builtins, "WindowsError"))
        try:
          codecs.lookup("mbcs")
          print("codec")
        except LookupError:
          print("no codec")
        """)
    self.assertEqual(["False", "no codec"], out.splitlines())


class MbcsCodecTest(unittest.TestCase):

  def testRoundTripOfCodePage1252(self):
    text = u"caf\xe9 \u20ac \u2019 \xff"
    encoded = text.encode("mbcs")
    self.assertEqual(b"caf\xe9 \x80 \x92 \xff", encoded)
    self.assertEqual(text, encoded.decode("mbcs"))

  def testStrictByDefault(self):
    with self.assertRaises(UnicodeEncodeError):
      u"\u4e2d".encode("mbcs")
    with self.assertRaises(UnicodeDecodeError):
      b"\x81".decode("mbcs")  # unassigned in code page 1252
    self.assertEqual(b"?", u"\u4e2d".encode("mbcs", "replace"))

  def testStreamsAndIncrementalCodecs(self):
    info = codecs.lookup("mbcs")
    decoder = info.incrementaldecoder()
    self.assertEqual(u"\u20ac", decoder.decode(b"\x80", final=True))


class NativeEntryTableTest(unittest.TestCase):

  def setUp(self):
    self.table = getattr(winwrap, "__pyx_capi__")
    self.capsule = self.table["RaiseWindowsError"]
    self.signature = _PyCapsule_GetName(self.capsule).decode("ascii")
    self.simwin = _LoadSimwin()

  def CallEntry(self, optional=None):
    pointer = testsupport.capsule_pointer(self.capsule, self.signature)
    function = _RaiseWindowsErrorType(pointer)
    if optional is None:
      return function(0, None)
    return function(0, ctypes.byref(optional))

  def testTableHoldsOnlyTheEntryPoint(self):
    self.assertEqual(["RaiseWindowsError"], list(self.table))

  def testSignatureIsCythonsTextForTheFunction(self):
    # Cython names the optional-argument record after the module path,
    # each part prefixed by its length.
    mangled = "_".join("%d%s" % (len(part), part)
                      for part in "windows.winwrap".split("."))
    expected = ("PyObject *(int __pyx_skip_dispatch, struct "
                "__pyx_opt_args_%s_RaiseWindowsError *__pyx_optional_args)"
                % mangled)
    self.assertEqual(expected, self.signature)

  def testNoOptionalArgumentsRaisesTheLastError(self):
    for code, text in ((21, "The device is not ready."),
                       (1400, "Invalid window handle."),
                       (4242, "Unknown error")):
      self.simwin.SetLastError(code)
      with self.assertRaises(WindowsError) as caught:
        self.CallEntry()
      self.assertEqual(code, caught.exception.winerror)
      self.assertEqual(text, caught.exception.strerror)

  def testCountZeroIgnoresTheFields(self):
    self.simwin.SetLastError(18)
    with self.assertRaises(WindowsError) as caught:
      self.CallEntry(_OptionalArgs(0, 5, "ignored"))
    self.assertEqual(18, caught.exception.winerror)
    self.assertEqual("There are no more files.", caught.exception.strerror)

  def testCountOneGivesTheCode(self):
    self.simwin.SetLastError(18)
    with self.assertRaises(WindowsError) as caught:
      self.CallEntry(_OptionalArgs(1, 123, "ignored"))
    self.assertEqual(123, caught.exception.winerror)
    self.assertEqual(
        "The filename, directory name, or volume label syntax is incorrect.",
        caught.exception.strerror)

  def testCountTwoGivesCodeAndMessage(self):
    message = "Error registering device monitor class"
    with self.assertRaises(WindowsError) as caught:
      self.CallEntry(_OptionalArgs(2, 1410, message))
    self.assertEqual(1410, caught.exception.winerror)
    self.assertIs(message, caught.exception.strerror)
    self.assertEqual("[Error 1410] %s" % message, str(caught.exception))

  def testDoesNotTouchTheLastError(self):
    self.simwin.SetLastError(234)
    with self.assertRaises(WindowsError):
      self.CallEntry()
    self.assertEqual(234, self.simwin.GetLastError())

  def testRaisesTheCurrentBuiltin(self):
    from pyversion import builtins
    original = builtins.WindowsError

    class Replacement(OSError):
      pass

    builtins.WindowsError = Replacement
    try:
      with self.assertRaises(Replacement):
        self.CallEntry(_OptionalArgs(1, 5, None))
      del builtins.WindowsError
      with self.assertRaises(NameError):
        self.CallEntry(_OptionalArgs(1, 5, None))
    finally:
      builtins.WindowsError = original


class PythonCallableTest(unittest.TestCase):

  def testDefaultsToTheLastErrorAndItsMessage(self):
    _LoadSimwin().SetLastError(2)
    with self.assertRaises(WindowsError) as caught:
      winwrap.RaiseWindowsError()
    self.assertEqual(
        (2, "The system cannot find the file specified."),
        (caught.exception.winerror, caught.exception.strerror))

  def testGivenCodeAndMessage(self):
    with self.assertRaises(WindowsError) as caught:
      winwrap.RaiseWindowsError(87)
    self.assertEqual("[Error 87] The parameter is incorrect.",
                     str(caught.exception))
    with self.assertRaises(WindowsError) as caught:
      winwrap.RaiseWindowsError(error_code=234, message=u"more")
    self.assertEqual((234, u"more"), (caught.exception.winerror,
                                      caught.exception.strerror))

  def testArgumentErrors(self):
    with self.assertRaises(TypeError):
      winwrap.RaiseWindowsError("5")
    with self.assertRaises(OverflowError):
      winwrap.RaiseWindowsError(2 ** 32)
    with self.assertRaises(TypeError):
      winwrap.RaiseWindowsError(5, "text", "extra")
    with self.assertRaises(TypeError):
      winwrap.RaiseWindowsError(code=5)


if __name__ == "__main__":
  unittest.main()
