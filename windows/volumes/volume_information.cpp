#include "windows/volumes/queries.h"

#include "pyapi/args.h"
#include "pyapi/exception_barrier.h"
#include "pyapi/text.h"
#include "pyapi/version.h"
#include "win32/win32.h"
#include "windows/volumes/module_state.h"

namespace volumes {
namespace {

// Labels and file-system names: the Win32 path limit plus the terminating
// NUL.
constexpr DWORD kNameLength = MAX_PATH + 1;
constexpr WCHAR kBackslash = '\\';

// What a volume information query writes.
struct VolumeInformationFields {
  WCHAR label[kNameLength] = {};
  DWORD serial_number = 0;
  DWORD component_length = 0;
  DWORD flags = 0;
  WCHAR filesystem[kNameLength] = {};
};

py::Object MakeVolumeInformation(const VolumeInformationFields& fields) {
  py::Object label_text = py::UnicodeFromWideBuffer(fields.label, kNameLength);
  if (!label_text) return {};
  py::Object serial =
      py::Object::Steal(PyLong_FromUnsignedLong(fields.serial_number));
  if (!serial) return {};
  py::Object length =
      py::Object::Steal(PyLong_FromUnsignedLong(fields.component_length));
  if (!length) return {};
  py::Object flag_bits =
      py::Object::Steal(PyLong_FromUnsignedLong(fields.flags));
  if (!flag_bits) return {};
  py::Object filesystem_text =
      py::UnicodeFromWideBuffer(fields.filesystem, kNameLength);
  if (!filesystem_text) return {};
  // No error handler named means "strict", and lets the interpreter take
  // its built-in "mbcs" encoder without a codec registry lookup.
  py::Object filesystem_name = py::StrFromUnicode(filesystem_text, "mbcs");
  if (!filesystem_name) return {};
  return py::MakeTuple(label_text, serial, length, flag_bits, filesystem_name);
}

}  // namespace

py::Object VolumeInformationByHandle(int64_t handle) {
  VolumeInformationFields fields;
  if (!GetVolumeInformationByHandleW(
          reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)),
          fields.label, kNameLength, &fields.serial_number,
          &fields.component_length, &fields.flags, fields.filesystem,
          kNameLength)) {
    return py::Object::Steal(RaiseLastWindowsError());
  }
  return MakeVolumeInformation(fields);
}

py::Object VolumeInformationAt(const WCHAR* root) {
  VolumeInformationFields fields;
  if (!GetVolumeInformationW(root, fields.label, kNameLength,
                             &fields.serial_number, &fields.component_length,
                             &fields.flags, fields.filesystem, kNameLength)) {
    return py::Object::Steal(RaiseLastWindowsError());
  }
  return MakeVolumeInformation(fields);
}

py::Object VolumeInformation(PyObject* path) {
  if (path == Py_None) {
    PyErr_SetString(TypeErrorClass(), "Expected unicode, got None");
    return {};
  }
  if (!CheckNoNul(path, "path")) return {};
  const py::WideArgument root(path, kBackslash);
  return VolumeInformationAt(root.c_str());
}

namespace {

const char kGetVolumeInformationByHandleDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "Args:\n"
    "  handle: the Win32 handle of an open file on the volume, as an\n"
    "    integer or an object that converts to one.\n"
    "\n"
    "Returns:\n"
    "  (volume_label, serial_number, component_length, flags, filesystem):\n"
    "  the label as unicode, the three numbers as longs (the serial number\n"
    "  matches st_dev of the volume's files) and the file-system name as an\n"
    "  mbcs-encoded str.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: the Win32 call failed.\n";

PyObject* GetVolumeInformationByHandleFunction(PyObject*, PyObject* handle) {
  int64_t value = 0;
  if (!py::ToInt64(handle, &value)) return nullptr;
  return VolumeInformationByHandle(value).release();
}

const char kGetVolumeInformationDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "Args:\n"
    "  path: unicode mount point of the volume, such as one that\n"
    "    _GetVolumePathNamesForVolumeName returns; the trailing backslash\n"
    "    is optional.\n"
    "\n"
    "Returns:\n"
    "  (volume_label, serial_number, component_length, flags, filesystem),\n"
    "  as GetVolumeInformationByHandle does.\n"
    "\n"
    "Raises:\n"
    "  WindowsError: the Win32 call failed.\n";

PyObject* GetVolumeInformationFunction(PyObject*, PyObject* path) {
  if (!py::CheckUnicodeArgument(path, "path")) return nullptr;
  return VolumeInformation(path).release();
}

}  // namespace

PyMethodDef kGetVolumeInformationByHandleFunction = {
    "GetVolumeInformationByHandle",
    py::Guarded<GetVolumeInformationByHandleFunction>, METH_O,
    kGetVolumeInformationByHandleDoc};

PyMethodDef kGetVolumeInformationFunction = {
    "GetVolumeInformation", py::Guarded<GetVolumeInformationFunction>, METH_O,
    kGetVolumeInformationDoc};

}  // namespace volumes
