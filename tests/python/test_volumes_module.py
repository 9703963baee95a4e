"""windows.volumes as a module: its namespace, and its load sequence.

An extension module initialises once per process, so every load is tried
in a fresh interpreter (testsupport.run_snippet, with a bound).
"""

import ast
import logging
import re
import subprocess
import textwrap
import unittest

import common.service
import common.utils
import common.volume_entry
import platforms.platform_utils
import pyversion
import testsupport
from windows import volumes

SNIPPET_TIMEOUT = 60.0
FAKE_WINWRAP = """
import types
fake = types.ModuleType("windows.winwrap")
fake.__pyx_capi__ = %s
sys.modules["windows.winwrap"] = fake
"""
CREATION_FUNCTIONS = ["GetVolumeInformation", "GetVolumeInformationByHandle",
                      "_GetVolumePathNamesForVolumeName"]
IMPORTED = ["logging", "platform_utils", "re", "service", "utils",
            "volume_entry"]


def host_signature():
  """The signature text windows.winwrap gives its RaiseWindowsError."""
  import windows.winwrap
  return testsupport.capsule_name(
      windows.winwrap.__pyx_capi__["RaiseWindowsError"])


class NamespaceTest(unittest.TestCase):

  def test_published_names(self):
    published = set(name for name in vars(volumes)
                    if not name.startswith("__"))
    self.assertEqual(published, set(CREATION_FUNCTIONS + IMPORTED + [
        "LOGGER", "DRIVE_TYPE_MAP", "VOLUME_NAME_GUID_MATCHER",
        "_ListVolumeNames", "FindVolumeID", "_VolumeIDFromSerialNumber",
        "IsFAT", "VolumeInfo"]))
    self.assertEqual((volumes.__name__, volumes.__doc__),
                     ("windows.volumes", "Volume information cache service."))
    self.assertEqual(
        [volumes.logging, volumes.re, volumes.utils, volumes.volume_entry,
         volumes.service, volumes.platform_utils],
        [logging, re, common.utils, common.volume_entry,
         common.service.service, platforms.platform_utils])
    self.assertIs(volumes.LOGGER, logging.getLogger("windows.volumes"))

  def test_functions(self):
    query_line = ("Retrieves volume information as per the win32 call of the "
                  "same name.")
    first_lines = {
        "GetVolumeInformation": query_line,
        "GetVolumeInformationByHandle": query_line,
        "_GetVolumePathNamesForVolumeName":
            "Retrieves volume paths as per the win32 call of the same name.",
        "_ListVolumeNames": "Returns a list of UNC volume names.",
        "FindVolumeID": "Get the volume ID from the VolumeInfo service.",
        "IsFAT": "Returns True if the filesystem is of the FAT family.",
        "_VolumeIDFromSerialNumber": None,
    }
    for name, first_line in first_lines.items():
      function = getattr(volumes, name)
      self.assertEqual(function.__module__, "windows.volumes", name)
      if first_line is None:
        self.assertIsNone(function.__doc__)
      else:
        self.assertEqual(function.__doc__.splitlines()[0], first_line)

  @unittest.skipUnless(pyversion.which("nm"), "needs nm")
  def test_exports_only_the_initialisation_entry(self):
    listing = subprocess.Popen(
        ["nm", "-D", "--defined-only", volumes.__file__],
        stdout=subprocess.PIPE).communicate()[0].decode("ascii")
    self.assertEqual([line.split()[-1] for line in listing.splitlines()],
                     [pyversion.MODULE_INIT_PREFIX + "volumes"])


def _indented(text, prefix):
  return "".join(prefix + line + "\n"
                 for line in textwrap.dedent(text).strip("\n").splitlines())


