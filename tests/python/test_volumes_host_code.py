"""windows.volumes against host code that runs inside the interpreter's own
calls: a key's __eq__, a __del__, a built-in borrowed from another type, a
pattern compiled by the host. Each case runs in a child interpreter and
must end as the same code written in Python would."""

import textwrap
import unittest

import pyversion
import testsupport

PRELUDE = r"""
from __future__ import print_function
import gc, re, sys
import simwin
from common import volume_entry
%(before_load)s
from windows import volumes
simwin.reset()
for number in (1, 2, 3):
  simwin.add_volume(
      u"\\\\?\\Volume{0000000%d-0000-4000-8000-00000000000%d}\\"
      % (number, number), [u"%s:\\" % "EFG"[number - 1]], serial=number)
service = volumes.VolumeInfo.__wrapped__()

armed = []

def colliding_key(name, on_eq):
  # A key the instance dict compares with `name` before finding `name`;
  # `on_eq` runs once the case is set up.
  class Key(object):
    def __hash__(self):
      return hash(name)
    def __eq__(self, other):
      if armed:
        on_eq()
      return False
  return Key()

def put_before(namespace, name, key):
  value = namespace.pop(name)
  namespace[key] = 0
  namespace[name] = value

def outcome(call):
  try:
    return call()
  except Exception as error:
    return type(error).__name__
"""

# name, body (prints the outcome), the outcome printed; code to run before
# the module loads may open the body, up to a line "# loaded".
CASES = [
    ("a key that deletes the logger's method from its class mid-lookup: "
     "the method found is called once, then it is gone", r"""
     said, kept = [], []
     class Logger(object):
       def info(self, message, *args):
         said.append(message)
       def debug(self, *args): pass
     def Delete():
       if "info" in Logger.__dict__:
         del Logger.info
         # A new function may take the old one's memory.
         kept.extend([lambda self, message, *args: said.append("unrelated")
                      for _ in range(4000)])
     logger = Logger()
     logger.__dict__[colliding_key("info", Delete)] = 0
     volumes.LOGGER = logger
     armed.append(1)
     print(outcome(service.AllVolumeEntries), said)
     """, "AttributeError ['Refreshing volume information table.']"),
    ("a key that replaces the service's __dict__ mid-read: the copy is of "
     "the table read after", r"""
     service.AllVolumeEntries()
     def Replace():
       if "replaced" not in service.__dict__:
         service.__dict__ = {"replaced": 1, "_volume_entries": {"serial:9": 9}}
     put_before(service.__dict__, "_volume_entries",
                colliding_key("_volume_entries", Replace))
     armed.append(1)
     entries = service.AllVolumeEntries()
     print(sorted(entries), {} is not {})
     """, "['serial:9'] True"),
    ("a key comparison that fails once: the attribute is missing, as the "
     "interpreter's own lookup reports it", r"""
     service.AllVolumeEntries()
     failed = []
     def FailOnce():
       if not failed:
         failed.append(1)
         raise ValueError("compared")
     put_before(service.__dict__, "_volume_entries",
                colliding_key("_volume_entries", FailOnce))
     armed.append(1)
     print(outcome(lambda: service.GetVolumeEntryForVolumeID("serial:1")))
     """, pyversion.FAILED_KEY_COMPARISON_IN_LOOKUP),
    ("a lock whose __exit__ is another type's built-in: refused before "
     "entering, nothing refreshed", r"""
     entered = []
     class Lock(object):
       def __enter__(self):
         entered.append(1)
       __exit__ = list.append
     service._lock = Lock()
     print(outcome(lambda: service.AllVolumeEntries()), entered,
           service._volume_entries)
     """, "TypeError [] {}"),
    ("a value's __del__ that empties every record keyword dict it finds: "
     "each record still gets its ten keywords", r"""
     class Planted(object):
       def __del__(self):
         for holder in gc.get_objects():
           if type(holder) is dict and "device_type" in holder and (
               "mountpoint" in holder):
             holder.clear()
     class Map(dict):
       def get(self, key, default=None):
         return Planted()
     seen = []
     class Entries(object):
       DeviceType = volume_entry.DeviceType
       class VolumeEntry(object):
         def __init__(self, **fields):
           seen.append(len(fields))
           self.volume = fields["volume"]
     volumes.DRIVE_TYPE_MAP = Map()
     volumes.volume_entry = Entries
     service.AllVolumeEntries()
     print(seen)
     """, "[10, 10, 10]"),
    ("a pattern the host's re.compile gives the module at load, with the "
     "module's text but another program: its own match gives the GUID "
     "text", r"""
     import re, pyversion
     real_compile = re.compile
     def compile_other(pattern, flags=0):
       if "Volume" not in pattern:  # logging compiles its own on Python 3
         return real_compile(pattern, flags)
       return pyversion.compile_other_program(pattern, r"\\\\\?\\(Volume)")
     re.compile = compile_other
     # loaded
     print(service.AllVolumeEntries()["serial:1"].uuid)
     """, "Volume"),
    ("no record keyword dict outlives the refresh", r"""
     service.AllVolumeEntries()
     fields = set(volume_entry.VolumeEntry.FIELDS)
     print([holder for holder in gc.get_objects()
            if type(holder) is dict and set(holder) == fields and
            list(holder.values()) == [None] * len(fields)])
     """, "[]"),
]


class HostCodeTest(unittest.TestCase):

  maxDiff = None

  def test_cases(self):
    mismatches = []
    for name, body, expected in CASES:
      before_load, _, body = textwrap.dedent(body).rpartition("# loaded\n")
      code, out, err = testsupport.run_snippet(
          PRELUDE.replace("%(before_load)s", before_load) + body)
      if (code, out.strip()) != (0, expected):
        mismatches.append((name, code, out.strip(), err[-300:]))
    self.assertEqual(mismatches, [])


if __name__ == "__main__":
  unittest.main()
