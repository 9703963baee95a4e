"""Small utilities shared by the application."""

import ctypes
import ctypes.util
import threading
import time

_CLOCK_MONOTONIC = 1  # <time.h> on Linux


class _Timespec(ctypes.Structure):
  _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


def _LoadClockGettime():
  """clock_gettime from the C library, or None where there is none."""
  # The C library itself first; older systems keep it in librt.
  for find_library in (lambda: None, lambda: ctypes.util.find_library("rt")):
    try:
      function = ctypes.CDLL(find_library(), use_errno=True).clock_gettime
    except (OSError, AttributeError, TypeError):
      # TypeError: Windows' loader has no "the process itself" (None).
      continue
    function.argtypes = [ctypes.c_int, ctypes.POINTER(_Timespec)]
    function.restype = ctypes.c_int
    probe = _Timespec()
    if function(_CLOCK_MONOTONIC, ctypes.byref(probe)) == 0:
      return function
  return None


class _NonDecreasingClock(object):
  """time.time() that never goes back when the wall clock is set back."""

  def __init__(self):
    self._lock = threading.Lock()
    self._last = 0.0

  def __call__(self):
    with self._lock:
      self._last = max(self._last, time.time())
      return self._last


def _MakeMonotonicClock():
  clock_gettime = _LoadClockGettime()
  if clock_gettime is None:
    return _NonDecreasingClock()

  def MonotonicClock():
    now = _Timespec()
    if clock_gettime(_CLOCK_MONOTONIC, ctypes.byref(now)) != 0:
      error = ctypes.get_errno()
      raise OSError(error, "clock_gettime failed")
    return now.tv_sec + now.tv_nsec * 1e-9

  return MonotonicClock


_MONOTONIC_CLOCK = _MakeMonotonicClock()


def GetMonotonicTime():
  """Seconds from a clock that never goes backwards (arbitrary origin)."""
  return _MONOTONIC_CLOCK()
