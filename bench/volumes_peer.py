"""windows.volumes as a Python developer would write it without native
code: the same Win32 calls in the same order, made through ctypes, and the
same records. The benchmark times it beside the module, after checking that
both answer alike and make the same calls.

It runs against the Win32 test double, whose WCHAR is 16 bits wide (UTF-16)
as on Windows; text crosses as UTF-16 byte strings, since ctypes' own wide
characters are 32 bits wide on these interpreters.

On Python 3 it keeps the module's Python 3 contract: every text is `str`
(file-system names and GUID text too, which 2.7 gives as 8-bit strings),
volume identifiers are interned `str`, numbers are `int`.
"""

import ctypes
import logging
import os
import re
import sys

import simwin
from common import utils
from common import volume_entry
from common.service import service
from platforms import platform_utils
from windows import winwrap

LOGGER = logging.getLogger("windows.volumes")

PY3 = sys.version_info[0] >= 3
if PY3:
  text_type = str
  integer = int
  intern = sys.intern
  # WCHAR text may hold lone surrogates, which Python 3's UTF-16 codec
  # passes only when asked to, as 2.7's does by itself.
  UTF16_ERRORS = "surrogatepass"
  # A `\w` of Python 3 also matches non-ASCII letters.
  GUID_PATTERN_FLAGS = re.ASCII
else:
  text_type = unicode  # noqa: F821 (Python 2.7)
  integer = long  # noqa: F821 (Python 2.7)
  UTF16_ERRORS = "strict"
  GUID_PATTERN_FLAGS = 0

NAME_LENGTH = 261
INITIAL_PATH_NAMES_LENGTH = 5
ERROR_MORE_DATA = 234
ERROR_NO_MORE_FILES = 18
INVALID_HANDLE_VALUE = ctypes.c_void_p(-1).value

DRIVE_TYPE_MAP = {
    0: volume_entry.DeviceType.UNKNOWN,
    1: volume_entry.DeviceType.UNKNOWN,
    2: volume_entry.DeviceType.REMOVABLE,
    3: volume_entry.DeviceType.INTERNAL,
    4: volume_entry.DeviceType.NETWORK,
    5: volume_entry.DeviceType.REMOVABLE,
    6: volume_entry.DeviceType.RAM,
}
VOLUME_NAME_GUID_MATCHER = re.compile(r"\\\\\?\\Volume\{([\w-]+)\}\\",
                                      GUID_PATTERN_FLAGS)
FAT_FILESYSTEMS = frozenset(["fat32", "exfat"])
_IS_FAT_CACHE = {}


def _LoadKernel32():
  path = os.path.join(os.path.dirname(simwin.__file__), "..", "lib",
                      "libsimwin.so")
  kernel32 = ctypes.CDLL(os.path.normpath(path))
  dword, handle = ctypes.c_uint32, ctypes.c_void_p
  text, out = ctypes.c_char_p, ctypes.c_void_p
  signatures = {
      "FindFirstVolumeW": (handle, [out, dword]),
      "FindNextVolumeW": (ctypes.c_int, [handle, out, dword]),
      "FindVolumeClose": (ctypes.c_int, [handle]),
      "GetVolumePathNamesForVolumeNameW":
          (ctypes.c_int, [text, out, dword, ctypes.POINTER(dword)]),
      "GetVolumeInformationW":
          (ctypes.c_int, [text, out, dword, ctypes.POINTER(dword),
                          ctypes.POINTER(dword), ctypes.POINTER(dword), out,
                          dword]),
      "GetVolumeInformationByHandleW":
          (ctypes.c_int, [handle, out, dword, ctypes.POINTER(dword),
                          ctypes.POINTER(dword), ctypes.POINTER(dword), out,
                          dword]),
      "GetDriveTypeW": (ctypes.c_uint, [text]),
      "GetDiskFreeSpaceExW":
          (ctypes.c_int, [text, ctypes.c_void_p,
                          ctypes.POINTER(ctypes.c_uint64), ctypes.c_void_p]),
      "GetLastError": (dword, []),
  }
  for name, (restype, argtypes) in signatures.items():
    function = getattr(kernel32, name)
    function.restype = restype
    function.argtypes = argtypes
  return kernel32


kernel32 = _LoadKernel32()


