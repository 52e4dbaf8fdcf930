// The Winsock kinds close here, so that Handles.h can be included after a plain windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "Handles.h"

#include <type_traits>

static_assert(std::is_same<CSocket::Handle, SOCKET>::value, "a socket owner holds a SOCKET");
static_assert(std::is_same<CAddrInfo::Handle, ADDRINFOW*>::value, "GetAddrInfoW's list");

namespace handle_traits {

void Socket::Close(UINT_PTR socket) noexcept { closesocket(socket); }
void AddrInfo::Close(addrinfoW* list) noexcept { FreeAddrInfoW(list); }
void AnsiAddrInfo::Close(addrinfo* list) noexcept { freeaddrinfo(list); }

}  // namespace handle_traits
