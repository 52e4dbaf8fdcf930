// The in-memory XML document: a tree of elements built by code or by a forgiving parser, written out
// as TAB-indented text with CR LF line ends. Files are read and written elsewhere (File.h); this
// works on wide strings only and uses no Windows header, so it also builds natively for the
// sanitizer and fuzz runs.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Names of children and attributes are matched ignoring the case of ASCII letters (the names our
// files use); other characters compare exactly.
struct XmlNameHash {
  size_t operator()(const std::wstring& name) const;
};
struct XmlNameEqual {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};
bool XmlNameEquals(const wchar_t* a, const wchar_t* b);

class CMXNode {
 public:
  typedef std::pair<std::wstring, std::wstring> Attribute;

  explicit CMXNode(const wchar_t* name);
  virtual ~CMXNode();
  CMXNode(const CMXNode&) = delete;
  CMXNode& operator=(const CMXNode&) = delete;

  const std::wstring& GetName() const { return m_name; }
  const std::wstring& GetText() const { return m_text; }
  void SetText(std::wstring text) { m_text = std::move(text); }
  // The children in the order they were added; the node owns them.
  const std::vector<CMXNode*>& GetChildren() const { return m_children; }
  // The attributes in the order they were first set.
  const std::vector<Attribute>& GetAttributes() const { return m_attributes; }

  // Among children of the same name the one added first; null when none.
  CMXNode* FindChild(const wchar_t* name) const;
  // Appends a new child; one of the same name already there stays (both remain).
  CMXNode* AddChild(const wchar_t* name);
  // Overwrites a value in place, keeping the attribute's position, or appends a new one.
  void SetAttribute(const wchar_t* name, const wchar_t* value);
  // The value, or a shared empty text when absent.
  const std::wstring& GetAttribute(const wchar_t* name) const;
  // Walks '\'-separated components (empty ones skipped) with FindChild, adding the missing ones
  // when create, else answering null. An empty path gives this node.
  CMXNode* FindPath(const wchar_t* path, bool create);
  void DeleteChildren();
  void ClearAttributes();

 private:
  std::wstring m_name;
  std::unordered_map<std::wstring, CMXNode*, XmlNameHash, XmlNameEqual> m_index;  // first of each name
  std::vector<CMXNode*> m_children;
  std::vector<Attribute> m_attributes;
  std::unordered_map<std::wstring, size_t, XmlNameHash, XmlNameEqual> m_attributeIndex;
  std::wstring m_text;
};

class CMemXML {
 public:
  CMemXML();
  virtual ~CMemXML();
  CMemXML(const CMemXML&) = delete;
  CMemXML& operator=(const CMemXML&) = delete;

  // The unnamed root: its attributes are the XML declaration's, its children the top-level elements.
  CMXNode& GetRoot() { return m_root; }
  const CMXNode& GetRoot() const { return m_root; }
  // A document-type declaration written as it stands; empty for none.
  const std::wstring& GetDoctype() const { return m_doctype; }
  void SetDoctype(std::wstring doctype) { m_doctype = std::move(doctype); }

  // Empties the root (children, attributes, text) and the document type.
  void Clear();
  // length npos: up to the terminating NUL.
  virtual void Escape(std::wstring& out, const wchar_t* text, size_t length = std::wstring::npos) const;
  virtual void Unescape(std::wstring& out, const wchar_t* text, size_t length = std::wstring::npos) const;

  void Serialize(std::wstring& out) const;
  // Clears the document and reads what it can of the text; never fails and never reads past the
  // text (the counted form reads exactly length characters, NULs included).
  void Parse(const wchar_t* text);
  void Parse(const wchar_t* text, size_t length);

 private:
  void WriteAttributes(std::wstring& out, const CMXNode& node) const;
  void WriteElement(std::wstring& out, const CMXNode& node, const std::wstring& indentation) const;
  void ParseAttributes(CMXNode& node, const wchar_t* begin, const wchar_t* end) const;

  CMXNode m_root;
  std::wstring m_doctype;
  std::wstring m_indent;
};
