"""Platform facilities the application uses everywhere."""

import threading


class Lock(object):
  """Mutual exclusion between threads, used as a context manager."""

  def __init__(self):
    self._lock = threading.Lock()

  def __enter__(self):
    self._lock.acquire()
    return self

  def __exit__(self, exc_type, exc_value, traceback):
    self._lock.release()
    return False

  def locked(self):
    """Whether some thread holds the lock now."""
    return self._lock.locked()
