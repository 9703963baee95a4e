// The Win32 volume queries: volume names, mount points and volume
// information, as the module's own code calls them and as the host does.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyapi/object.h"
#include "win32/win32.h"

namespace volumes {

// Each returns null with an exception pending on failure.

// The volume GUID names the system reports, in its order (a list).
py::Object ListVolumeNames();

// The volume information record (label, serial number, component length,
// flags, file-system name) of the volume holding the open file `handle`.
py::Object VolumeInformationByHandle(int64_t handle);

// The volume information record of the volume mounted at `path`, which has
// passed the argument test: None (refused here) or exactly unicode.
py::Object VolumeInformation(PyObject* path);

// A NUL inside a name would make the system read a shorter, different
// name, so a unicode name holding one is refused with TypeError (false).
// Checked on the unicode object itself.
bool CheckNoNul(PyObject* unicode, const char* argument_name);

// The volume information record of the volume whose root (ending in a
// backslash) is `root`.
py::Object VolumeInformationAt(const WCHAR* root);

// The mount points (a list of unicode) of the volume named `guid_path`,
// which has passed the argument test: None, exactly str or exactly unicode.
py::Object VolumePathNames(PyObject* guid_path);

// The mount points of the volume named `name`, a NUL-terminated name
// without NULs inside.
py::Object VolumePathNamesOf(const WCHAR* name);

// The module functions of the queries.
extern PyMethodDef kGetVolumeInformationByHandleFunction;
extern PyMethodDef kGetVolumeInformationFunction;
extern PyMethodDef kGetVolumePathNamesFunction;
extern PyMethodDef kListVolumeNamesFunction;

}  // namespace volumes
