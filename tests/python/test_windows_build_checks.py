"""The checks of the Windows cross-build, tried on binaries made to fail them.

tools/check-pyd and tools/python27-def judge every Windows build of the
modules; a checker that passes everything would let a broken .pyd through.
The Windows configuration header of the interpreter is checked too: the
layout and entry-point names it gives must be those of python27.dll.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

import pyversion

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TRIPLET = "x86_64-w64-mingw32"
COMPILER = TRIPLET + "-g++-posix"


def Installed(program):
  for directory in os.environ.get("PATH", "").split(os.pathsep):
    if os.access(os.path.join(directory, program), os.X_OK):
      return True
  return False


def Run(args, cwd=None):
  """(exit code, output and error text) of a command."""
  process = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
  output = process.communicate()[0]
  return process.returncode, output.decode("utf-8", "replace")


NO_TOOLCHAIN = (COMPILER + " is not installed (Debian packages "
                "g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)")


@unittest.skipUnless(Installed(COMPILER), NO_TOOLCHAIN)
class ToolTestCase(unittest.TestCase):

  def setUp(self):
    self.work = tempfile.mkdtemp(prefix="windows-build-checks-")
    self.addCleanup(shutil.rmtree, self.work)

  def Path(self, name):
    return os.path.join(self.work, name)

  def Write(self, name, text):
    with open(self.Path(name), "w") as source:
      source.write(text)
    return self.Path(name)

  def Compile(self, source_name, text, output, *flags):
    self.Write(source_name, text)
    code, log = Run([COMPILER, "-std=c++17", "-Wall", "-Wextra", "-Werror"] +
                    list(flags) + [self.Path(source_name), "-o",
                                   self.Path(output)])
    self.assertEqual(0, code, log)
    return self.Path(output)

  def Dll(self, name, text, *flags):
    return self.Compile(name + ".cpp", text, name + ".pyd", "-shared",
                        "-static", *flags)


class CheckPydTest(ToolTestCase):

  def Check(self, pyd, *module):
    return Run([os.path.join(ROOT, "tools", "check-pyd"), pyd] + list(module))

  def testModuleThatExportsOnlyItsInitFunctionPasses(self):
    pyd = self.Dll("good", """
        #include <windows.h>
        extern "C" __declspec(dllexport) void initgood() { GetLastError(); }
        """)
    code, log = self.Check(pyd)
    self.assertEqual(0, code, log)
    self.assertIn("exports initgood", log)

  def testSecondExportFails(self):
    pyd = self.Dll("extra", """
        extern "C" __declspec(dllexport) void initextra() {}
        extern "C" __declspec(dllexport) int helper() { return 1; }
        """)
    code, log = self.Check(pyd)
    self.assertEqual(1, code, log)
    self.assertIn("must export exactly initextra", log)
    self.assertIn("helper", log)

  def testInitFunctionOfAnotherNameFails(self):
    pyd = self.Dll("renamed", """
        extern "C" __declspec(dllexport) void initother() {}
        """)
    code, log = self.Check(pyd)
    self.assertEqual(1, code, log)
    self.assertIn("must export exactly initrenamed", log)

  def testModuleNameMayBeGiven(self):
    pyd = self.Dll("file_name", """
        extern "C" __declspec(dllexport) void initmodule() {}
        """)
    self.assertEqual(1, self.Check(pyd)[0])
    code, log = self.Check(pyd, "module")
    self.assertEqual(0, code, log)

  def testEveryFunctionExportedByDefaultFails(self):
    # Without any dllexport the linker exports every external function.
    pyd = self.Dll("implicit", """
        extern "C" void initimplicit() {}
        extern "C" int other() { return 2; }
        """)
    code, log = self.Check(pyd)
    self.assertEqual(1, code, log)
    self.assertIn("other", log)

  def testImportFromAnotherSystemDllFails(self):
    pyd = self.Dll("registry", """
        #include <windows.h>
        extern "C" __declspec(dllexport) void initregistry() {
          RegCloseKey(HKEY_CURRENT_USER);
        }
        """, "-ladvapi32")
    code, log = self.Check(pyd)
    self.assertEqual(1, code, log)
    self.assertIn("imports from ADVAPI32.dll", log)

  def testUser32AndTheRuntimeAreAllowed(self):
    pyd = self.Dll("window", """
        #include <windows.h>
        #include <cstdlib>
        extern "C" __declspec(dllexport) void initwindow() {
          DestroyWindow(nullptr);
          std::free(std::malloc(4));
        }
        """)
    code, log = self.Check(pyd)
    self.assertEqual(0, code, log)
    self.assertIn("USER32.dll", log)
    self.assertIn("msvcrt.dll", log)


# Entry points declared as an interpreter's headers declare them: one
# function, one data object among several, and a Win32 function, which is
# not the interpreter's.
USES_INTERPRETER = """
    extern "C" __declspec(dllimport) void PyErr_SetString(void*, const char*);
    extern "C" __declspec(dllimport) void* PyExc_TypeError;
    extern "C" __declspec(dllimport) unsigned long GetLastError();
    void Raise() {
      PyErr_SetString(PyExc_TypeError, "x");
      GetLastError();
    }
    """
HEADER = """
PyAPI_FUNC(void) PyErr_SetString(PyObject *, const char *);
PyAPI_DATA(PyObject *) PyExc_ValueError, *PyExc_TypeError;
"""


class Python27DefTest(ToolTestCase):

  def setUp(self):
    ToolTestCase.setUp(self)
    os.mkdir(self.Path("include"))
    self.Write(os.path.join("include", "pyerrors.h"), HEADER)
    self.object = self.Compile("uses.cpp", USES_INTERPRETER, "uses.obj", "-c")

  def Def(self, *entries):
    return self.Write("python27.def", "; comment\nLIBRARY python27.dll\n"
                      "EXPORTS\n" + "".join("    %s\n" % e for e in entries))

  def Tool(self, mode, def_file):
    return Run([os.path.join(ROOT, "tools", "python27-def"), mode,
                self.Path("include"), def_file, self.object])

  def testExactListPasses(self):
    code, log = self.Tool("check", self.Def("PyErr_SetString",
                                            "PyExc_TypeError DATA"))
    self.assertEqual(0, code, log)
    self.assertIn("lists the 2", log)
    self.assertNotIn("warning", log)

  def testMissingEntryPointIsNamed(self):
    code, log = self.Tool("check", self.Def("PyExc_TypeError DATA"))
    self.assertEqual(1, code, log)
    self.assertIn("lacks", log)
    self.assertIn("PyErr_SetString", log)

  def testUnusedEntryPointIsNamedButAllowed(self):
    # An entry point no module uses any longer costs nothing; the check
    # names it for removal and passes.
    code, log = self.Tool("check", self.Def("PyErr_SetString",
                                            "PyExc_TypeError DATA",
                                            "PyErr_Occurred"))
    self.assertEqual(0, code, log)
    self.assertIn("warning", log)
    self.assertIn("no module uses", log)
    self.assertIn("PyErr_Occurred", log)
    self.assertNotIn("lacks", log)

  def testDataObjectMustBeMarked(self):
    code, log = self.Tool("check", self.Def("PyErr_SetString",
                                            "PyExc_TypeError"))
    self.assertEqual(1, code, log)
    self.assertIn("PyExc_TypeError DATA", log)

  def testUpdateWritesWhatCheckAccepts(self):
    def_file = self.Def("PyErr_Occurred")
    code, log = self.Tool("update", def_file)
    self.assertEqual(0, code, log)
    with open(def_file) as written:
      text = written.read()
    self.assertIn("LIBRARY python27.dll", text)
    self.assertIn("    PyExc_TypeError DATA\n", text)
    self.assertNotIn("GetLastError", text)
    self.assertNotIn("PyErr_Occurred", text)
    code, log = self.Tool("check", def_file)
    self.assertEqual(0, code, log)
    # The import library made from it links the object.
    code, log = Run([TRIPLET + "-dlltool", "--input-def", def_file,
                     "--dllname", "python27.dll", "--output-lib",
                     self.Path("libpython27.a")])
    self.assertEqual(0, code, log)
    self.Write("init.cpp", 'extern "C" __declspec(dllexport) void inituses() {}')
    code, log = Run([COMPILER, "-shared", "-static", "-o", self.Path("uses.pyd"),
                     self.Path("init.cpp"), self.object,
                     self.Path("libpython27.a")])
    self.assertEqual(0, code, log)


# Compiled against Python.h with the Windows configuration header: layout
# facts of the 64-bit UCS-2 python27.dll, and an extension module's init.
AGAINST_PYTHON_H = r"""
#include <Python.h>
#include <cstddef>
static_assert(sizeof(Py_UNICODE) == 2, "UCS-2 unicode");
static_assert(sizeof(Py_UNICODE) == sizeof(wchar_t), "Py_UNICODE is wchar_t");
static_assert(sizeof(Py_ssize_t) == 8 && sizeof(long) == 4, "LLP64");
static_assert(sizeof(PyObject) == 16, "object header");
static_assert(offsetof(PyUnicodeObject, str) == 24, "unicode layout");
static_assert(offsetof(PyStringObject, ob_sval) == 32, "string layout");
static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
PyMODINIT_FUNC initprobe() {
  PyObject* module = Py_InitModule("probe", methods);
  if (module == nullptr) return;
  PyObject* text = PyUnicode_FromUnicode(L"x", 1);
  PyModule_AddObject(module, "text", text);
  PyErr_SetNone(PyExc_MemoryError);
}
"""


@unittest.skipIf(pyversion.PY3, pyversion.ONLY_PY2 +
                 "the header is python27.dll's, read against 2.7's own")
class WindowsPythonConfigurationTest(ToolTestCase):

  def setUp(self):
    ToolTestCase.setUp(self)
    include = self.Path("include")
    os.mkdir(include)
    python_include = sysconfig.get_path("include")
    for name in os.listdir(python_include):
      if name.endswith(".h") and name != "pyconfig.h":
        shutil.copy(os.path.join(python_include, name), include)
    shutil.copy(os.path.join(ROOT, "win32", "python27", "pyconfig.h"), include)

  def testLayoutAndEntryPointsOfTheWindowsInterpreter(self):
    obj = self.Compile("probe.cpp", AGAINST_PYTHON_H, "probe.obj", "-c",
                       "-isystem", self.Path("include"))
    code, symbols = Run([TRIPLET + "-nm", "-u", obj])
    self.assertEqual(0, code, symbols)
    # Unicode entry points are the UCS-2 ones; the module entry point is
    # the 64-bit one; every entry point is imported from the DLL.
    self.assertIn("__imp_PyUnicodeUCS2_FromUnicode", symbols)
    self.assertIn("__imp_Py_InitModule4_64", symbols)
    self.assertIn("__imp_PyExc_MemoryError", symbols)

    code, log = Run([os.path.join(ROOT, "tools", "python27-def"), "update",
                     self.Path("include"), self.Path("python27.def"), obj])
    self.assertEqual(0, code, log)
    code, log = Run([TRIPLET + "-dlltool", "--input-def",
                     self.Path("python27.def"), "--dllname", "python27.dll",
                     "--output-lib", self.Path("libpython27.a")])
    self.assertEqual(0, code, log)
    code, log = Run([COMPILER, "-shared", "-static", "-o",
                     self.Path("probe.pyd"), obj, self.Path("libpython27.a")])
    self.assertEqual(0, code, log)
    code, log = Run([os.path.join(ROOT, "tools", "check-pyd"),
                     self.Path("probe.pyd")])
    self.assertEqual(0, code, log)
    self.assertIn("python27.dll", log)


if __name__ == "__main__":
  unittest.main()
