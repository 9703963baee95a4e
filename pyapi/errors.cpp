#include "pyapi/errors.h"

#include <frameobject.h>

#include <string>

#include "pyapi/object.h"

namespace py {

void AddTraceback(const char* function, int line, const char* filename) {
  Object frame;
  {
    // The entry is added on behalf of the pending exception, so the work of
    // building a frame must neither see nor lose it.
    ExceptionStash pending;
    Object code = Object::Steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, function, line)));
    Object globals = Object::Steal(PyDict_New());
    if (code && globals) {
      frame = Object::Steal(reinterpret_cast<PyObject*>(PyFrame_New(
          PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
          globals.get(), nullptr)));
    }
  }
  // The entry's line is the empty code's first line.
  if (!frame) return;
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void WriteUnraisable(const char* context) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // PyErr_Display rather than PyErr_Print: the latter would end the process
  // for a SystemExit and keep the traceback alive in sys.last_traceback.
  if (type != nullptr) PyErr_Display(type, value, traceback);
  Object context_name = String(context);
  PyErr_Restore(type, value, traceback);
  PyErr_WriteUnraisable(context_name ? context_name.get() : Py_None);
  PyErr_Clear();
}

PyObject* RaiseAllocationFailure(size_t bytes) {
  return RaiseAllocationFailure(bytes, PyExc_MemoryError);
}

PyObject* RaiseAllocationFailure(size_t bytes, PyObject* memory_error) {
  // The number as text: Windows' printf checking knows no size_t format.
  const std::string size =
      std::to_string(static_cast<unsigned long long>(bytes));
  PyErr_Format(memory_error, "Could not allocate %s bytes.", size.c_str());
  return nullptr;
}

PyObject* RaiseNameNotDefined(const char* name) {
  PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", name);
  return nullptr;
}

namespace {

// The "major.minor" that starts a version text ("3.12.1 (main, ...").
std::string MajorMinor(const char* version) {
  std::string text;
  int dots = 0;
  for (const char* c = version; *c != '\0'; ++c) {
    if (*c == '.' && ++dots == 2) break;
    if (*c != '.' && (*c < '0' || *c > '9')) break;
    text += *c;
  }
  return text;
}

}  // namespace

int WarnOnVersionMismatch(const char* module_name,
                          const char* runtime_version) {
  char built_for[16];
  PyOS_snprintf(built_for, sizeof built_for, "%d.%d", PY_MAJOR_VERSION,
                PY_MINOR_VERSION);
  const std::string running_version = MajorMinor(runtime_version);
  const char* running = running_version.c_str();
  if (running_version == built_for) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compiletime version %s of module '%.100s' does not match "
                "runtime version %s",
                built_for, module_name, running);
  return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace py
