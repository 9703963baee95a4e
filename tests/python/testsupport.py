"""Helpers shared by the Python tests.

Everything here waits with a bound, so that a bug fails a test instead of
hanging the run.
"""

import ctypes
import logging
import os
import subprocess
import sys
import threading
import time

import pyversion

DEFAULT_TIMEOUT = 10.0

# Whether the native modules run under AddressSanitizer (its runtime is
# preloaded into the uninstrumented interpreter; see run-sanitized-tests).
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def wait_until(predicate, timeout=DEFAULT_TIMEOUT, interval=0.001):
  """Calls predicate() until it returns a true value or `timeout` passes.

  Returns the last value of predicate(): true on success, false when the
  time ran out. The pause between calls grows from `interval` to 50 ms.
  """
  deadline = time.time() + timeout
  while True:
    value = predicate()
    if value or time.time() >= deadline:
      return value
    time.sleep(min(interval, max(0.0, deadline - time.time())))
    interval = min(interval * 2, 0.05)


class CapturingHandler(logging.Handler):
  """A logging handler that keeps every record it is given, in order."""

  def __init__(self, level=logging.NOTSET):
    logging.Handler.__init__(self, level)
    self.records = []

  def emit(self, record):
    # Handler.handle holds the handler's lock here.
    self.records.append(record)

  def messages(self):
    """(level name, formatted message) of every record so far."""
    with self.lock:
      records = list(self.records)
    return [(record.levelname, record.getMessage()) for record in records]


class capture_logs(object):
  """Context manager: records of the named logger, at `level` and above.

  `with capture_logs("plugwatch") as handler:` ... `handler.messages()`.
  The logger's level and propagation are restored on exit; propagation is
  switched off meanwhile, so captured records do not reach other handlers.
  """

  def __init__(self, logger_name, level=logging.DEBUG):
    self.logger = logging.getLogger(logger_name)
    self.level = level
    self.handler = CapturingHandler()

  def __enter__(self):
    self.saved = (self.logger.level, self.logger.propagate)
    self.logger.addHandler(self.handler)
    self.logger.setLevel(self.level)
    self.logger.propagate = False
    return self.handler

  def __exit__(self, *exc_info):
    self.logger.removeHandler(self.handler)
    self.logger.level, self.logger.propagate = self.saved
    return False


def run_snippet(code, timeout=60.0, env=None):
  """Runs `code` in a fresh interpreter; returns (returncode, out, err).

  The child gets this process's environment (PYTHONPATH included) updated
  with `env`. A child still running after `timeout` seconds is killed; its
  return code is then negative and `err` ends with a line saying so.
  """
  child_env = dict(os.environ)
  if env:
    child_env.update(env)
  child = subprocess.Popen([sys.executable, "-c", code],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           env=child_env, universal_newlines=True)
  finished = threading.Event()
  killed = []

  def Watchdog():
    if not finished.wait(timeout):
      try:
        child.kill()
        killed.append(True)
      except OSError:
        pass  # it ended meanwhile

  watchdog = threading.Thread(target=Watchdog, name="run_snippet watchdog")
  watchdog.daemon = True
  watchdog.start()
  try:
    out, err = child.communicate()
  finally:
    finished.set()
    watchdog.join(timeout)
  if killed:
    err += "\ntestsupport: snippet killed after %g seconds\n" % timeout
  return child.returncode, out, err


class EventHandler(object):
  """The host's event handler of a monitor: keeps what is pushed, in order."""

  def __init__(self, on_push=None):
    self.events = pyversion.queue.Queue()
    self.on_push = on_push

  def Push(self, event):
    self.events.put(event)
    if self.on_push:
      self.on_push(event)
    return "ignored"

  def Next(self):
    try:
      return self.events.get(timeout=DEFAULT_TIMEOUT)
    except pyversion.queue.Empty:
      raise AssertionError("no event within %g seconds" % DEFAULT_TIMEOUT)

  def Pending(self):
    events = []
    while not self.events.empty():
      events.append(self.events.get_nowait())
    return events


