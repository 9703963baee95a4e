"""Windows-specific modules of the application.

On Windows the interpreter provides WindowsError and the "mbcs" codec. On
other platforms, where the Windows modules run against the Win32 test
double, this package installs equivalents of both when they are missing, so
code written for Windows raises and encodes the same way everywhere.
"""

import codecs
import errno
import sys

try:
  import __builtin__ as _builtins
except ImportError:  # Python 3
  import builtins as _builtins

# Win32 error code -> errno, as the interpreter maps them on Windows.
# Codes not listed map to EINVAL.
_ERRNO_FOR_WINERROR = {
    2: errno.ENOENT,      # ERROR_FILE_NOT_FOUND
    3: errno.ENOENT,      # ERROR_PATH_NOT_FOUND
    4: errno.EMFILE,      # ERROR_TOO_MANY_OPEN_FILES
    5: errno.EACCES,      # ERROR_ACCESS_DENIED
    6: errno.EBADF,       # ERROR_INVALID_HANDLE
    7: errno.ENOMEM,      # ERROR_ARENA_TRASHED
    8: errno.ENOMEM,      # ERROR_NOT_ENOUGH_MEMORY
    9: errno.ENOMEM,      # ERROR_INVALID_BLOCK
    10: errno.E2BIG,      # ERROR_BAD_ENVIRONMENT
    11: errno.ENOEXEC,    # ERROR_BAD_FORMAT
    15: errno.ENOENT,     # ERROR_INVALID_DRIVE
    16: errno.EACCES,     # ERROR_CURRENT_DIRECTORY
    17: errno.EXDEV,      # ERROR_NOT_SAME_DEVICE
    18: errno.ENOENT,     # ERROR_NO_MORE_FILES
    53: errno.ENOENT,     # ERROR_BAD_NETPATH
    65: errno.EACCES,     # ERROR_NETWORK_ACCESS_DENIED
    67: errno.ENOENT,     # ERROR_BAD_NET_NAME
    80: errno.EEXIST,     # ERROR_FILE_EXISTS
    82: errno.EACCES,     # ERROR_CANNOT_MAKE
    83: errno.EACCES,     # ERROR_FAIL_I24
    89: errno.EAGAIN,     # ERROR_NO_PROC_SLOTS
    108: errno.EACCES,    # ERROR_DRIVE_LOCKED
    109: errno.EPIPE,     # ERROR_BROKEN_PIPE
    112: errno.ENOSPC,    # ERROR_DISK_FULL
    114: errno.EBADF,     # ERROR_INVALID_TARGET_HANDLE
    128: errno.ECHILD,    # ERROR_WAIT_NO_CHILDREN
    129: errno.ECHILD,    # ERROR_CHILD_NOT_COMPLETE
    130: errno.EBADF,     # ERROR_DIRECT_ACCESS_HANDLE
    132: errno.EACCES,    # ERROR_SEEK_ON_DEVICE
    145: errno.ENOTEMPTY, # ERROR_DIR_NOT_EMPTY
    158: errno.EACCES,    # ERROR_NOT_LOCKED
    161: errno.ENOENT,    # ERROR_BAD_PATHNAME
    164: errno.EAGAIN,    # ERROR_MAX_THRDS_REACHED
    167: errno.EACCES,    # ERROR_LOCK_FAILED
    183: errno.EEXIST,    # ERROR_ALREADY_EXISTS
    206: errno.ENOENT,    # ERROR_FILENAME_EXCED_RANGE
    215: errno.EAGAIN,    # ERROR_NESTING_NOT_ALLOWED
    1816: errno.ENOMEM,   # ERROR_NOT_ENOUGH_QUOTA
}
# ERROR_WRITE_PROTECT .. ERROR_SHARING_BUFFER_EXCEEDED: all access errors.
_ERRNO_FOR_WINERROR.update((code, errno.EACCES) for code in range(19, 37))
# ERROR_INVALID_STARTING_CODESEG .. ERROR_INFLOOP_IN_RELOC_CHAIN: bad images.
_ERRNO_FOR_WINERROR.update((code, errno.ENOEXEC) for code in range(188, 203))


def _ErrnoForWinError(winerror):
  """The errno value that a Win32 error code stands for (EINVAL if none)."""
  try:
    return _ERRNO_FOR_WINERROR.get(int(winerror), errno.EINVAL)
  except (TypeError, ValueError, OverflowError):
    return errno.EINVAL


class WindowsError(OSError):
  """A Win32 failure: `winerror` is the Win32 error code.

  Built as WindowsError(winerror, strerror[, filename]); `errno` is then the
  errno value the Win32 code maps to, and str() reads
  "[Error <winerror>] <strerror>".
  """

  def __init__(self, *args):
    OSError.__init__(self, *args)
    if 2 <= len(args) <= 3:
      self.winerror = args[0]
      self.errno = _ErrnoForWinError(args[0])
    else:
      self.winerror = None

  def __str__(self):
    if self.winerror is None:
      return OSError.__str__(self)
    if self.filename is not None:
      return "[Error %s] %s: %r" % (self.winerror, self.strerror,
                                     self.filename)
    return "[Error %s] %s" % (self.winerror, self.strerror)


def _FindMbcsCodec(name):
  """Codec search function answering "mbcs" with Windows code page 1252."""
  if name != "mbcs":
    return None
  import encodings.cp1252
  cp1252 = encodings.cp1252.getregentry()
  return codecs.CodecInfo(
      name="mbcs",
      encode=cp1252.encode,
      decode=cp1252.decode,
      incrementalencoder=cp1252.incrementalencoder,
      incrementaldecoder=cp1252.incrementaldecoder,
      streamreader=cp1252.streamreader,
      streamwriter=cp1252.streamwriter)


def _HasCodec(name):
  try:
    codecs.lookup(name)
  except LookupError:
    return False
  return True


def _InstallMissingWindowsFacilities():
  if sys.platform == "win32":
    return
  if not hasattr(_builtins, "WindowsError"):
    _builtins.WindowsError = WindowsError
  if not _HasCodec("mbcs"):
    codecs.register(_FindMbcsCodec)


_InstallMissingWindowsFacilities()
