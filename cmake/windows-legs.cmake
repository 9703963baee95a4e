# The Windows legs of `make test`, registered beside the native tests:
#   win32_contract_double  the Win32 contract program on the test double
#   windows_cross_build    both modules built for 64-bit Windows with
#                          mingw-w64, their exports and imports checked
#   win32_contract_wine    the same contract program built for Windows and
#                          run under Wine
# The last two need Debian's mingw-w64 and wine64 packages (.ci/run installs
# them). Without them those legs report themselves skipped, and configuring
# says which and why.
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/win32contract
                 ${CMAKE_BINARY_DIR}/tests/win32contract)

find_program(MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(WINE64 wine64 PATHS /usr/lib/wine)
set(mingw_packages "g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev")
if(NOT MINGW_CXX)
  message(NOTICE "Windows legs windows_cross_build and win32_contract_wine will "
    "be skipped: x86_64-w64-mingw32-g++-posix is not installed "
    "(Debian packages ${mingw_packages}; .ci/run installs them).")
elseif(NOT WINE64)
  message(NOTICE "Windows leg win32_contract_wine will be skipped: wine64 is "
    "not installed (Debian package wine64; .ci/run installs it).")
endif()

add_test(NAME windows_cross_build
  COMMAND ${CMAKE_SOURCE_DIR}/tools/cross-build-modules
          ${CMAKE_BINARY_DIR} ${PYTHON_EXECUTABLE})
add_test(NAME win32_contract_wine
  COMMAND ${CMAKE_SOURCE_DIR}/tools/run-contract-under-wine ${CMAKE_BINARY_DIR})
set_tests_properties(windows_cross_build win32_contract_wine PROPERTIES
  SKIP_RETURN_CODE 77
  TIMEOUT 900)
