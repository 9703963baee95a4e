// Win32 declarations of the test double.
//
// The subset of <windows.h> and <dbt.h> that the modules and the double's own
// tests use, with Windows' names, types, constant values and 64-bit record
// layouts. WCHAR is a 16-bit code unit (char16_t), as wchar_t is on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#error "simwin/api.h stands in for <windows.h>; include win32/win32.h instead"
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY

#if defined(SIMWIN_BUILDING)
#define SIMWIN_API extern "C" __attribute__((visibility("default")))
#else
#define SIMWIN_API extern "C"
#endif

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef uint16_t ATOM;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

#define DECLARE_SIMWIN_HANDLE(name) \
  struct name##__ {                 \
    int unused;                     \
  };                                \
  typedef struct name##__* name
DECLARE_SIMWIN_HANDLE(HWND);
DECLARE_SIMWIN_HANDLE(HINSTANCE);
DECLARE_SIMWIN_HANDLE(HICON);
DECLARE_SIMWIN_HANDLE(HBRUSH);
DECLARE_SIMWIN_HANDLE(HMENU);
#undef DECLARE_SIMWIN_HANDLE
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;
typedef void* HDEVNOTIFY;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  unsigned char Data4[8];
} GUID;

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

typedef struct tagMINMAXINFO {
  POINT ptReserved;
  POINT ptMaxSize;
  POINT ptMaxPosition;
  POINT ptMinTrackSize;
  POINT ptMaxTrackSize;
} MINMAXINFO;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
  DWORD lPrivate;
} MSG, *PMSG, *LPMSG;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
} WNDCLASSEXW;

typedef struct tagCREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTW;

// Device broadcast records (<dbt.h>).
typedef struct _DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_VOLUME {
  DWORD dbcv_size;
  DWORD dbcv_devicetype;
  DWORD dbcv_reserved;
  DWORD dbcv_unitmask;
  WORD dbcv_flags;
} DEV_BROADCAST_VOLUME, *PDEV_BROADCAST_VOLUME;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_W {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  WCHAR dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_W, *PDEV_BROADCAST_DEVICEINTERFACE_W;

typedef struct _DEV_BROADCAST_HANDLE {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
  HANDLE dbch_handle;
  HDEVNOTIFY dbch_hdevnotify;
  GUID dbch_eventguid;
  LONG dbch_nameoffset;
  BYTE dbch_data[1];
} DEV_BROADCAST_HANDLE, *PDEV_BROADCAST_HANDLE;

static_assert(offsetof(DEV_BROADCAST_HDR, dbch_devicetype) == 4, "layout");
static_assert(offsetof(DEV_BROADCAST_VOLUME, dbcv_unitmask) == 12, "layout");
static_assert(offsetof(DEV_BROADCAST_VOLUME, dbcv_flags) == 16, "layout");
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20, "layout");
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid) == 12,
              "layout");
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28,
              "layout");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "layout");
static_assert(offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid) == 32, "layout");
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "layout");
static_assert(sizeof(WNDCLASSEXW) == 80, "layout");
static_assert(sizeof(MSG) == 48, "layout");

// Error codes (winerror.h).
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_LENGTH 24L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_DIR_NOT_ROOT 144L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NOACCESS 998L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_TLW_WITH_WSCHILD 1406L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_MESSAGE_SYNC_ONLY 1159L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#define ERROR_TIMEOUT 1460L

// Drive types (GetDriveTypeW).
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

// Window messages and message-queue constants.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_CLOSE 0x0010
#define WM_QUERYENDSESSION 0x0011
#define WM_QUERYOPEN 0x0013
#define WM_QUIT 0x0012
#define WM_GETMINMAXINFO 0x0024
#define WM_WINDOWPOSCHANGING 0x0046
#define WM_WINDOWPOSCHANGED 0x0047
#define WM_COPYDATA 0x004A
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_NCCALCSIZE 0x0083
#define WM_NCACTIVATE 0x0086
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105
#define WM_DEVICECHANGE 0x0219
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002
#define CW_USEDEFAULT ((int)0x80000000)
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)
#define HWND_BROADCAST ((HWND)0xffff)