def _Wide(text):
  """A unicode string as the NUL-terminated UTF-16 a W function reads."""
  return text.encode("utf-16-le", UTF16_ERRORS) + b"\0\0"


def _Text(buffer, length=None):
  """The UTF-16 text of a buffer up to its first NUL."""
  raw = buffer.raw if length is None else buffer.raw[:2 * length]
  return raw.decode("utf-16-le", UTF16_ERRORS).split(u"\0", 1)[0]


def _WideBuffer(length):
  return ctypes.create_string_buffer(2 * length)


def _ListVolumeNames():
  """Returns a list of UNC volume names."""
  name = _WideBuffer(NAME_LENGTH)
  search = kernel32.FindFirstVolumeW(name, NAME_LENGTH)
  if search == INVALID_HANDLE_VALUE or search is None:
    winwrap.RaiseWindowsError()
  try:
    names = [_Text(name)]
    while True:
      if not kernel32.FindNextVolumeW(search, name, NAME_LENGTH):
        error = kernel32.GetLastError()
        if error == ERROR_NO_MORE_FILES:
          break
        winwrap.RaiseWindowsError(error)
      next_name = _Text(name)
      if next_name == names[-1]:
        LOGGER.error("FindNextVolume improperly returned same value %s",
                     next_name)
        break
      names.append(next_name)
  finally:
    kernel32.FindVolumeClose(search)
  return names


def _VolumeInformation(query, target):
  label = _WideBuffer(NAME_LENGTH)
  filesystem = _WideBuffer(NAME_LENGTH)
  serial = ctypes.c_uint32(0)
  component_length = ctypes.c_uint32(0)
  flags = ctypes.c_uint32(0)
  if not query(target, label, NAME_LENGTH, ctypes.byref(serial),
               ctypes.byref(component_length), ctypes.byref(flags),
               filesystem, NAME_LENGTH):
    winwrap.RaiseWindowsError()
  filesystem_name = _Text(filesystem)
  if not PY3:  # an 8-bit str on 2.7
    filesystem_name = filesystem_name.encode("mbcs")
  return (_Text(label), integer(serial.value), integer(component_length.value),
          integer(flags.value), filesystem_name)


def GetVolumeInformationByHandle(handle):
  """Retrieves volume information as per the win32 call of the same name."""
  return _VolumeInformation(kernel32.GetVolumeInformationByHandleW,
                            int(handle))


def GetVolumeInformation(path):
  """Retrieves volume information as per the win32 call of the same name."""
  if path is None:
    raise TypeError("Expected unicode, got None")
  if not path.endswith(u"\\"):
    path += u"\\"
  return _VolumeInformation(kernel32.GetVolumeInformationW, _Wide(path))


def _GetVolumePathNamesForVolumeName(guid_path):
  """Retrieves volume paths as per the win32 call of the same name."""
  name = _Wide(text_type(guid_path))
  capacity = INITIAL_PATH_NAMES_LENGTH
  reported = ctypes.c_uint32(0)
  buffer = _WideBuffer(capacity)
  while True:
    succeeded = kernel32.GetVolumePathNamesForVolumeNameW(
        name, buffer, capacity, ctypes.byref(reported))
    error = 0 if succeeded else kernel32.GetLastError()
    if reported.value < 2:
      if succeeded:
        return []
      winwrap.RaiseWindowsError(error)
    if succeeded:
      break
    if error == ERROR_MORE_DATA and reported.value > capacity:
      LOGGER.debug("%s isn't big enough, allocating %s bytes.", capacity * 2,
                   reported.value * 2)
      capacity = reported.value
      buffer = _WideBuffer(capacity)
      continue
    LOGGER.error("Could not write path names into %s-byte buffer.",
                 capacity * 2)
    winwrap.RaiseWindowsError(error)
  text = buffer.raw[:2 * min(reported.value, capacity)].decode(
      "utf-16-le", UTF16_ERRORS)
  return [path for path in text.split(u"\0") if path]


def _VolumeIDFromSerialNumber(serial_number):
  return intern("serial:%s" % serial_number)


def FindVolumeID(stat_result):
  """Get the volume ID from the VolumeInfo service."""
  return _VolumeIDFromSerialNumber(stat_result.st_dev)


