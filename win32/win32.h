// The one header through which module code reaches the Win32 API.
//
// On Windows it is the real <windows.h> and <dbt.h>. Everywhere else it is
// the test double's declarations, which use the same names, types, constants
// and record layouts. Module sources include nothing else from the platform.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <dbt.h>
// Wide string literal of the platform's WCHAR type.
#define W32TEXT(literal) L##literal
#else
#include "simwin/api.h"
#define W32TEXT(literal) u##literal
#endif

static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(WNDCLASSEXW) == (sizeof(void*) == 8 ? 80 : 48),
              "WNDCLASSEXW layout");
static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR layout");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32,
              "DEV_BROADCAST_DEVICEINTERFACE_W layout");