class FileHandle(object):
  """What the host hands IsFAT: `handle` is the raw Win32 handle."""

  def __init__(self, handle):
    self.handle = handle


class StatResult(object):
  """What the host hands FindVolumeID: `st_dev` is the volume's serial."""

  def __init__(self, st_dev):
    self.st_dev = st_dev
def check_version_mismatch(test, module):
  """The body of a TestCase method: `module` imported into an interpreter
  whose version it reads as 3.7 warns and loads under the default warning
  filters, and fails to load when they turn the warning into an error.

  The version is changed only for the extension modules, by preloading a
  stand-in for Py_GetVersion (tests/skewed_version), which needs an
  interpreter built as a shared library; elsewhere the test is skipped.
  """
  import sysconfig
  if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
    test.skipTest("the interpreter is not a shared library")
  library = os.path.join(os.path.dirname(simwin_library_path()),
                         "libskewed_version.so")
  preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))
  mismatch = ("RuntimeWarning: compiletime version %s of module '%s' does "
              "not match runtime version 3.7" % (pyversion.VERSION, module))
  for action, printed, warned in [(None, "loaded", True),
                                  ("error", mismatch, False)]:
    code = ("import sys, warnings\n"
            "if %r:\n"
            "  warnings.simplefilter(%r, RuntimeWarning)\n"
            "try:\n"
            "  import %s\n"
            "except Exception as error:\n"
            "  sys.stdout.write('%%s: %%s' %% (type(error).__name__, error))\n"
            "else:\n"
            "  sys.stdout.write('loaded')\n" % (action, action, module))
    returncode, out, err = run_snippet(
        code, env={"LD_PRELOAD": preload,
                   "SKEWED_PYTHON_VERSION": "3.7.1 (skewed)"})
    test.assertEqual((0, printed), (returncode, out), err)
    test.assertEqual(warned, mismatch in err, err)


class ThreadRunner(object):
  """Runs target(*args, **kwargs) on a daemon thread and keeps its outcome.

  wait(timeout) joins with a bound and then re-raises the target's exception
  or returns its result; it fails with AssertionError when the thread has
  not ended in time.
  """

  def __init__(self, target, *args, **kwargs):
    self.result = None
    self.error = None
    self._target = target
    self.thread = threading.Thread(target=self._Run, args=args,
                                   kwargs=kwargs,
                                   name="ThreadRunner %s" % target.__name__)
    self.thread.daemon = True
    self.thread.start()

  def _Run(self, *args, **kwargs):
    try:
      self.result = self._target(*args, **kwargs)
    except BaseException:
      self.error = sys.exc_info()

  def wait(self, timeout=DEFAULT_TIMEOUT):
    self.thread.join(timeout)
    if self.thread.is_alive():
      raise AssertionError("thread %s still running after %g seconds" %
                           (self.thread.name, timeout))
    if self.error is not None:
      pyversion.reraise(self.error)
    return self.result


# Capsule names must outlive their capsules: the capsule keeps the pointer.
_CAPSULE_NAMES = []
_CAPSULE_TARGET = ctypes.c_int(0)

_PyCapsule_New = ctypes.pythonapi.PyCapsule_New
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
_PyCapsule_GetPointer.restype = ctypes.c_void_p
_PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def make_capsule(name, pointer=None):
  """A capsule named `name` (None: unnamed) wrapping `pointer`.

  `pointer` defaults to the address of a harmless integer; it must not be
  null (capsules refuse null pointers).
  """
  if pointer is None:
    pointer = ctypes.addressof(_CAPSULE_TARGET)
  name_buffer = None
  if name is not None:
    name_buffer = ctypes.create_string_buffer(name.encode("ascii"))
    _CAPSULE_NAMES.append(name_buffer)
  return _PyCapsule_New(pointer, name_buffer, None)


