// One owner per kind of Windows handle. Each kind has its own empty value (an event is NULL when absent,
// a file INVALID_HANDLE_VALUE), so each owner knows which value means "nothing to close". Owners move
// and never copy; the destructor closes once and never throws, so an exception leaving a function
// releases every handle it opened on the way out.
#pragma once

// Many headers hold owners, and some files include windows.h before them. So this header does not
// need Winsock: the socket and address-list kinds are named by type alone and closed in Handles.cpp.
// When it comes first, winsock2.h still goes before windows.h, which would otherwise bring the old
// winsock.h; after windows.h it is left out, as it would only warn.
#ifndef _INC_WINDOWS
#include <winsock2.h>
#endif
#include <windows.h>
#include <setupapi.h>

#include <utility>

struct addrinfo;
struct addrinfoW;

template <class Traits>
class CHandleOwner {
 public:
  using Handle = typename Traits::Handle;

  CHandleOwner() noexcept = default;
  explicit CHandleOwner(Handle handle) noexcept : m_handle(handle) {}
  ~CHandleOwner() { Close(); }
  CHandleOwner(const CHandleOwner&) = delete;
  CHandleOwner& operator=(const CHandleOwner&) = delete;
  CHandleOwner(CHandleOwner&& other) noexcept : m_handle(other.Detach()) {}
  CHandleOwner& operator=(CHandleOwner&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }

  Handle Get() const noexcept { return m_handle; }
  bool Valid() const noexcept { return m_handle != Traits::Empty(); }
  explicit operator bool() const noexcept { return Valid(); }

  // Takes over another handle, closing the one held.
  void Reset(Handle handle = Traits::Empty()) noexcept {
    const Handle old = m_handle;
    m_handle = handle;
    if (old != Traits::Empty()) Traits::Close(old);
  }
  void Close() noexcept { Reset(); }
  // Gives the handle up without closing it.
  Handle Detach() noexcept {
    const Handle handle = m_handle;
    m_handle = Traits::Empty();
    return handle;
  }
  // Closes the handle held and hands out the slot for an API that returns a new one through a pointer.
  Handle* Receive() noexcept {
    Close();
    return &m_handle;
  }

 private:
  Handle m_handle = Traits::Empty();
};

namespace handle_traits {
// Events, threads, mutexes, processes: CreateEvent and friends answer NULL on failure.
struct Kernel {
  using Handle = HANDLE;
  static HANDLE Empty() noexcept { return nullptr; }
  static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};
// Files and devices: CreateFile answers INVALID_HANDLE_VALUE on failure.
struct File {
  using Handle = HANDLE;
  static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};
// FindFirstFile's search: INVALID_HANDLE_VALUE on failure, closed with FindClose.
struct Find {
  using Handle = HANDLE;
  static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE find) noexcept { FindClose(find); }
};
struct RegKey {
  using Handle = HKEY;
  static HKEY Empty() noexcept { return nullptr; }
  static void Close(HKEY key) noexcept { RegCloseKey(key); }
};
struct Socket {
  using Handle = UINT_PTR;  // SOCKET
  static UINT_PTR Empty() noexcept { return ~UINT_PTR(0); }  // INVALID_SOCKET
  static void Close(UINT_PTR socket) noexcept;
};
struct Module {
  using Handle = HMODULE;
  static HMODULE Empty() noexcept { return nullptr; }
  static void Close(HMODULE module) noexcept { FreeLibrary(module); }
};
struct DevInfoSet {
  using Handle = HDEVINFO;
  static HDEVINFO Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HDEVINFO set) noexcept { SetupDiDestroyDeviceInfoList(set); }
};
struct AddrInfo {
  using Handle = addrinfoW*;  // ADDRINFOW*
  static addrinfoW* Empty() noexcept { return nullptr; }
  static void Close(addrinfoW* list) noexcept;
};
struct AnsiAddrInfo {
  using Handle = addrinfo*;
  static addrinfo* Empty() noexcept { return nullptr; }
  static void Close(addrinfo* list) noexcept;
};
}  // namespace handle_traits

using CKernelHandle = CHandleOwner<handle_traits::Kernel>;  // event, thread, mutex, process
using CFileHandle = CHandleOwner<handle_traits::File>;
using CFindHandle = CHandleOwner<handle_traits::Find>;
using CRegKey = CHandleOwner<handle_traits::RegKey>;
using CSocket = CHandleOwner<handle_traits::Socket>;
using CModule = CHandleOwner<handle_traits::Module>;
using CDevInfoSet = CHandleOwner<handle_traits::DevInfoSet>;
using CAddrInfo = CHandleOwner<handle_traits::AddrInfo>;          // GetAddrInfoW
using CAnsiAddrInfo = CHandleOwner<handle_traits::AnsiAddrInfo>;  // getaddrinfo

// For the few fields whose type is fixed as a raw HANDLE (NULL when absent): closes it once and
// leaves NULL behind.
inline void CloseHandleField(HANDLE& handle) noexcept {
  if (handle) CloseHandle(handle);
  handle = nullptr;
}
