#include "CsvTable.h"

#include <climits>

#include "ConfigResourceIds.h"
#include "Strings.h"

namespace {

const wchar_t QUOTE = L'"';

bool UsableSeparator(const std::wstring& s) {
  return s.size() == 1 && s[0] != QUOTE && s[0] != L' ' && s[0] != L'\r' && s[0] != L'\n';
}

std::wstring QuoteOpenText(const wchar_t* fileName, int line) {
  std::wstring text;
  LoadStrFormat(text, IDS_CSV_QUOTE_OPEN, fileName ? fileName : L"", line);
  return text;
}

}  // namespace

CCsvFormatException::CCsvFormatException(const wchar_t* fileName, int line)
    : CTableException(QuoteOpenText(fileName, line)), m_line(line) {}

std::wstring GetListSeparator() {
  wchar_t buffer[256] = {};
  DWORD bytes = sizeof(buffer);
  // REG_SZ alone: asking for REG_EXPAND_SZ too without RRF_NOEXPAND fails every read.
  if (RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\International", L"sList", RRF_RT_REG_SZ, nullptr, buffer,
                   &bytes) != ERROR_SUCCESS) {
    return std::wstring();
  }
  return buffer;
}

std::wstring CsvWriteSeparator(const std::wstring& listSeparator) {
  return UsableSeparator(listSeparator) ? listSeparator : std::wstring(L";");
}

// ---- reading ----

CCsvTableImport::CCsvTableImport() : listSeparator(GetListSeparator()) {}

void CCsvTableImport::Decode(const std::string& bytes, std::wstring& text) {
  text.clear();
  const size_t n = bytes.size();
  if (n >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    MultiByteToWide(bytes.data() + 3, n - 3, text, CP_UTF8);
  } else if (n >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (n - 2) / 2);
  } else if (n > 0) {
    // Without a mark: LibreOffice and editors write UTF-8, older Excel the ANSI code page. Valid
    // UTF-8 is almost never an accident in ANSI text, so that test decides.
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(n), nullptr, 0);
    if (length > 0) {
      text.resize(size_t(length));
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(n), &text[0], length);
    } else {
      MultiByteToWide(bytes.data(), n, text, CP_ACP);
    }
  }
}

namespace {

// The separator of the first record: the one candidate that occurs outside quotes; with several,
// the list separator when it occurs, else the most frequent; with none, the list separator or ";".
wchar_t DetectSeparator(const std::wstring& text, const std::wstring& listSeparator) {
  std::wstring candidates = L";,\t";
  const bool listUsable = UsableSeparator(listSeparator);
  if (listUsable && candidates.find(listSeparator[0]) == std::wstring::npos) candidates += listSeparator[0];
  int counts[4] = {};
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && (text[i] == L'\r' || text[i] == L'\n')) ++i;  // blank lines before the first record
  bool fieldStart = true;
  for (; i < n; ++i) {
    const wchar_t c = text[i];
    if (c == QUOTE && fieldStart) {
      for (++i; i < n; ++i) {
        if (text[i] == QUOTE) {
          if (i + 1 < n && text[i + 1] == QUOTE) {
            ++i;
          } else {
            break;
          }
        }
      }
      fieldStart = false;
      continue;
    }
    if (c == L'\r' || c == L'\n') break;
    const size_t k = candidates.find(c);
    if (k != std::wstring::npos) {
      ++counts[k];
      fieldStart = true;
    } else {
      fieldStart = false;
    }
  }
  int found = 0;
  size_t best = 0;
  for (size_t k = 0; k < candidates.size(); ++k) {
    if (counts[k] == 0) continue;
    if (found == 0 || counts[k] > counts[best]) best = k;
    ++found;
  }
  if (found > 1 && listUsable && counts[candidates.find(listSeparator[0])] > 0) return listSeparator[0];
  if (found > 0) return candidates[best];
  return listUsable ? listSeparator[0] : L';';
}

}  // namespace

void CCsvTableImport::Parse(const std::wstring& text, const std::wstring& listSeparator, const wchar_t* fileName,
                            std::vector<std::vector<std::wstring>>& records, wchar_t& separator) {
  records.clear();
  separator = DetectSeparator(text, listSeparator);
  const wchar_t sep = separator;
  std::vector<std::wstring> fields;
  std::wstring field;
  bool fieldStart = true;
  bool lineUsed = false;  // a character of the record was seen: an empty line is no record
  int line = 1;
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const wchar_t c = text[i];
    if (c == QUOTE && fieldStart) {
      // A quote opens a quoted stretch only at a field's start; elsewhere it is a character.
      const int quoteLine = line;
      lineUsed = true;
      fieldStart = false;
      for (++i;; ++i) {
        if (i >= n) throw CCsvFormatException(fileName, quoteLine);
        const wchar_t q = text[i];
        if (q == QUOTE) {
          if (i + 1 < n && text[i + 1] == QUOTE) {
            field += QUOTE;
            ++i;
            continue;
          }
          break;
        }
        if (q == L'\n' || (q == L'\r' && !(i + 1 < n && text[i + 1] == L'\n'))) ++line;
        field += q;
      }
      continue;
    }
    if (c == sep) {
      fields.push_back(std::move(field));
      field.clear();
      fieldStart = true;
      lineUsed = true;
    } else if (c == L'\r' || c == L'\n') {
      if (c == L'\r' && i + 1 < n && text[i + 1] == L'\n') ++i;
      ++line;
      if (lineUsed) {
        fields.push_back(std::move(field));
        records.push_back(std::move(fields));
      }
      fields.clear();
      field.clear();
      fieldStart = true;
      lineUsed = false;
    } else {
      field += c;
      fieldStart = false;
      lineUsed = true;
    }
  }
  if (lineUsed) {  // the last line counts without a line end
    fields.push_back(std::move(field));
    records.push_back(std::move(fields));
  }
}