def IsFAT(serial_number, handle):
  """Returns True if the filesystem is of the FAT family."""
  volume_id = _VolumeIDFromSerialNumber(serial_number)
  is_fat = _IS_FAT_CACHE.get(volume_id, None)
  if is_fat is not None:
    return is_fat
  try:
    _, _, _, _, filesystem = GetVolumeInformationByHandle(handle.handle)
  except WindowsError:
    LOGGER.exception("WindowsError")
    return False
  is_fat = filesystem.lower() in FAT_FILESYSTEMS
  _IS_FAT_CACHE[volume_id] = is_fat
  return is_fat


class VolumeInfo(object):
  """Volume information cache service."""

  def __init__(self):
    self._volume_ids = {}
    self._volume_entries = {}
    self._lock = platform_utils.Lock()

  def FindVolumeID(self, stat_result):
    """Get the volume ID from the VolumeInfo service."""
    return FindVolumeID(stat_result)

  def AllVolumeEntries(self, force_update=False):
    """Returns the volume entry dictionary."""
    if not self._volume_entries or force_update:
      self._PopulateVolumeTable(self._volume_ids)
    return self._volume_entries.copy()

  def GetVolumeEntryForVolumeID(self, volume_id):
    return self._volume_entries.get(volume_id)

  def GetVolumeEntryForDeviceNumber(self, st_dev):
    volume_id = self._FindVolumeIDForDeviceNumber(st_dev)
    return self.GetVolumeEntryForVolumeID(volume_id)

  def _FindVolumeIDForDeviceNumber(self, st_dev):
    return _VolumeIDFromSerialNumber(st_dev)

  def _PopulateVolumeTable(self, current_volume_ids):
    with self._lock:
      if self._volume_ids is not current_volume_ids:
        return self._volume_ids
      LOGGER.info("Refreshing volume information table.")
      start_time = utils.GetMonotonicTime()
      new_volume_ids = {}
      new_volume_entries = {}
      for volume_name in _ListVolumeNames():
        try:
          mount_points = _GetVolumePathNamesForVolumeName(volume_name)
        except Exception:
          LOGGER.exception("Could not determine mount point for %s",
                           volume_name)
          continue
        if not mount_points:
          LOGGER.debug("Volume %s has no mount point. Skipping.", volume_name)
          continue
        if len(mount_points) > 1:
          mount_points.sort(key=len)
          LOGGER.debug("Got multiple mounts for %s: %s", volume_name,
                       mount_points)
        mount_point = mount_points[0]
        try:
          label, serial_number, _, _, filesystem = GetVolumeInformation(
              volume_name)
        except Exception:
          LOGGER.exception("Unable to fetch volume info for %r, skipping.",
                           mount_point)
          continue
        wide_name = _Wide(volume_name)
        device_type = DRIVE_TYPE_MAP.get(kernel32.GetDriveTypeW(wide_name),
                                         volume_entry.DeviceType.UNKNOWN)
        capacity_bytes = ctypes.c_uint64(0)
        if not kernel32.GetDiskFreeSpaceExW(
            wide_name, None, ctypes.byref(capacity_bytes), None):
          LOGGER.debug("Could not determine volume capacity for %r",
                       mount_point)
        volume_uuid = None
        match = VOLUME_NAME_GUID_MATCHER.match(volume_name)
        if match:
          volume_uuid = match.group(1)
          if not PY3:  # an 8-bit str on 2.7
            volume_uuid = volume_uuid.encode("ascii")
        entry = volume_entry.VolumeEntry(
            volume=_VolumeIDFromSerialNumber(serial_number),
            mountpoint=mount_point,
            device_file=volume_name,
            device_number=serial_number,
            uuid=volume_uuid,
            model=None,
            device_type=device_type,
            label=label,
            filesystem=filesystem.lower(),
            size=capacity_bytes.value)
        new_volume_entries[entry.volume] = entry
      self._volume_ids = new_volume_ids
      self._volume_entries = new_volume_entries
      LOGGER.info("Got new volume entries: %r", new_volume_entries)
      end_time = utils.GetMonotonicTime()
      LOGGER.info("Volume information refresh complete in %gs.",
                  end_time - start_time)
      _IS_FAT_CACHE.clear()
      return new_volume_ids


VolumeInfo = service.Singleton(VolumeInfo)
