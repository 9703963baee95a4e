/* Configuration of the interpreter the modules ship against: Python 2.7 for
   64-bit Windows, built as python27.dll with 16-bit (UCS-2) unicode, whose
   Py_UNICODE is wchar_t.

   Python.h of 2.7 reads only its configuration header for what differs
   between platforms. This one says just what those headers need to lay out
   every structure and declare every entry point as the Windows DLL does, so
   that the rest of a Python 2.7 header set can be used for a cross-build.
   A build with Microsoft's compiler uses the SDK's own PC/pyconfig.h; the
   Windows interpreter leg of the tests checks that this header agrees with
   it. Unlike it, this one does not define hypot as _hypot, which breaks
   the C++ <math.h> under gcc. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "this configuration describes the 64-bit Windows Python 2.7"
#endif

/* The platform. */
#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* Entry points come from python27.dll: PyAPI_FUNC and PyAPI_DATA are
   imports, PyMODINIT_FUNC is the module's one export. */
#define MS_COREDLL 1
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Windows is LLP64: long stays 32 bits while pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define PY_FORMAT_SIZE_T "I"
#define PY_FORMAT_LONG_LONG "I64"
/* Exact-width types: with them, long integers use 30-bit digits. */
#define HAVE_INT32_T 1
#define PY_INT32_T int
#define HAVE_UINT32_T 1
#define PY_UINT32_T unsigned int
#define HAVE_INT64_T 1
#define PY_INT64_T PY_LONG_LONG
#define HAVE_UINT64_T 1
#define PY_UINT64_T unsigned PY_LONG_LONG
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* Unicode: 16-bit code units shared with the Win32 wide-character API.
   The entry points are then the PyUnicodeUCS2_* names. */
#define Py_USING_UNICODE
#define Py_UNICODE_SIZE 2
#define HAVE_USABLE_WCHAR_T
#define PY_UNICODE_TYPE wchar_t
#define HAVE_WCHAR_H 1

/* The C runtime's headers and functions that the Python headers test for. */
#define STDC_HEADERS 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_PROTOTYPES
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1

/* What python27.dll was built with, where the headers' macros depend on it. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* !Py_CONFIG_H */
