#include "PtyPeer.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

}  // namespace

CPtyPeer::CPtyPeer() {
  FILE* info = std::fopen("pty_peer.info", "r");
  if (!info) {
    m_whyNot = "the pty peer fixture is not running (no pty_peer.info in the working folder)";
    return;
  }
  unsigned port = 0;
  char com[32] = "";
  int fields = std::fscanf(info, "%u %31s", &port, com);
  std::fclose(info);
  if (fields != 2) {
    m_whyNot = "pty_peer.info is unreadable";
    return;
  }
  m_com.assign(com, com + strlen(com));
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(USHORT(port));
  if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    m_whyNot = "the pty peer does not answer on its control port";
    return;
  }
  m_socket = s;
}

CPtyPeer::~CPtyPeer() {
  if (m_socket != INVALID_SOCKET) {
    closesocket(m_socket);
    WSACleanup();
  }
}

std::string CPtyPeer::Command(const std::string& line) {
  if (m_socket == INVALID_SOCKET) return "ERR no peer";
  std::string request = line + "\n";
  if (send(m_socket, request.data(), int(request.size()), 0) != int(request.size())) return "ERR send";
  std::string reply;
  char c;
  while (recv(m_socket, &c, 1, 0) == 1) {
    if (c == '\n') return reply;
    reply += c;
  }
  return "ERR closed";
}

bool CPtyPeer::Clear() { return Command("CLEAR") == "OK"; }

bool CPtyPeer::Send(const std::string& bytes) { return Command("SEND " + ToHex(bytes)) == "OK"; }

std::string CPtyPeer::Receive(size_t count, DWORD timeout) {
  std::string reply = Command("RECV " + std::to_string(count) + " " + std::to_string(timeout));
  if (reply.compare(0, 5, "DATA ") != 0) return std::string();
  return FromHex(reply.substr(5));
}

PtyLineSettings CPtyPeer::Line() {
  PtyLineSettings line;
  std::string reply = Command("TERMIOS");
  std::sscanf(reply.c_str(), "%d %d %c %d", &line.Speed, &line.DataBits, &line.Parity, &line.StopBits);
  return line;
}

bool CPtyPeer::SetSpeed(UINT baud) { return Command("SPEED " + std::to_string(baud)) == "OK"; }

int CPtyPeer::ModemLines() {
  std::string reply = Command("LINES");
  if (reply.empty() || reply == "DEFAULT" || reply.compare(0, 3, "ERR") == 0) return -1;
  return std::atoi(reply.c_str());
}
