"""windows.plugwatch: what loading the module does and what it publishes.

An extension module cannot be initialised twice in one Python 2.7 process,
so the load sequence is exercised in fresh interpreters.
"""

import pyversion
from pyversion import builtins
import ast
import logging
import subprocess
import sys
import types
import unittest

import common.fatal_exceptions
import common.sync_client_thread
import common.volume_handler
import testsupport
from windows import plugwatch

# Runs in a fresh interpreter after `setup`: imports the module and prints
# what happened as a literal.
IMPORT_AND_REPORT = """
import sys, traceback
outcome = {}
try:
  import windows.plugwatch
except BaseException as error:
  outcome["error"] = (type(error).__name__, str(error))
  last = traceback.extract_tb(sys.exc_info()[2])[-1]
  outcome["last_entry"] = (last[0], last[2])
  partial = sys.modules.get("windows.plugwatch")
  outcome["has_monitor"] = hasattr(partial, "DeviceMonitor")
print(repr(outcome))
"""


def ImportInFreshInterpreter(setup):
  returncode, out, err = testsupport.run_snippet(setup + IMPORT_AND_REPORT)
  assert returncode == 0, err
  return ast.literal_eval(out.strip().splitlines()[-1])


class NamespaceTest(unittest.TestCase):

  def test_module_namespace(self):
    public = set(name for name in vars(plugwatch)
                 if not (name.startswith("__") and name.endswith("__")))
    self.assertEqual(set(["logging", "sys", "fatal_exceptions",
                          "sync_client_thread", "volume_handler", "LOGGER",
                          "DeviceMonitorState", "DeviceMonitor",
                          "_RegisterDeviceMonitorWindowClass"]), public)
    self.assertIsNone(plugwatch.__doc__)
    self.assertIs(builtins, plugwatch.__builtins__)
    self.assertIs(logging, plugwatch.logging)
    self.assertIs(sys, plugwatch.sys)
    self.assertIs(common.fatal_exceptions, plugwatch.fatal_exceptions)
    self.assertIs(common.sync_client_thread, plugwatch.sync_client_thread)
    self.assertIs(common.volume_handler, plugwatch.volume_handler)
    self.assertIs(logging.getLogger("plugwatch"), plugwatch.LOGGER)

  def test_device_monitor_class(self):
    monitor_class = plugwatch.DeviceMonitor
    base = common.sync_client_thread.SyncClientThread
    self.assertEqual((base,), monitor_class.__bases__)
    self.assertIs(type(base), type(monitor_class))
    self.assertEqual("windows.plugwatch", monitor_class.__module__)
    self.assertEqual("DeviceMonitor", monitor_class.__qualname__)
    self.assertEqual("Runs the event loop necessary to receive device "
                     "events.", monitor_class.__doc__.splitlines()[0])
    monitor = monitor_class(handler=None)
    for name in ("__init__", "Arrived", "Removed", "Run", "Pause", "Resume",
                 "Stop"):
      # Bound to an instance as a method written in Python is.
      method = getattr(monitor, name)
      self.assertIsInstance(method, types.MethodType)
      self.assertIsNone(method.__doc__, name)

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "Python 3 has no unbound methods")
  def test_unbound_methods_check_their_instance(self):
    for name in ("__init__", "Arrived", "Removed", "Run", "Pause", "Resume",
                 "Stop"):
      # Unbound, it checks its first argument as a Python method does.
      self.assertRaises(TypeError, getattr(plugwatch.DeviceMonitor, name),
                        object())

  def test_base_is_reached_through_the_module_attribute(self):
    saved = plugwatch.sync_client_thread
    stopped = []

    class Base(object):
      @staticmethod
      def Stop(monitor):
        stopped.append(monitor)

    class Module(object):
      SyncClientThread = Base
    monitor = plugwatch.DeviceMonitor(handler=None)
    plugwatch.sync_client_thread = Module()
    try:
      monitor.Stop()
    finally:
      plugwatch.sync_client_thread = saved
    self.assertEqual([monitor], stopped)
    self.assertFalse(monitor.ShouldStop())  # the real base was not reached
    self.assertEqual((saved.SyncClientThread,),
                     plugwatch.DeviceMonitor.__bases__)

  def test_only_the_initialisation_entry_is_exported(self):
    try:
      out = subprocess.check_output(["nm", "-D", "--defined-only",
                                     plugwatch.__file__])
    except OSError:
      self.skipTest("nm is not installed")
    symbols = [line.split()[-1] for line in out.decode("ascii").splitlines()
               if line.strip()]
    self.assertEqual([pyversion.MODULE_INIT_PREFIX + "plugwatch"], symbols)


# A windows.winwrap whose C entry points are %s.
FAKE_WINWRAP = ("import sys, types, windows, testsupport\n"
                "fake = types.ModuleType('windows.winwrap')\n"
                "fake.__pyx_capi__ = %s\n"
                "sys.modules['windows.winwrap'] = windows.winwrap = fake\n")


