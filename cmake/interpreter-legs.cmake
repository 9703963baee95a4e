# The legs that run the modules in the interpreters they ship into, both
# built from the CPython 2.7 source archive by tools/build-cpython27:
#   python27_ucs2          the Python tests and pyapi_tests in a Linux build
#                          with 16-bit unicode
#   python27_windows_wine  the modules cross-built against the Windows
#                          CPython's own SDK and tested in it under Wine
#                          (tests/windows)
# Without the archive (CPYTHON27_SOURCE, or ../shared/cpython beside the
# repository), the toolchain or Wine, a leg reports itself skipped and says why.
set(cpython27_archive "$ENV{CPYTHON27_SOURCE}")
if(NOT cpython27_archive)
  get_filename_component(cpython27_archive
    "${CMAKE_SOURCE_DIR}/../shared/cpython/Python-2.7.11.tar.xz" ABSOLUTE)
endif()
if(NOT EXISTS "${cpython27_archive}")
  message(NOTICE "Legs python27_ucs2 and python27_windows_wine will be skipped: "
    "no CPython 2.7 source archive at ${cpython27_archive} "
    "(give one with CPYTHON27_SOURCE=/path/to/Python-2.7.11.tar.xz).")
endif()

add_test(NAME python27_ucs2
  COMMAND ${CMAKE_SOURCE_DIR}/tools/run-ucs2-tests ${CMAKE_BINARY_DIR})
add_test(NAME python27_windows_wine
  COMMAND ${CMAKE_SOURCE_DIR}/tools/run-windows-python27-tests ${CMAKE_BINARY_DIR})
set_tests_properties(python27_ucs2 python27_windows_wine PROPERTIES
  SKIP_RETURN_CODE 77
  TIMEOUT 1800)
# One Wine session at a time in the prefix the Windows legs share.
set_tests_properties(python27_windows_wine win32_contract_wine PROPERTIES
  RESOURCE_LOCK wine_prefix)