def run_load(body, setup="", after=""):
  """Runs `setup`, then `import windows.volumes`, then `body` if the import
  succeeded, then `after` in any case, in a fresh interpreter. Returns the
  dict `result` that these fill, with `error` (type name, text) of a failed
  import and `init_entry` (whether its traceback names the module
  initialisation)."""
  code = ("import sys, traceback\n"
          "import windows\n"
          "result = {}\n" +
          _indented(setup, "") +
          "try:\n"
          "  import windows.volumes\n"
          "except Exception as error:\n"
          "  result['error'] = (type(error).__name__, str(error))\n"
          "  result['init_entry'] = (\n"
          "      'init windows.volumes' in traceback.format_exc())\n"
          "else:\n" +
          _indented(body, "  ") +
          _indented(after, "") +
          "sys.stdout.write(repr(result))\n")
  returncode, out, err = testsupport.run_snippet(code, SNIPPET_TIMEOUT)
  if returncode != 0:
    raise AssertionError("snippet failed (%s):\n%s" % (returncode, err))
  return ast.literal_eval(out)


class LoadSequenceTest(unittest.TestCase):

  def test_namespace_bound_in_order(self):
    result = run_load("pass", setup="""
        from pyversion import builtins; import logging, re
        import common.utils, common.volume_entry, common.service.service
        import platforms.platform_utils

        # The namespace of the module being loaded, as its first import
        # shows it (Python 3 lists the module only once it is loaded).
        loading = {}
        def names():
          return sorted(name for name in loading["namespace"]
                        if not name.startswith("__"))

        real_import = builtins.__import__
        def tracing_import(name, globals=None, locals=None, fromlist=None,
                           level=-1):
          if globals is not None and (
              globals.get("__name__") == "windows.volumes"):
            loading["namespace"] = globals
            result.setdefault("imports", []).append(
                (name, locals, fromlist, level))
          return real_import(name, globals, locals, fromlist, level)
        builtins.__import__ = tracing_import

        real_get_logger = logging.getLogger
        def get_logger(name=None):
          if name == "windows.volumes":
            result["getLogger"] = names()
          return real_get_logger(name)
        logging.getLogger = get_logger

        real_compile = re.compile
        def compile(pattern, flags=0):
          if "Volume" in pattern:
            result["compile"] = (names(), pattern, int(flags))
          return real_compile(pattern, flags)
        re.compile = compile

        real_singleton = common.service.service.Singleton
        def singleton(*args):
          result["Singleton"] = (names(), len(args), args[0].__name__,
                                 sorted(vars(args[0])))
          return real_singleton(*args)
        common.service.service.Singleton = singleton
        """)
    self.assertNotIn("error", result)
    level = pyversion.IMPORT_LEVEL
    self.assertEqual(result["imports"], [
        ("logging", {}, [], level), ("re", {}, [], level),
        ("common", {}, ["utils"], level),
        ("common", {}, ["volume_entry"], level),
        ("common.service", {}, ["service"], level),
        ("platforms", {}, ["platform_utils"], level)])
    after_imports = sorted(CREATION_FUNCTIONS + IMPORTED)
    self.assertEqual(result["getLogger"], after_imports)
    names, pattern, flags = result["compile"]
    self.assertEqual(names, sorted(after_imports + ["LOGGER",
                                                    "DRIVE_TYPE_MAP"]))
    self.assertEqual((len(pattern), flags),
                     (28, pyversion.GUID_PATTERN_FLAGS))
    names, arg_count, class_name, class_names = result["Singleton"]
    self.assertEqual(names, sorted(after_imports + [
        "LOGGER", "DRIVE_TYPE_MAP", "VOLUME_NAME_GUID_MATCHER",
        "_ListVolumeNames", "FindVolumeID", "_VolumeIDFromSerialNumber",
        "IsFAT"]))
    self.assertEqual((arg_count, class_name), (1, "VolumeInfo"))
    self.assertEqual(class_names, sorted([
        "__dict__", "__doc__", "__module__", "__weakref__", "__init__",
        "FindVolumeID", "AllVolumeEntries", "GetVolumeEntryForVolumeID",
        "GetVolumeEntryForDeviceNumber", "_PopulateVolumeTable",
        "_FindVolumeIDForDeviceNumber"]))

  def test_winwrap_entry_missing_or_wrong(self):
    result = run_load("pass", setup=FAKE_WINWRAP % "{}")
    self.assertEqual(result["error"], (
        "ImportError",
        "windows.winwrap does not export expected C function "
        "RaiseWindowsError"))
    self.assertTrue(result["init_entry"])
    result = run_load("pass", setup=textwrap.dedent("""
        import ctypes, testsupport, windows.winwrap
        get_name = ctypes.pythonapi.PyCapsule_GetName
        get_name.restype = ctypes.c_char_p
        get_name.argtypes = [ctypes.py_object]
        result["expected"] = get_name(
            windows.winwrap.__pyx_capi__["RaiseWindowsError"]).decode("ascii")
        """) + FAKE_WINWRAP % """{
            "RaiseWindowsError": testsupport.make_capsule("void (int)")}""")
    self.assertEqual(result["error"], (
        "TypeError",
        "C function windows.winwrap.RaiseWindowsError has wrong signature "
        "(expected %s, got void (int))" % result["expected"]))
    self.assertTrue(result["init_entry"])
    result = run_load("pass", setup="""
        import types
        sys.modules["windows.winwrap"] = types.ModuleType("windows.winwrap")
        """)
    self.assertEqual(result["error"][0], "AttributeError")

  def test_winwrap_entry_that_returns_instead_of_raising(self):
    # Flag 0 always; the code only where it was read right after the call.
    # The failure being reported must not pass as the query's result.
    result = run_load("""
        import simwin
        from test_volumes_queries import guid_name
        simwin.reset()
        simwin.add_volume(guid_name(1), [])
        simwin.add_volume(guid_name(2), [])
        for name, fail, call in (
            ("information", None, lambda: windows.volumes.GetVolumeInformation(
                u"Q:")),
            ("path_names", "GetVolumePathNamesForVolumeNameW", lambda: (
                windows.volumes._GetVolumePathNamesForVolumeName(
                    guid_name(1)))),
            ("first_volume", "FindFirstVolumeW",
             windows.volumes._ListVolumeNames),
            ("next_volume", "FindNextVolumeW",
             windows.volumes._ListVolumeNames)):
          if fail:
            simwin.fail(fail, 21)
          del raised_with[:]
          try:
            result[name] = ("returned", repr(call()))
          except SystemError as error:
            result[name] = ("raised", str(error), raised_with[:])
        """, setup=testsupport.RECORDING_WINWRAP)
    raised = ("raised",
              "windows.winwrap.RaiseWindowsError returned without raising")
    self.assertEqual(
        [result[name] for name in ("information", "path_names",
                                   "first_volume", "next_volume")],
        [raised + ([(0,)],), raised + ([(0, 1, 21, None)],),
         raised + ([(0,)],), raised + ([(0, 1, 21, None)],)])

  @unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                   "Python 3 drops a module whose load failed")
  def test_partly_built_module_fails_cleanly(self):
    # The interpreter keeps a module whose initialisation failed in
    # sys.modules, with what was bound before the failure.
    calls = """
        import simwin
        partial = sys.modules["windows.volumes"]
        result["calls"] = []
        # The path-name query fails once its buffer has grown, and logs
        # that through a LOGGER the partial module does not have.
        simwin.reset()
        from test_volumes_queries import LONG_PATHS, guid_name
        simwin.add_volume(guid_name(1), LONG_PATHS)
        simwin.fail("GetVolumePathNamesForVolumeNameW", 21, 2)
        for call in (lambda: partial.GetVolumeInformation(u"Q:"),
                     lambda: partial.GetVolumeInformation(None),
                     lambda: partial.GetVolumeInformationByHandle(1),
                     lambda: partial._GetVolumePathNamesForVolumeName(
                         guid_name(1))):
          try:
            call()
          except Exception as error:
            result["calls"].append(type(error).__name__)
        """
    for setup in (FAKE_WINWRAP % "{}",
                  "from pyversion import builtins\ndel builtins.TypeError\n"):
      result = run_load("pass", setup=setup, after=calls)
      self.assertIn(result["error"][0], ("ImportError", "NameError"))
      self.assertEqual(result["calls"], ["SystemError", "TypeError",
                                         "SystemError", "NameError"])

  def test_host_module_failures(self):
    result = run_load("pass", setup="""
        import types, common.utils
        fake = types.ModuleType("common")
        fake.__path__ = []
        fake.utils = common.utils
        sys.modules["common"] = fake
        """)
    self.assertEqual(result["error"],
                     ("ImportError", "cannot import name volume_entry"))
    self.assertTrue(result["init_entry"])
    result = run_load("pass", setup="""
        import common.service.service
        def refusing(cls):
          raise LookupError("no singletons today")
        common.service.service.Singleton = refusing
        """)
    self.assertEqual(result["error"], ("LookupError", "no singletons today"))
    self.assertTrue(result["init_entry"])
    result = run_load("""
        result["published"] = windows.volumes.VolumeInfo
        """, setup="""
        import common.service.service
        common.service.service.Singleton = lambda cls: "what was returned"
        """)
    self.assertEqual(result["published"], "what was returned")

  def test_version_mismatch_warns_and_loads_unless_filtered(self):
    testsupport.check_version_mismatch(self, "windows.volumes")

  def test_module_body_call_failures(self):
    refusing = textwrap.dedent("""
        def refusing(real, fragment):
          def Call(*args, **kwargs):
            if fragment in repr(args):
              raise LookupError(fragment)
            return real(*args, **kwargs)
          return Call
        """)
    cases = [
        (refusing + "import logging\n"
         "logging.getLogger = refusing(logging.getLogger, 'windows')\n",
         ("LookupError", "windows")),
        (refusing + "import re\n"
         "re.compile = refusing(re.compile, 'Volume')\n",
         ("LookupError", "Volume")),
        ("import common.volume_entry\n"
         "del common.volume_entry.DeviceType\n",
         ("AttributeError", pyversion.missing_module_attribute(
             "common.volume_entry", "DeviceType"))),
        (FAKE_WINWRAP % "{'RaiseWindowsError': 42}",
         ("TypeError", "C function windows.winwrap.RaiseWindowsError has "
          "wrong signature (expected %s, got int)" %
          host_signature())),
    ]
    for setup, error in cases:
      result = run_load("pass", setup=setup)
      self.assertEqual(result["error"], error)
      self.assertTrue(result["init_entry"])

  def test_a_pattern_compiled_from_other_text_is_asked(self):
    # Genuine compiled patterns whose text is not the module's, the second
    # only past a NUL: the refresh must use their `match`, not its own.
    cases = [(r"real_compile(r'\\\\\?\\(Volume)')", "Volume"),
             (r"real_compile(pattern + '\x00|x')", None)]
    for compiled, uuid in cases:
      result = run_load(r"""
          import simwin
          simwin.reset()
          simwin.add_volume(
              u"\\\\?\\Volume{0000000a-0000-4000-8000-00000000000a}\\",
              [u"E:\\"], serial=1)
          service = windows.volumes.VolumeInfo()
          result["uuid"] = service.AllVolumeEntries(True)["serial:1"].uuid
          """, setup="""
          import re
          real_compile = re.compile
          re.compile = lambda pattern, *rest: (
              %s if "Volume" in pattern else real_compile(pattern, *rest))
          """ % compiled)
      self.assertEqual(result.get("uuid", result), uuid, compiled)

  def test_builtins_fetched_once_at_load(self):
    result = run_load("pass", setup="""
        from pyversion import builtins
        del builtins.MemoryError
        """)
    self.assertEqual(result["error"],
                     ("NameError", "name 'MemoryError' is not defined"))
    self.assertTrue(result["init_entry"])
    result = run_load("""
        builtins.TypeError = real_type_error
        try:
          windows.volumes.GetVolumeInformation(None)
        except TypeError as error:
          result["raised"] = type(error).__name__
        """, setup="""
        from pyversion import builtins
        real_type_error = TypeError
        class LoadTimeTypeError(TypeError):
          pass
        builtins.TypeError = LoadTimeTypeError
        """)
    self.assertEqual(result["raised"], "LoadTimeTypeError")

if __name__ == "__main__":
  unittest.main()
