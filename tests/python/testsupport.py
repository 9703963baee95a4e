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

DEFAULT_TIMEOUT = 10.0


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
                           env=child_env)
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
      raise self.error[0], self.error[1], self.error[2]
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
    name_buffer = ctypes.create_string_buffer(name)
    _CAPSULE_NAMES.append(name_buffer)
  return _PyCapsule_New(pointer, name_buffer, None)


def capsule_pointer(capsule, name):
  """The pointer of a capsule that must be named exactly `name`."""
  return _PyCapsule_GetPointer(capsule, name)
