"""What differs between Python 2.7 and Python 3 for the tests, in one place.

The modules' contract: Python 2.7's 8-bit `str` and `unicode` are both
`str` on Python 3, `int` and `long` are `int`; the texts the modules own
are the same, the interpreter's own texts are its own.
"""

import sys

PY3 = sys.version_info[0] >= 3
VERSION = "%d.%d" % sys.version_info[:2]

if PY3:
  import builtins
  import queue
  text_type = str        # Python 2.7's unicode
  integer_types = (int,)
  long_type = int        # Python 2.7's long
  string_types = (str,)
  unicode_type_name = "str"
  bytes_str_type_name = "bytes"
else:
  import __builtin__ as builtins  # noqa: F401 (re-exported)
  import Queue as queue  # noqa: F401 (re-exported)
  text_type = unicode  # noqa: F821 (Python 2.7)
  integer_types = (int, long)  # noqa: F821 (Python 2.7)
  long_type = long  # noqa: F821 (Python 2.7)
  string_types = (str, unicode)  # noqa: F821 (Python 2.7)
  unicode_type_name = "unicode"
  bytes_str_type_name = "str"

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
