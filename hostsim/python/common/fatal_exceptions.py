"""Which exceptions must end the application rather than be handled."""


class FatalError(Exception):
  """An error after which the application must not carry on."""


_FATAL_TYPES = (MemoryError, SystemExit, KeyboardInterrupt, FatalError)


def IsFatal(exception):
  """Whether `exception` (an exception value) must end the application."""
  return isinstance(exception, _FATAL_TYPES)
