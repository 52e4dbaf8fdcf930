// Test support for the settings document's suites: the test program as the resource module, a scratch
// folder, whole-file bytes, and a view that records what the document delivers.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "Core.h"
#include "Strings.h"

constexpr LANGID kEnglishUi = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kRussianUi = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);

// The test program holds the configurator's resources; the shared test support points the module
// handles at Vombra.dll, so every test takes them back. English unless a test switches.
class ConfiguratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglishUi);
  }
  void TearDown() override { SetUILanguage(kEnglishUi); }
};

// A folder of its own under the temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    m_path = std::wstring(temp) + L"vombra-cfg-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    Remove(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
  }
  ~ScratchFolder() { Remove(m_path); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& Path() const { return m_path; }
  std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

  static void Remove(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = path + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(child);
        } else {
          SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  }

 private:
  std::wstring m_path;
};

inline bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

// A wide text as the file holds it: a byte-order mark, then UTF-8.
inline std::string Utf8File(const std::wstring& text) {
  std::string utf8;
  WideToMultiByte(text.c_str(), text.size(), utf8, CP_UTF8);
  return "\xEF\xBB\xBF" + utf8;
}

// A view of a settings document: the union of the bits it received, the number of calls, and the
// view-options detail it was handed with HINT_VIEW_OPTIONS.
class HintRecorder {
 public:
  explicit HintRecorder(CAppSettings& document) : m_document(document) {
    m_index = document.AddView({this, &HintRecorder::OnHints, 0});
  }
  ~HintRecorder() { m_document.RemoveView(m_index); }
  HintRecorder(const HintRecorder&) = delete;
  HintRecorder& operator=(const HintRecorder&) = delete;

  void Reset() { Hints = 0, Calls = 0, Detail = 0; }

  uint64_t Hints = 0;
  int Calls = 0;
  UINT Detail = 0;

 private:
  static void OnHints(void* owner, CDocument* document, const uint64_t* hints) {
    HintRecorder* self = static_cast<HintRecorder*>(owner);
    self->Hints |= *hints;
    ++self->Calls;
    if (*hints & HINT_VIEW_OPTIONS) self->Detail |= static_cast<CAppSettings*>(document)->GetViewDetail();
  }

  CAppSettings& m_document;
  int m_index;
};

// Fields of a document as text, by name, in a fixed order.
typedef std::vector<std::pair<std::string, std::wstring>> FIELD_TEXTS;

// Every field came back as saved; and every field was set away from its default, since a field left
// at its default would pass even when it is neither saved nor loaded.
inline void ExpectEveryFieldBack(const FIELD_TEXTS& saved, const FIELD_TEXTS& loaded,
                                 const FIELD_TEXTS& defaults) {
  ASSERT_EQ(loaded.size(), saved.size());
  ASSERT_EQ(defaults.size(), saved.size());
  for (size_t i = 0; i < saved.size(); ++i) {
    EXPECT_NE(saved[i].second, defaults[i].second) << saved[i].first << " must be set to another value";
    EXPECT_EQ(loaded[i].second, saved[i].second) << saved[i].first;
  }
}

// A format as a test writes it: id, name, template, parameters.
inline _FORMAT_INFO_EX MakeFormat(UINT id, const std::wstring& name, const std::wstring& templ = L"%u",
                                  const std::wstring& params = L"b0", UINT flags = 0) {
  _FORMAT_INFO_EX format;
  format.Id = id;
  format.Name = name;
  format.Template = templ;
  format.Params = params;
  format.KeyFilters = 1;
  format.Flags = flags;
  return format;
}

// The list as "id:name" pairs, a preset's line feed shown as "^".
inline std::vector<std::wstring> IdsAndNames(const std::vector<_FORMAT_INFO_EX>& formats) {
  std::vector<std::wstring> out;
  for (const _FORMAT_INFO_EX& format : formats) {
    std::wstring name = format.Name;
    for (wchar_t& c : name) {
      if (c == L'\n') c = L'^';
    }
    out.push_back(std::to_wstring(format.Id) + L":" + name);
  }
  return out;
}

// The index of the first format with the id, searched the plain way.
inline int LinearIndex(const std::vector<_FORMAT_INFO_EX>& formats, UINT id) {
  for (size_t i = 0; i < formats.size(); ++i) {
    if (formats[i].Id == id) return int(i);
  }
  return -1;
}
