"""Both modules under an address-space limit: an allocation that fails
raises MemoryError, never ends the process. Each case runs in a child
interpreter whose address space is capped just above what it uses."""

import unittest

import testsupport

CHILD_SETUP = r"""
from __future__ import print_function
import ctypes
import resource
import simwin
from windows import plugwatch, volumes

# Every large block is mapped on its own and unmapped when freed, so that
# no freed block left inside the heap can serve an allocation the limit
# should refuse (M_MMAP_THRESHOLD, fixed instead of glibc's sliding one).
ctypes.CDLL(None).mallopt(-3, 128 * 1024)
simwin.load_default_machine()


def LimitAddressSpace(headroom):
  with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
  resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom,
                                          resource.RLIM_INFINITY))


def Outcome(call, *args):
  try:
    call(*args)
  except MemoryError as error:
    return "MemoryError %s" % error
  return "returned"

"""

MB = 1 << 20


# AddressSanitizer reserves terabytes of shadow memory up front, so an
# address-space limit means nothing under it.
@unittest.skipIf(testsupport.UNDER_ASAN,
                 "an address-space limit is void under AddressSanitizer")
class MemoryExhaustionTest(unittest.TestCase):

  def RunChild(self, body):
    code, out, err = testsupport.run_snippet(CHILD_SETUP + body, timeout=120)
    self.assertEqual(0, code, err)
    return out.splitlines()

  def test_huge_names_raise_memory_error(self):
    # 40 million characters: copying the name for the system needs more
    # than the child may still take.
    lines = self.RunChild(r"""
huge = u"C" * 40000000
LimitAddressSpace(%d)
print(Outcome(volumes.GetVolumeInformation, huge))
print(Outcome(volumes._GetVolumePathNamesForVolumeName, huge))
print(Outcome(volumes.GetVolumeInformation, u"C:\\"))
""" % (32 * MB))
    self.assertEqual(["MemoryError ", "MemoryError ", "returned"], lines)

  def test_path_name_buffer_that_cannot_be_allocated(self):
    # Mount points totalling 16 million characters: the system asks for a
    # 32 MB buffer, which the child cannot have.
    lines = self.RunChild(r"""
name = u"\\\\?\\Volume{00000000-0000-0000-0000-00000000b16b}\\"
paths = [u"C:\\" + chr(0x41 + index) * 1999996 for index in range(8)]
simwin.add_volume(name, paths, serial=0xB16B)
LimitAddressSpace(%d)
print(Outcome(volumes._GetVolumePathNamesForVolumeName, name))
""" % (16 * MB))
    self.assertEqual(["MemoryError Could not allocate 32000002 bytes."], lines)


if __name__ == "__main__":
  unittest.main()