_PyCapsule_GetName = ctypes.pythonapi.PyCapsule_GetName
_PyCapsule_GetName.restype = ctypes.c_char_p
_PyCapsule_GetName.argtypes = [ctypes.py_object]


def capsule_name(capsule):
  name = _PyCapsule_GetName(capsule)
  return name if name is None or isinstance(name, str) else name.decode("ascii")


# Setup code for a fresh interpreter, run before the modules load: a
# windows.winwrap whose RaiseWindowsError keeps the arguments of each call
# in the list `raised_with`, as (flag,) without optional arguments and as
# (flag, count, code, message) with them, and returns None instead of
# raising.
RECORDING_WINWRAP = """
import ctypes, sys, types, windows, windows.winwrap, testsupport
class _OptionalArguments(ctypes.Structure):
  _fields_ = [("count", ctypes.c_int), ("code", ctypes.c_int),
              ("message", ctypes.py_object)]
raised_with = []
def _Record(flag, optional):
  if not optional:
    raised_with.append((flag,))
    return None
  given = ctypes.cast(optional, ctypes.POINTER(_OptionalArguments)).contents
  message = given.message if given.count == 2 else None
  raised_with.append((flag, given.count, given.code, message))
_recording = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_int,
                               ctypes.c_void_p)(_Record)
_fake = types.ModuleType("windows.winwrap")
_fake.__pyx_capi__ = {"RaiseWindowsError": testsupport.make_capsule(
    testsupport.capsule_name(windows.winwrap.__pyx_capi__["RaiseWindowsError"]),
    ctypes.cast(_recording, ctypes.c_void_p).value)}
sys.modules["windows.winwrap"] = windows.winwrap = _fake
"""


def capsule_pointer(capsule, name):
  """The pointer of a capsule that must be named exactly `name`."""
  return _PyCapsule_GetPointer(
      capsule, None if name is None else name.encode("ascii"))


# --- The Win32 test double, called directly -------------------------------
# Tests observe what the control module set up through the same Win32
# functions the modules call. WCHAR text is UTF-16, so strings cross as
# arrays of 16-bit units.

_UNITS = ctypes.c_uint16


def _WideBuffer(text):
  """A NUL-terminated UTF-16 copy of `text` (None: a null pointer)."""
  if text is None:
    return None
  encoded = text.encode("utf-16-le", pyversion.UTF16_ERRORS)
  units = len(encoded) // 2
  buffer = (_UNITS * (units + 1))()
  ctypes.memmove(buffer, encoded, len(encoded))
  return buffer


def _ReadWide(buffer, units):
  return ctypes.string_at(buffer, 2 * units).decode("utf-16-le", pyversion.UTF16_ERRORS)


def _TextUpToNul(buffer):
  units = list(buffer)
  length = units.index(0) if 0 in units else len(units)
  return _ReadWide(buffer, length)


class Win32CallFailed(Exception):
  """A Win32 function of the double failed; `error` is its last error."""

  def __init__(self, function, error):
    Exception.__init__(self, "%s failed with error %d" % (function, error))
    self.function = function
    self.error = error


def simwin_library_path():
  """Where the double's shared library is: the lib folder next to the tree."""
  import windows
  tree = os.path.dirname(os.path.dirname(os.path.abspath(windows.__file__)))
  return os.path.join(os.path.dirname(tree), "lib", "libsimwin.so")


