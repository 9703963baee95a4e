"""windows.volumes: volume identifiers from serial numbers and stat results."""

import pyversion
from pyversion import builtins
import os
import unittest

from test_volumes_queries import StatResult, VolumesTestCase
from windows import volumes


class VolumeIdentifierTest(VolumesTestCase):

  def test_format_and_interning(self):
    cases = [(0, "serial:0"), (pyversion.long_type(4294967295), "serial:4294967295"),
             (-5, "serial:-5"), ("ABCD-1234", "serial:ABCD-1234"),
             ((7,), "serial:7"),
             # Integers written without the formatting operator, and the
             # types that must still go through it.
             (-2 ** 63, "serial:-9223372036854775808"), (-pyversion.long_type(5), "serial:-5"),
             (2 ** 64, "serial:18446744073709551616"), (True, "serial:True"),
             (1.5, "serial:1.5")]
    for serial, expected in cases:
      volume_id = volumes._VolumeIDFromSerialNumber(serial)
      self.assertEqual((volume_id, type(volume_id)), (expected, str))
      self.assertIs(volume_id, pyversion.intern(expected))
    self.assertIs(volumes._VolumeIDFromSerialNumber(987654321),
                  volumes._VolumeIDFromSerialNumber(pyversion.long_type(987654321)))

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "unicode and str are one type on Python 3")
  def test_unicode_serial_is_refused(self):
    for function, argument in (
        (volumes._VolumeIDFromSerialNumber, u"1234"),
        (volumes.FindVolumeID, StatResult(u"1234"))):
      with self.assertRaises(TypeError) as raised:
        function(argument)
      self.assertEqual(str(raised.exception), "Expected str, got unicode")

  def test_errors(self):
    # A tuple operand is the formatting operator's argument list.
    self.assertRaises(TypeError, volumes._VolumeIDFromSerialNumber, (1, 2))
    self.assertRaises(AttributeError, volumes.FindVolumeID, object())
    for function in (volumes._VolumeIDFromSerialNumber, volumes.FindVolumeID):
      self.assertRaises(TypeError, function)
      self.assertRaises(TypeError, function, 1, 2)
      self.assertRaises(TypeError, function, serial_number=1)

  def test_identifier_of_a_stat_result(self):
    self.assertIs(volumes.FindVolumeID(StatResult(1234)),
                  volumes._VolumeIDFromSerialNumber(1234))
    real_stat = os.stat(__file__)
    self.assertEqual(volumes.FindVolumeID(real_stat),
                     "serial:%s" % real_stat.st_dev)

  def test_identifier_function_looked_up_at_each_call(self):
    volumes._VolumeIDFromSerialNumber = lambda serial: ("rebound", serial)
    self.assertEqual(volumes.FindVolumeID(StatResult(5)), ("rebound", 5))
    del volumes._VolumeIDFromSerialNumber
    read = []

    class Watched(object):
      @property
      def st_dev(self):
        read.append(True)
        return 1

    with self.assertRaises(NameError) as raised:
      volumes.FindVolumeID(Watched())
    self.assertEqual(str(raised.exception),
                     "name '_VolumeIDFromSerialNumber' is not defined")
    self.assertEqual(read, [])
    # The built-ins come after the module namespace.
    builtins._VolumeIDFromSerialNumber = lambda serial: "builtin"
    self.addCleanup(delattr, builtins, "_VolumeIDFromSerialNumber")
    self.assertEqual(volumes.FindVolumeID(StatResult(5)), "builtin")


if __name__ == "__main__":
  unittest.main()
