// simwin: the Python control module of the Win32 test double. Tests and
// the demo use it to set up the simulated machine, inject faults, watch
// the Win32 calls that the modules make, and send messages to windows.
#include <Python.h>

#include "pyapi/classes.h"
#include "pyapi/object.h"
#include "pyapi/version.h"
#include "simwin/python/module.h"

namespace simwin_module {
namespace {

PyObject* timeout_type = nullptr;  // owned by the module from init on

PyDoc_STRVAR(kModuleDoc,
             "Control of the Win32 test double.\n\n"
             "One simulated machine per process: its volumes, file handles, "
             "windows,\nmessage queues, injected faults and the record of "
             "Win32 calls. Calls\nthat wait for another thread release the "
             "interpreter lock and give up\nafter their timeout with "
             "simwin.Timeout.");

PyDoc_STRVAR(kTimeoutDoc,
             "A window's thread did not answer within the timeout.");

bool AddFunctions(PyObject* module, PyMethodDef* functions) {
  py::Object module_name = py::GetAttr(module, "__name__");
  if (!module_name) return false;
  for (PyMethodDef* function = functions; function->ml_name != nullptr;
       ++function) {
    py::Object callable = py::MethodFunction(function, module_name);
    if (!callable ||
        PyObject_SetAttrString(module, function->ml_name, callable.get()) !=
            0) {
      return false;
    }
  }
  return true;
}

bool InitModule() {
  PyObject* module =
      py::CreateModule("simwin", nullptr, kModuleDoc);  // borrowed
  if (module == nullptr) return false;
  py::Object timeout = py::Object::Steal(PyErr_NewExceptionWithDoc(
      const_cast<char*>("simwin.Timeout"), const_cast<char*>(kTimeoutDoc),
      PyExc_RuntimeError, nullptr));
  if (!timeout || PyObject_SetAttrString(module, "Timeout", timeout.get())) {
    return false;
  }
  timeout_type = timeout.release();
  return AddFunctions(module, kMachineFunctions) &&
         AddFunctions(module, kCallFunctions) &&
         AddFunctions(module, kWindowFunctions) &&
         AddFunctions(module, kTestWindowFunctions);
}

}  // namespace

PyObject* TimeoutType() { return timeout_type; }

}  // namespace simwin_module

PYAPI_MODULE_INIT(simwin) {
  simwin_module::InitModule();
  return py::FinishModuleLoad();
}