// Window and class styles.
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_THICKFRAME 0x00040000L
#define CS_GLOBALCLASS 0x4000
#define MAKEINTATOM(atom) ((LPWSTR)(ULONG_PTR)((WORD)(atom)))

// Device-change events and record types (<dbt.h>).
#define DBT_DEVNODES_CHANGED 0x0007
#define DBT_QUERYCHANGECONFIG 0x0017
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002
#define DBT_DEVICEREMOVEPENDING 0x8003
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVICETYPESPECIFIC 0x8005
#define DBT_CUSTOMEVENT 0x8006
#define DBT_DEVTYP_OEM 0x00000000
#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_PORT 0x00000003
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBT_DEVTYP_HANDLE 0x00000006
#define DBTF_MEDIA 0x0001
#define DBTF_NET 0x0002
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

// GetModuleHandleExW flags.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// KERNEL32
SIMWIN_API DWORD WINAPI GetLastError(void);
SIMWIN_API void WINAPI SetLastError(DWORD dwErrCode);
SIMWIN_API DWORD WINAPI GetCurrentThreadId(void);
SIMWIN_API HANDLE WINAPI FindFirstVolumeW(LPWSTR lpszVolumeName,
                                          DWORD cchBufferLength);
SIMWIN_API BOOL WINAPI FindNextVolumeW(HANDLE hFindVolume,
                                       LPWSTR lpszVolumeName,
                                       DWORD cchBufferLength);
SIMWIN_API BOOL WINAPI FindVolumeClose(HANDLE hFindVolume);
SIMWIN_API BOOL WINAPI GetVolumePathNamesForVolumeNameW(
    LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames,
    DWORD cchBufferLength, PDWORD lpcchReturnLength);
SIMWIN_API BOOL WINAPI GetVolumeInformationW(
    LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
    LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
    LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer,
    DWORD nFileSystemNameSize);
SIMWIN_API BOOL WINAPI GetVolumeInformationByHandleW(
    HANDLE hFile, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
    LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
    LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer,
    DWORD nFileSystemNameSize);
SIMWIN_API UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName);
SIMWIN_API BOOL WINAPI GetDiskFreeSpaceExW(
    LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
    PULARGE_INTEGER lpTotalNumberOfBytes,
    PULARGE_INTEGER lpTotalNumberOfFreeBytes);
SIMWIN_API BOOL WINAPI CloseHandle(HANDLE hObject);
SIMWIN_API BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName,
                                          HMODULE* phModule);

// USER32
SIMWIN_API ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* lpwcx);
SIMWIN_API BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName,
                                        HINSTANCE hInstance);
SIMWIN_API HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName,
                                       LPCWSTR lpWindowName, DWORD dwStyle,
                                       int X, int Y, int nWidth, int nHeight,
                                       HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam);
SIMWIN_API BOOL WINAPI DestroyWindow(HWND hWnd);
SIMWIN_API BOOL WINAPI IsWindow(HWND hWnd);
SIMWIN_API LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam,
                                         LPARAM lParam);
SIMWIN_API BOOL WINAPI SetPropW(HWND hWnd, LPCWSTR lpString, HANDLE hData);
SIMWIN_API HANDLE WINAPI GetPropW(HWND hWnd, LPCWSTR lpString);
SIMWIN_API HANDLE WINAPI RemovePropW(HWND hWnd, LPCWSTR lpString);
SIMWIN_API HDEVNOTIFY WINAPI RegisterDeviceNotificationW(
    HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
SIMWIN_API BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
SIMWIN_API BOOL WINAPI WaitMessage(void);
SIMWIN_API BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd,
                                    UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg);
SIMWIN_API BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin,
                                   UINT wMsgFilterMax);
SIMWIN_API BOOL WINAPI TranslateMessage(const MSG* lpMsg);
SIMWIN_API LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);
SIMWIN_API BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam,
                                    LPARAM lParam);
SIMWIN_API BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg,
                                          WPARAM wParam, LPARAM lParam);
SIMWIN_API LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam,
                                       LPARAM lParam);
SIMWIN_API void WINAPI PostQuitMessage(int nExitCode);
