"""The Singleton class decorator for the application's services."""

import threading


class Singleton(object):
  """Class decorator: the decorated name becomes a factory of one instance.

  Calling the factory returns the service's one shared instance, creating it
  on the first call with the arguments of that call; later calls return it
  unchanged, whatever their arguments. Creation is thread-safe: concurrent
  first calls get the same instance. The class stays reachable as
  `__wrapped__`.
  """

  def __init__(self, cls):
    self.__wrapped__ = cls
    self.__name__ = cls.__name__
    self.__doc__ = cls.__doc__
    self.__module__ = cls.__module__
    self._lock = threading.Lock()
    self._instance = None

  def __call__(self, *args, **kwargs):
    instance = self._instance
    if instance is not None:
      return instance
    with self._lock:
      if self._instance is None:
        self._instance = self.__wrapped__(*args, **kwargs)
      return self._instance

  def _ResetInstanceForTesting(self):
    """Forgets the shared instance; the next call creates a new one."""
    with self._lock:
      self._instance = None

  def __repr__(self):
    return "<Singleton %s.%s>" % (self.__module__, self.__name__)
