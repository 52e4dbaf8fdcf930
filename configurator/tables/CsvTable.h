// The CSV reader and writer of the table interfaces.
#pragma once

#include <string>
#include <vector>

#include "File.h"
#include "TableIO.h"

// A CSV file that cannot be read as a table: the text names the file and the line.
class CCsvFormatException : public CTableException {
 public:
  CCsvFormatException(const wchar_t* fileName, int line);
  int Line() const { return m_line; }

 private:
  int m_line;
};

// The user's list separator ("sList" under Control Panel\International); empty when unreadable.
std::wstring GetListSeparator();
// The separator a written file uses: the list separator when it is one character that cannot be
// mistaken for field content, else ";" (an empty one would run the fields together).
std::wstring CsvWriteSeparator(const std::wstring& listSeparator);

// Reads a CSV file whole at Open: encoding by byte-order mark, else UTF-8 when valid, else ANSI;
// one separator for the file, detected on the first record.
class CCsvTableImport : public CBTableImport {
 public:
  CCsvTableImport();

  void Open(const wchar_t* path) override;
  bool MoveColumn(int delta) override;
  bool NextRow() override;
  bool GetString(std::wstring& out) override;

  // The user's list separator; Open detects among it, comma, semicolon and TAB. Tests set it.
  std::wstring listSeparator;
  // Set by Open: the separator the file was split at.
  wchar_t separator = L';';

  // Splits a decoded text into records. Throws CCsvFormatException (with fileName) when a quote is
  // still open at the end.
  static void Parse(const std::wstring& text, const std::wstring& listSeparator, const wchar_t* fileName,
                    std::vector<std::vector<std::wstring>>& records, wchar_t& separator);
  // The text of a file's bytes: UTF-8 or UTF-16 LE by byte-order mark, else UTF-8 when valid, else ANSI.
  static void Decode(const std::string& bytes, std::wstring& text);

 private:
  std::vector<std::vector<std::wstring>> m_records;
};

// Writes a CSV file in UTF-8 with a byte-order mark, into a temporary beside the target that
// replaces it at Close (false).
class CCsvTableExport : public CBTableExport {
 public:
  CCsvTableExport();
  ~CCsvTableExport() override;

  void Create(int columns, int rows, const wchar_t* path) override;
  bool PutInteger(int value) override;
  bool PutString(const wchar_t* text) override;
  bool NextRow() override;
  void Finish() override;
  void Close(bool discard) override;

  // Appends the fields as one line with CR LF, quoting where needed.
  static void BuildLine(const std::vector<std::wstring>& fields, const std::wstring& separator, std::wstring& line);

  // From the list separator at construction; tests may set it before Create.
  std::wstring separator;

 private:
  CFile m_file;
  CTempTarget m_temp;
  std::vector<std::wstring> m_fields;
};
