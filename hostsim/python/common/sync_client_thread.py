"""The base class of the application's worker threads."""

import logging
import threading

LOGGER = logging.getLogger("sync_client_thread")


class SyncClientThread(threading.Thread):
  """A named worker thread that runs `Run` and can be asked to stop.

  Subclasses provide `Run`, which should return soon after `ShouldStop()`
  becomes true. `Stop` may be called from any thread, before or during the
  run; once called, every later `ShouldStop()` is true. `Pause` and
  `Resume` record a request that `IsPaused` reports; what a pause means is
  the subclass's business.
  """

  def __init__(self, name, *args, **kwargs):
    daemon = kwargs.pop("daemon", None)
    threading.Thread.__init__(self, name=name)
    if daemon is not None:
      self.daemon = daemon
    self.args = args
    self.kwargs = kwargs
    self.failure = None
    self._stop_requested = threading.Event()
    self._pause_requested = threading.Event()

  def run(self):
    """Thread body: runs `Run`; a failure is logged and kept in `failure`."""
    try:
      self.Run()
    except BaseException as error:
      self.failure = error
      LOGGER.exception("Thread %s failed.", self.name)
      raise

  def Run(self):
    raise NotImplementedError("%s does not implement Run" %
                              type(self).__name__)

  def Stop(self):
    """Records a stop request; every later ShouldStop() is true."""
    self._stop_requested.set()

  def ShouldStop(self):
    """Whether a stop has been requested."""
    return self._stop_requested.is_set()

  def Pause(self):
    """Records a pause request."""
    self._pause_requested.set()

  def Resume(self):
    """Withdraws a pause request."""
    self._pause_requested.clear()

  def IsPaused(self):
    """Whether a pause is requested and not withdrawn."""
    return self._pause_requested.is_set()
