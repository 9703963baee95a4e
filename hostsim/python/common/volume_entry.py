"""Volume records as the application keeps them."""


# A dict's keys as a set-like view, compared with a frozenset without a copy.
_KeysOf = getattr(dict, "viewkeys", dict.keys)


class _DeviceTypeMember(object):
  """One kind of storage device; compared by identity."""

  __slots__ = ("name",)

  def __init__(self, name):
    self.name = name

  def __repr__(self):
    return "DeviceType.%s" % self.name

  def __reduce__(self):
    # A member stays the same object across pickling.
    return (getattr, (DeviceType, self.name))


class DeviceType(object):
  """The kinds of device a volume can live on."""

  UNKNOWN = _DeviceTypeMember("UNKNOWN")
  REMOVABLE = _DeviceTypeMember("REMOVABLE")
  INTERNAL = _DeviceTypeMember("INTERNAL")
  NETWORK = _DeviceTypeMember("NETWORK")
  RAM = _DeviceTypeMember("RAM")

  MEMBERS = (UNKNOWN, REMOVABLE, INTERNAL, NETWORK, RAM)

  def __init__(self):
    raise TypeError("DeviceType is an enumeration; use its members")


class VolumeEntry(object):
  """A volume of the machine: where it is mounted and what it holds.

  Built with the ten fields as keyword arguments, all required:
    volume: the volume identifier that keys the volume table;
    mountpoint: the path the volume is reached by;
    device_file: the system's name of the volume;
    device_number: the number that files on the volume report as st_dev;
    uuid: the volume's GUID text, or None;
    model: the device model, or None;
    device_type: a DeviceType member;
    label: the volume label;
    filesystem: the lower-case file-system name;
    size: the capacity in bytes.
  """

  FIELDS = ("volume", "mountpoint", "device_file", "device_number", "uuid",
            "model", "device_type", "label", "filesystem", "size")

  _FIELD_NAMES = frozenset(FIELDS)

  def __init__(self, *args, **fields):
    # Records are made by the thousand on a refresh: the checks run only
    # when the arguments are not exactly the ten fields.
    if args or _KeysOf(fields) != self._FIELD_NAMES:
      self._CheckArguments(args, fields)
    self.__dict__.update(fields)

  def _CheckArguments(self, args, fields):
    if args:
      raise TypeError("VolumeEntry takes keyword arguments only (%d "
                      "positional given)" % len(args))
    unknown = sorted(set(fields) - set(self.FIELDS))
    if unknown:
      raise TypeError("VolumeEntry got unexpected keyword argument(s): %s"
                      % ", ".join(unknown))
    missing = [name for name in self.FIELDS if name not in fields]
    if missing:
      raise TypeError("VolumeEntry missing keyword argument(s): %s"
                      % ", ".join(missing))

  def _Values(self):
    return tuple(getattr(self, name) for name in self.FIELDS)

  def __eq__(self, other):
    if type(other) is not type(self):
      return NotImplemented
    return self._Values() == other._Values()

  def __ne__(self, other):
    equal = self.__eq__(other)
    if equal is NotImplemented:
      return equal
    return not equal

  def __hash__(self):
    return hash(self._Values())

  def __repr__(self):
    return "VolumeEntry(%s)" % ", ".join(
        "%s=%r" % (name, getattr(self, name)) for name in self.FIELDS)
