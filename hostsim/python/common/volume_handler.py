"""Events announcing that a drive was mounted or unmounted."""


class _VolumeEvent(object):
  """A drive event; `path` is the drive path, such as "E:\\"."""

  def __init__(self, path):
    self.path = path

  def __eq__(self, other):
    if type(other) is not type(self):
      return NotImplemented
    return self.path == other.path

  def __ne__(self, other):
    equal = self.__eq__(other)
    if equal is NotImplemented:
      return equal
    return not equal

  def __hash__(self):
    return hash((type(self).__name__, self.path))

  def __repr__(self):
    return "%s(%r)" % (type(self).__name__, self.path)


class MountEvent(_VolumeEvent):
  """A drive arrived at `path`."""


class UnmountEvent(_VolumeEvent):
  """The drive at `path` went away."""