void CCsvTableImport::Open(const wchar_t* path) {
  CFile file;
  CFileException error;
  if (!file.Open(path, CFILE_READ | CFILE_SHARE_DENY_WRITE, &error)) throw error;
  const uint64_t length = file.GetLength();
  if (length >= 0x7FFFFFFF) ThrowFileException(CAUSE_GENERIC, -1, path);
  std::string bytes(size_t(length), '\0');
  const UINT read = length ? file.Read(&bytes[0], UINT(length)) : 0;
  bytes.resize(read);
  file.Close();

  std::wstring text;
  Decode(bytes, text);
  Parse(text, listSeparator, path, m_records, separator);
  column = row = 0;
  if (m_records.empty()) {
    columnCount = rowCount = 0;
  } else {
    columnCount = int(m_records[0].size());
    rowCount = int(m_records.size());
  }
}

bool CCsvTableImport::MoveColumn(int delta) {
  const long long next = (long long)column + delta;
  if (next < 0 || next >= columnCount) return false;
  column = int(next);
  return true;
}

bool CCsvTableImport::NextRow() {
  if (size_t(row) + 1 >= m_records.size()) return false;
  ++row;
  column = 0;
  return true;
}

bool CCsvTableImport::GetString(std::wstring& out) {
  out.clear();
  if (size_t(row) < m_records.size()) {
    const std::vector<std::wstring>& fields = m_records[size_t(row)];
    if (column >= 0 && size_t(column) < fields.size()) out = fields[size_t(column)];
  }
  return true;
}

// ---- writing ----

CCsvTableExport::CCsvTableExport() : separator(CsvWriteSeparator(GetListSeparator())) {}

CCsvTableExport::~CCsvTableExport() {
  // The file must be closed before its temporary can be deleted.
  try {
    m_file.Close();
  } catch (...) {
  }
  m_temp.Discard();
}

void CCsvTableExport::Create(int columns, int rows, const wchar_t* path) {
  if (!path) ThrowFileException(CAUSE_BAD_PATH, -1, L"");
  separator = CsvWriteSeparator(separator);
  columnCount = columns;
  rowCount = rows;
  column = row = 0;
  m_fields.assign(size_t(columns < 0 ? 0 : columns), std::wstring());
  m_temp.Begin(path);
  CFileException error;
  if (!m_file.Open(m_temp.TempPath().c_str(), CFILE_WRITE | CFILE_CREATE | CFILE_SHARE_EXCLUSIVE, &error)) {
    m_temp.Discard();
    throw CFileException(error.Cause(), error.OsError(), path);
  }
  m_file.Write("\xEF\xBB\xBF", 3);
}

bool CCsvTableExport::PutInteger(int value) { return PutString(std::to_wstring(value).c_str()); }

bool CCsvTableExport::PutString(const wchar_t* text) {
  if (column >= columnCount) return false;
  m_fields[size_t(column)] = text ? text : L"";
  ++column;
  return true;
}

void CCsvTableExport::BuildLine(const std::vector<std::wstring>& fields, const std::wstring& separator,
                                std::wstring& line) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::wstring& field = fields[i];
    if (i > 0) line += separator;
    if (field.find(separator) != std::wstring::npos || field.find_first_of(L"\"\r\n") != std::wstring::npos) {
      line += QUOTE;
      for (wchar_t c : field) {
        if (c == QUOTE) line += QUOTE;
        line += c;
      }
      line += QUOTE;
    } else {
      line += field;
    }
  }
  line += L"\r\n";
}

bool CCsvTableExport::NextRow() {
  if (row >= rowCount) return false;
  std::wstring line;
  BuildLine(m_fields, separator, line);
  std::string bytes;
  WideToMultiByte(line.c_str(), line.size(), bytes, CP_UTF8);
  m_file.Write(bytes.data(), UINT(bytes.size()));
  ++row;
  column = 0;
  return true;
}

void CCsvTableExport::Finish() {}

void CCsvTableExport::Close(bool discard) {
  if (discard) {
    try {
      m_file.Close();
    } catch (...) {
    }
    m_temp.Discard();
    return;
  }
  try {
    m_file.Flush();
    m_file.Close();
  } catch (...) {
    try {
      m_file.Close();
    } catch (...) {
    }
    m_temp.Discard();
    throw;
  }
  m_temp.Commit();
}