class LoadTest(unittest.TestCase):

  def test_loading_creates_no_window_and_registers_no_class(self):
    outcome = ImportInFreshInterpreter(
        "import simwin\nsimwin.reset()\n")
    self.assertEqual({}, outcome)
    returncode, out, err = testsupport.run_snippet(
        "import simwin\nsimwin.reset()\nimport windows.plugwatch\n"
        "from test_plugwatch_state import InModuleCode, ModuleMappings\n"
        "calls = simwin.calls()\n"
        "mappings = ModuleMappings()\n"
        "print(repr((simwin.windows(), simwin.classes(), "
        "[(call[0], call[1], mappings is None or InModuleCode(call[2], "
        "mappings)) for call in calls])))\n")
    self.assertEqual(0, returncode, err)
    # The module's instance, named by an address in its own code.
    self.assertEqual(([], [], [("GetModuleHandleExW", 6, True)]),
                     ast.literal_eval(out.strip()))

  def test_missing_host_module_fails_the_load(self):
    outcome = ImportInFreshInterpreter(
        "import sys, common\n"
        "sys.modules['common.volume_handler'] = None\n")
    self.assertEqual(pyversion.blocked_import_error("common", "volume_handler"),
                     outcome["error"])
    self.assertEqual(("windows\\plugwatch", "init windows.plugwatch"),
                     outcome["last_entry"])
    self.assertFalse(outcome["has_monitor"])

  def test_winwrap_without_the_entry_fails_the_load(self):
    fake_winwrap = FAKE_WINWRAP
    outcome = ImportInFreshInterpreter(fake_winwrap % "{}")
    self.assertEqual(("ImportError", "windows.winwrap does not export "
                      "expected C function RaiseWindowsError"),
                     outcome["error"])
    outcome = ImportInFreshInterpreter(fake_winwrap % (
        "{'RaiseWindowsError': testsupport.make_capsule('PyObject *(int)')}"))
    self.assertEqual("TypeError", outcome["error"][0])
    self.assertTrue(outcome["error"][1].startswith(
        "C function windows.winwrap.RaiseWindowsError has wrong signature "
        "(expected PyObject *(int __pyx_skip_dispatch"), outcome["error"])
    self.assertTrue(outcome["error"][1].endswith(", got PyObject *(int))"))

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "Python 3 drops a module whose load failed")
  def test_partly_loaded_module_fails_cleanly(self):
    fake_winwrap = FAKE_WINWRAP
    # Python 2.7 keeps the partly built module importable; what it already
    # publishes fails cleanly.
    returncode, out, err = testsupport.run_snippet(
        fake_winwrap % "{}" +
        "try:\n  import windows.plugwatch\nexcept ImportError:\n  pass\n"
        "from windows import plugwatch\n"
        "try:\n  plugwatch.DeviceMonitorState().Configure(len, len, len)\n"
        "except NameError as error:\n  print(error)\n")
    self.assertEqual((0, "name '_RegisterDeviceMonitorWindowClass' is not "
                      "defined"), (returncode, out.strip()), err)
    # Past the registration, a Win32 failure has no RaiseWindowsError to
    # report it with: it raises all the same.
    returncode, out, err = testsupport.run_snippet(
        fake_winwrap % "{}" +
        "try:\n  import windows.plugwatch\nexcept ImportError:\n  pass\n"
        "from windows import plugwatch\n"
        "plugwatch._RegisterDeviceMonitorWindowClass = lambda: None\n"
        "try:\n  plugwatch.DeviceMonitorState().Configure(len, len, len)\n"
        "except SystemError as error:\n  print(error)\n")
    self.assertEqual((0, "windows.plugwatch did not finish loading: "
                      "RaiseWindowsError is not bound"),
                     (returncode, out.strip()), err)

  def test_version_mismatch_warns_and_loads_unless_filtered(self):
    testsupport.check_version_mismatch(self, "windows.plugwatch")

  def test_winwrap_entry_that_returns_instead_of_raising(self):
    returncode, out, err = testsupport.run_snippet(
        testsupport.RECORDING_WINWRAP +
        "import simwin\nsimwin.reset()\n"
        "from windows import plugwatch\n"
        "outcomes = []\n"
        "for function, call in (\n"
        "    ('RegisterClassExW', plugwatch._RegisterDeviceMonitorWindowClass),\n"
        "    ('CreateWindowExW', lambda: plugwatch.DeviceMonitorState()"
        ".Configure(len, len, len))):\n"
        "  simwin.fail(function, 8)\n"
        "  del raised_with[:]\n"
        "  try:\n"
        "    call()\n"
        "  except SystemError as error:\n"
        "    outcomes.append((str(error), raised_with[:]))\n"
        "print(repr(outcomes))\n")
    self.assertEqual(0, returncode, err)
    returned = "windows.winwrap.RaiseWindowsError returned without raising"
    self.assertEqual(
        [(returned, [(0, 2, 8, "Error registering device monitor class")]),
         (returned, [(0,)])], ast.literal_eval(out.strip()))

  def test_missing_builtin_fails_the_load(self):
    outcome = ImportInFreshInterpreter("from pyversion import builtins\n"
                                       "del builtins.chr\n")
    self.assertEqual(("NameError", "name 'chr' is not defined"),
                     outcome["error"])
    self.assertEqual(("windows\\plugwatch", "init windows.plugwatch"),
                     outcome["last_entry"])

  def test_missing_instance_handle_does_not_fail_the_load(self):
    # Whether the load's lookup alone fails or every one does, the class
    # and its windows carry the same, null, instance.
    for count in (1, -1):
      returncode, out, err = testsupport.run_snippet(
          "import simwin\nsimwin.reset()\n"
          "simwin.fail('GetModuleHandleExW', 126, count=%d)\n"
          "from windows import plugwatch\n"
          "state = plugwatch.DeviceMonitorState()\n"
          "state.Configure(len, len, len)\n"
          "instances = dict((call[0], call[1:]) for call in simwin.calls())\n"
          "print(repr((len(simwin.windows()), "
          "instances['RegisterClassExW'][6], "
          "instances['CreateWindowExW'][4])))\n" % count)
      self.assertEqual((0, (1, 0, 0)),
                       (returncode, ast.literal_eval(out.strip() or "None")),
                       err)


if __name__ == "__main__":
  unittest.main()
