#include "Log.h"

#include "File.h"
#include "Strings.h"

CLog::~CLog() { Close(); }

void CLog::Close() {
  if (m_file != INVALID_HANDLE_VALUE) {
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
  }
}

void CLog::Open(const wchar_t* path) {
  Close();
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowFileOsError(GetLastError(), path);
  m_file = file;
  m_path = path;
  m_lineEnds.clear();
  // The file was just created empty, but index whatever it holds so the index always matches the file.
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(m_file, zero, nullptr, FILE_BEGIN)) ThrowFileOsError(GetLastError(), path);
  char block[1024];
  uint64_t position = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(m_file, block, sizeof block, &read, nullptr)) ThrowFileOsError(GetLastError(), path);
    if (read == 0) break;
    for (DWORD i = 0; i < read; ++i) {
      if (block[i] == '\n') m_lineEnds.push_back(position + i + 1);
    }
    position += read;
  }
}

void CLog::AppendLine(const wchar_t* text) {
  std::string bytes;
  WideToMultiByte(text, size_t(-1), bytes, CP_UTF8);
  const size_t length = bytes.size();
  if (length < 2 || bytes[length - 2] != '\r' || bytes[length - 1] != '\n') bytes += "\r\n";

  const size_t oldCount = m_lineEnds.size();
  try {
    LARGE_INTEGER zero{};
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(m_file, zero, &end, FILE_END)) ThrowFileOsError(GetLastError(), m_path.c_str());
    for (size_t k = 0; k < bytes.size(); ++k) {
      if (bytes[k] == '\n') m_lineEnds.push_back(uint64_t(end.QuadPart) + k + 1);
    }
    DWORD written = 0;
    if (!g_pfnWriteFile(m_file, bytes.data(), DWORD(bytes.size()), &written, nullptr)) {
      ThrowFileOsError(GetLastError(), m_path.c_str());
    }
    if (written < bytes.size()) ThrowFileException(CAUSE_DISK_FULL, -1, m_path.c_str());
  } catch (...) {
    m_lineEnds.resize(oldCount);
    throw;
  }
}

void CLog::Clear() {
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(m_file, zero, nullptr, FILE_BEGIN)) ThrowFileOsError(GetLastError(), m_path.c_str());
  if (!SetEndOfFile(m_file)) ThrowFileOsError(GetLastError(), m_path.c_str());
  m_lineEnds.clear();
}

size_t CLog::ReadLine(size_t index, std::wstring& out) {
  if (index >= m_lineEnds.size()) return 0;
  const uint64_t start = index == 0 ? 0 : m_lineEnds[index - 1];
  const uint64_t end = m_lineEnds[index];
  LARGE_INTEGER position;
  position.QuadPart = LONGLONG(start);
  if (!SetFilePointerEx(m_file, position, nullptr, FILE_BEGIN)) ThrowFileOsError(GetLastError(), m_path.c_str());
  std::string bytes(size_t(end - start), '\0');
  DWORD read = 0;
  if (!bytes.empty() && !ReadFile(m_file, &bytes[0], DWORD(bytes.size()), &read, nullptr)) {
    ThrowFileOsError(GetLastError(), m_path.c_str());
  }
  bytes.resize(read);
  MultiByteToWide(bytes.data(), bytes.size(), out, CP_UTF8);
  return 1;
}
