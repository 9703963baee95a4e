"""What differs between Python 2.7 and Python 3 for the tests, in one place.

The modules' contract: Python 2.7's 8-bit `str` and `unicode` are both
`str` on Python 3, `int` and `long` are `int`; the texts the modules own
are the same, the interpreter's own texts are its own.
"""

import sys
import unittest

PY3 = sys.version_info[0] >= 3
VERSION = "%d.%d" % sys.version_info[:2]

if PY3:
  import builtins
  import queue
  from io import StringIO  # a file of native str, as sys.stderr takes
  text_type = str        # Python 2.7's unicode
  integer_types = (int,)
  long_type = int        # Python 2.7's long
  string_types = (str,)
  unicode_type_name = "str"
  bytes_str_type_name = "bytes"
  intern = sys.intern
else:
  import __builtin__ as builtins  # noqa: F401 (re-exported)
  import Queue as queue  # noqa: F401 (re-exported)
  from StringIO import StringIO  # noqa: F401 (re-exported)
  text_type = unicode  # noqa: F821 (Python 2.7)
  integer_types = (int, long)  # noqa: F821 (Python 2.7)
  long_type = long  # noqa: F821 (Python 2.7)
  string_types = (str, unicode)  # noqa: F821 (Python 2.7)
  unicode_type_name = "unicode"
  bytes_str_type_name = "str"
  intern = builtins.intern
  # The tests use Python 3's names of the assertions 2.7 spells otherwise.
  unittest.TestCase.assertRaisesRegex = unittest.TestCase.assertRaisesRegexp
  unittest.TestCase.assertRegex = unittest.TestCase.assertRegexpMatches
  unittest.TestCase.assertCountEqual = unittest.TestCase.assertItemsEqual

BUILTINS_MODULE = builtins.__name__
# The level of a module body's import statement, as the modules import.
IMPORT_LEVEL = 0 if PY3 else -1
# How UTF-16 text keeps lone surrogates, as WCHAR text may hold them: Python
# 2.7's codec passes them; Python 3's needs the handler.
UTF16_ERRORS = "surrogatepass" if PY3 else "strict"
ONLY_PY2 = "Python 2.7 only: "
ONLY_PY3 = "Python 3 only: "


def reraise(exc_info):
  """Raises the exception of a sys.exc_info() triple with its traceback."""
  if PY3:
    raise exc_info[1].with_traceback(exc_info[2])
  exec("raise exc_info[0], exc_info[1], exc_info[2]")


def drop_exit_functions():
  """Does what a host does that drops the exit functions registered so far,
  a module's own among them: replaces sys.exitfunc on 2.7, clears atexit's
  functions on 3."""
  if PY3:
    import atexit
    atexit._clear()
  else:
    sys.exitfunc = lambda: None


# The interpreter's function that makes a str from a C string.
STR_FROM_STRING = "PyUnicode_FromString" if PY3 else "PyString_FromString"


def function_of(method):
  """The function behind a method read from its class: an unbound method's
  im_func on 2.7; Python 3 has no unbound methods and gives the function."""
  return method if PY3 else method.im_func


# The logger method of a warning, as the modules call it.
LOGGER_WARNING = "warning" if PY3 else "warn"

# How often the interpreter may hand its lock to another thread, and the
# setting under which it hands it over only when a thread waits.
if PY3:
  get_switch_interval = sys.getswitchinterval
  set_switch_interval = sys.setswitchinterval
  SWITCH_ONLY_ON_WAITS = 1000.0  # seconds
else:
  get_switch_interval = sys.getcheckinterval
  set_switch_interval = sys.setcheckinterval
  SWITCH_ONLY_ON_WAITS = 1 << 30  # bytecodes


def unraisable_mark(name):
  """The line part of the interpreter's report of an exception it could not
  raise from `name` (PyErr_WriteUnraisable)."""
  return ("Exception ignored in: '%s'" if PY3 else "in '%s' ignored") % name


# What an attribute lookup raises when comparing a key of the instance
# dict raises ValueError: Python 2.7 takes it for a missing attribute,
# Python 3 lets it through.
FAILED_KEY_COMPARISON_IN_LOOKUP = "ValueError" if PY3 else "AttributeError"


def compile_other_program(pattern, other):
  """A pattern object whose text is `pattern` but whose program is that of
  the pattern `other`, built as re.compile builds one; _sre.compile takes
  other arguments on each version."""
  import _sre
  if PY3:
    from re import _compiler, _parser
    parsed = _parser.parse(other, 0)
    groups = parsed.state.groups
    return _sre.compile(pattern, 0, _compiler._code(parsed, 0), groups - 1,
                        {}, tuple([None] * groups))
  import sre_compile
  import sre_parse
  parsed = sre_parse.parse(other, 0)
  return _sre.compile(pattern, 0, sre_compile._code(parsed, 0),
                      parsed.pattern.groups - 1, {},
                      [None] * parsed.pattern.groups)


# The name of an extension module's entry point is this and the module's.
MODULE_INIT_PREFIX = "PyInit_" if PY3 else "init"


def blocked_import_error(package, name):
  """(type name, message) of `from package import name` when
  sys.modules[package.name] is None, in the interpreter's own words."""
  if PY3:
    return ("ModuleNotFoundError",
            "import of %s.%s halted; None in sys.modules" % (package, name))
  return ("ImportError", "cannot import name %s" % name)


def which(program):
  """The path of `program` on PATH, or None."""
  if PY3:
    import shutil
    return shutil.which(program)
  import distutils.spawn
  return distutils.spawn.find_executable(program)


# The flags the modules compile their GUID pattern with: re.ASCII on
# Python 3 keeps `\w` to what Python 2.7 matches.
GUID_PATTERN_FLAGS = 256 if PY3 else 0  # re.ASCII


def missing_module_attribute(module_name, name):
  """The interpreter's message for a module without attribute `name`."""
  if PY3:
    return "module '%s' has no attribute '%s'" % (module_name, name)
  return "'module' object has no attribute '%s'" % name


def native_str(text):
  """ASCII `text` as the native str: 2.7's 8-bit str, Python 3's str."""
  return text if PY3 else text.encode("ascii")