class Win32(object):
  """The volume functions of the Win32 test double, for tests."""

  def __init__(self):
    library = ctypes.CDLL(simwin_library_path())
    self.library = library
    pointer = ctypes.c_void_p
    dword = ctypes.c_uint32
    signatures = {
        "GetLastError": (dword, []),
        "SetLastError": (None, [dword]),
        "FindFirstVolumeW": (pointer, [pointer, dword]),
        "FindNextVolumeW": (ctypes.c_int, [pointer, pointer, dword]),
        "FindVolumeClose": (ctypes.c_int, [pointer]),
        "GetVolumePathNamesForVolumeNameW": (
            ctypes.c_int, [pointer, pointer, dword, ctypes.POINTER(dword)]),
        "GetVolumeInformationW": (
            ctypes.c_int, [pointer, pointer, dword, ctypes.POINTER(dword),
                           ctypes.POINTER(dword), ctypes.POINTER(dword),
                           pointer, dword]),
        "GetVolumeInformationByHandleW": (
            ctypes.c_int, [pointer, pointer, dword, ctypes.POINTER(dword),
                           ctypes.POINTER(dword), ctypes.POINTER(dword),
                           pointer, dword]),
        "GetDriveTypeW": (ctypes.c_uint, [pointer]),
        "GetDiskFreeSpaceExW": (
            ctypes.c_int, [pointer, ctypes.POINTER(ctypes.c_uint64),
                           ctypes.POINTER(ctypes.c_uint64),
                           ctypes.POINTER(ctypes.c_uint64)]),
        "CloseHandle": (ctypes.c_int, [pointer]),
        "IsWindow": (ctypes.c_int, [pointer]),
    }
    for name, (restype, argtypes) in signatures.items():
      function = getattr(library, name)
      function.restype = restype
      function.argtypes = argtypes

  def __getattr__(self, name):
    return getattr(self.library, name)

  def _Fail(self, function):
    raise Win32CallFailed(function, self.library.GetLastError())

  def ListVolumes(self):
    """Volume GUID names as FindFirstVolumeW/FindNextVolumeW give them."""
    buffer = (_UNITS * 100)()
    search = self.library.FindFirstVolumeW(buffer, 100)
    if search is None or search == ctypes.c_void_p(-1).value:
      self._Fail("FindFirstVolumeW")
    names = [_TextUpToNul(buffer)]
    try:
      while self.library.FindNextVolumeW(search, buffer, 100):
        names.append(_TextUpToNul(buffer))
      if self.library.GetLastError() != 18:  # ERROR_NO_MORE_FILES
        self._Fail("FindNextVolumeW")
    finally:
      self.library.FindVolumeClose(search)
    return names

  def PathNames(self, volume_name):
    """The mount paths of a volume (GetVolumePathNamesForVolumeNameW)."""
    name = _WideBuffer(volume_name)
    length = ctypes.c_uint32(0)
    buffer = (_UNITS * 1024)()
    if not self.library.GetVolumePathNamesForVolumeNameW(
        name, buffer, 1024, ctypes.byref(length)):
      self._Fail("GetVolumePathNamesForVolumeNameW")
    text = _ReadWide(buffer, length.value)
    return [path for path in text.split(u"\0") if path]

  def VolumeInformation(self, root):
    """(label, serial, component length, flags, file system) of a root."""
    return self._VolumeInformation("GetVolumeInformationW",
                                   _WideBuffer(root))

  def VolumeInformationByHandle(self, handle):
    return self._VolumeInformation("GetVolumeInformationByHandleW",
                                   ctypes.c_void_p(handle))

  def _VolumeInformation(self, function, target):
    label = (_UNITS * 261)()
    filesystem = (_UNITS * 261)()
    serial = ctypes.c_uint32()
    component_length = ctypes.c_uint32()
    flags = ctypes.c_uint32()
    if not getattr(self.library, function)(
        target, label, 261, ctypes.byref(serial),
        ctypes.byref(component_length), ctypes.byref(flags), filesystem, 261):
      self._Fail(function)
    return (_TextUpToNul(label), serial.value, component_length.value,
            flags.value, _TextUpToNul(filesystem))

  def DriveType(self, root):
    return self.library.GetDriveTypeW(_WideBuffer(root))

  def DiskSpace(self, root):
    """(free to caller, total, total free) bytes (GetDiskFreeSpaceExW)."""
    values = [ctypes.c_uint64() for _ in range(3)]
    if not self.library.GetDiskFreeSpaceExW(
        _WideBuffer(root), *[ctypes.byref(value) for value in values]):
      self._Fail("GetDiskFreeSpaceExW")
    return tuple(value.value for value in values)
