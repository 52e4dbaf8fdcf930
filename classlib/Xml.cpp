#include "Xml.h"

#include <cwchar>

namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }

bool EqualsIgnoringCase(const wchar_t* a, size_t aLength, const wchar_t* b) {
  for (size_t i = 0; i < aLength; ++i, ++b) {
    if (!*b || FoldAscii(a[i]) != FoldAscii(*b)) return false;
  }
  return !*b;
}

const std::wstring kEmpty;

// Finds c in [from, end); end when absent.
const wchar_t* Find(const wchar_t* from, const wchar_t* end, wchar_t c) {
  while (from < end && *from != c) ++from;
  return from;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

size_t XmlNameHash::operator()(const std::wstring& name) const {
  size_t hash = 14695981039346656037ull & size_t(-1);
  for (wchar_t c : name) hash = (hash ^ size_t(FoldAscii(c))) * (1099511628211ull & size_t(-1));
  return hash;
}

bool XmlNameEqual::operator()(const std::wstring& a, const std::wstring& b) const {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool XmlNameEquals(const wchar_t* a, const wchar_t* b) { return EqualsIgnoringCase(a, wcslen(a), b); }

// CMXNode

CMXNode::CMXNode(const wchar_t* name) : m_name(name ? name : L"") {}

CMXNode::~CMXNode() { DeleteChildren(); }

CMXNode* CMXNode::FindChild(const wchar_t* name) const {
  const auto found = m_index.find(name ? name : L"");
  return found == m_index.end() ? nullptr : found->second;
}

CMXNode* CMXNode::AddChild(const wchar_t* name) {
  m_children.reserve(m_children.size() + 1);
  CMXNode* child = new CMXNode(name);
  m_children.push_back(child);
  // The index keeps the first child of each name: lookups answer in children order, whatever order a
  // hash container would keep equal keys in.
  try {
    m_index.emplace(child->m_name, child);
  } catch (...) {
    m_children.pop_back();
    delete child;
    throw;
  }
  return child;
}

void CMXNode::SetAttribute(const wchar_t* name, const wchar_t* value) {
  const std::wstring key = name ? name : L"";
  const auto found = m_attributeIndex.find(key);
  if (found != m_attributeIndex.end()) {
    m_attributes[found->second].second = value ? value : L"";
    return;
  }
  m_attributes.emplace_back(key, value ? value : L"");
  try {
    m_attributeIndex.emplace(key, m_attributes.size() - 1);
  } catch (...) {
    m_attributes.pop_back();
    throw;
  }
}

const std::wstring& CMXNode::GetAttribute(const wchar_t* name) const {
  const auto found = m_attributeIndex.find(name ? name : L"");
  return found == m_attributeIndex.end() ? kEmpty : m_attributes[found->second].second;
}

CMXNode* CMXNode::FindPath(const wchar_t* path, bool create) {
  CMXNode* node = this;
  if (!path) return node;
  std::wstring component;
  for (const wchar_t* p = path;; ++p) {
    if (*p && *p != L'\\') {
      component += *p;
      continue;
    }
    if (!component.empty()) {
      CMXNode* child = node->FindChild(component.c_str());
      if (!child) {
        if (!create) return nullptr;
        child = node->AddChild(component.c_str());
      }
      node = child;
      component.clear();
    }
    if (!*p) break;
  }
  return node;
}

void CMXNode::DeleteChildren() {
  // Without recursion: a hand-made file may nest deeper than the stack would allow.
  std::vector<CMXNode*> doomed;
  doomed.swap(m_children);
  m_index.clear();
  while (!doomed.empty()) {
    CMXNode* node = doomed.back();
    doomed.pop_back();
    doomed.insert(doomed.end(), node->m_children.begin(), node->m_children.end());
    node->m_children.clear();
    node->m_index.clear();
    delete node;
  }
}

void CMXNode::ClearAttributes() {
  m_attributes.clear();
  m_attributeIndex.clear();
}

// CMemXML

CMemXML::CMemXML() : m_root(L""), m_indent(L"\t") {}

CMemXML::~CMemXML() = default;

void CMemXML::Clear() {
  m_root.DeleteChildren();
  m_root.ClearAttributes();
  m_root.SetText(std::wstring());
  m_doctype.clear();
}

void CMemXML::Escape(std::wstring& out, const wchar_t* text, size_t length) const {
  out.clear();
  if (!text) return;
  if (length == std::wstring::npos) length = wcslen(text);
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    switch (text[i]) {
      case L'"': out += L"&quot;"; break;
      case L'&': out += L"&amp;"; break;
      case L'\'': out += L"&apos;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      default: out += text[i]; break;
    }
  }
}

void CMemXML::Unescape(std::wstring& out, const wchar_t* text, size_t length) const {
  out.clear();
  if (!text) return;
  if (length == std::wstring::npos) length = wcslen(text);
  const wchar_t* p = text;
  const wchar_t* const end = text + length;
  while (p < end) {
    if (*p != L'&') {
      out += *p++;
      continue;
    }
    const wchar_t* body = p + 1;
    const wchar_t* bodyEnd = Find(body, end, L';');
    p = bodyEnd < end ? bodyEnd + 1 : end;
    const size_t bodyLength = size_t(bodyEnd - body);
    static const struct {
      const wchar_t* name;
      wchar_t c;
    } kNamed[] = {{L"lt", L'<'}, {L"gt", L'>'}, {L"amp", L'&'}, {L"quot", L'"'}, {L"apos", L'\''}};
    bool named = false;
    for (const auto& entity : kNamed) {
      if (EqualsIgnoringCase(body, bodyLength, entity.name)) {
        out += entity.c;
        named = true;
        break;
      }
    }
    if (named || bodyLength < 3 || body[0] != L'#' || body[1] != L'x') continue;
    // Hexadecimal digits up to the first other character; more than 16 bits is an overflow and a
    // NUL is no character of a text, so both give nothing.
    unsigned code = 0;
    size_t digits = 0;
    bool overflow = false;
    for (const wchar_t* d = body + 2; d < bodyEnd && HexDigit(*d) >= 0; ++d, ++digits) {
      code = code * 16 + unsigned(HexDigit(*d));
      if (code > 0xFFFF) {
        overflow = true;
        break;
      }
    }
    if (digits > 0 && !overflow && code != 0) out += wchar_t(code);
  }
}

void CMemXML::WriteAttributes(std::wstring& out, const CMXNode& node) const {
  std::wstring value;
  for (const CMXNode::Attribute& attribute : node.GetAttributes()) {
    Escape(value, attribute.second.c_str(), attribute.second.size());
    out += L' ';
    out += attribute.first;
    out += L"=\"";
    out += value;
    out += L'"';
  }
}

void CMemXML::WriteElement(std::wstring& out, const CMXNode& top, const std::wstring& indentation) const {
  // Depth-first without recursion; each open frame is an element whose children are being written.
  struct Frame {
    const CMXNode* node;
    size_t next;
  };
  std::vector<Frame> open;
  std::wstring indent = indentation;  // the indentation of the element being written
  std::wstring text;
  // Writes the start of node; true when it has children, whose end tag is still to come.
  auto start = [&](const CMXNode& node) {
    out += indent;
    out += L'<';
    out += node.GetName();
    WriteAttributes(out, node);
    if (!node.GetChildren().empty()) {
      out += L">\r\n";
      return true;
    }
    if (node.GetText().empty()) {
      out += L"/>\r\n";
      return false;
    }
    Escape(text, node.GetText().c_str(), node.GetText().size());
    out += L'>';
    out += text;
    out += L"</";
    out += node.GetName();
    out += L">\r\n";
    return false;
  };

  if (!start(top)) return;
  open.push_back({&top, 0});
  indent += m_indent;
  while (!open.empty()) {
    Frame& frame = open.back();
    if (frame.next < frame.node->GetChildren().size()) {
      const CMXNode* child = frame.node->GetChildren()[frame.next++];
      if (start(*child)) {
        open.push_back({child, 0});
        indent += m_indent;
      }
      continue;
    }
    indent.resize(indent.size() - m_indent.size());
    out += indent;
    out += L"</";
    out += frame.node->GetName();
    out += L">\r\n";
    open.pop_back();
  }
}

void CMemXML::Serialize(std::wstring& out) const {
  out = L"<?xml";
  WriteAttributes(out, m_root);
  out += L"?>\r\n";
  if (!m_doctype.empty()) {
    out += m_doctype;
    out += L"\r\n";
  }
  for (const CMXNode* child : m_root.GetChildren()) WriteElement(out, *child, std::wstring());
}

void CMemXML::ParseAttributes(CMXNode& node, const wchar_t* begin, const wchar_t* end) const {
  const wchar_t* nameStart = begin;
  const wchar_t* p = begin;
  std::wstring value;
  while (p < end) {
    const wchar_t* equals = Find(p, end, L'=');
    if (equals == end) break;
    const wchar_t* v = equals + 1;
    if (v < end && *v == L' ') ++v;
    const wchar_t* close = (v < end && *v == L'"') ? Find(v + 1, end, L'"') : end;
    if (close == end) {
      // Single quotes, no quotes or no closing quote: not stored, and the text so far joins the
      // next attribute's name.
      p = equals + 1;
      continue;
    }
    const wchar_t* nameFirst = nameStart;
    const wchar_t* nameLast = equals;
    while (nameFirst < nameLast && *nameFirst == L' ') ++nameFirst;
    while (nameLast > nameFirst && nameLast[-1] == L' ') --nameLast;
    if (nameFirst < nameLast) {
      Unescape(value, v + 1, size_t(close - (v + 1)));
      node.SetAttribute(std::wstring(nameFirst, nameLast).c_str(), value.c_str());
    }
    p = close + 1;
    if (p < end) ++p;  // the separator after the closing quote
    nameStart = p;
  }
}

void CMemXML::Parse(const wchar_t* text) { Parse(text, text ? wcslen(text) : 0); }

void CMemXML::Parse(const wchar_t* text, size_t length) {
  Clear();
  if (!text) return;
  const wchar_t* const end = text + length;
  std::vector<CMXNode*> stack;
  CMXNode* current = &m_root;
  const wchar_t* p = text;
  std::wstring value;
  while (p < end) {
    const wchar_t* const lt = Find(p, end, L'<');
    if (lt == end) break;
    const wchar_t* const gt = Find(lt + 1, end, L'>');
    if (gt == end) break;
    p = gt + 1;

    if (lt[1] == L'/') {  // lt + 1 < gt here, since lt[1] is not '>'
      if (lt + 2 < gt) {
        if (stack.empty()) {
          current = &m_root;
        } else {
          current = stack.back();
          stack.pop_back();
        }
      }
      continue;
    }

    const wchar_t* tagEnd = gt;
    bool selfClosing = false;
    if (gt > lt + 1 && (gt[-1] == L'/' || gt[-1] == L'?')) {
      selfClosing = true;
      tagEnd = gt - 1;
    }
    const wchar_t* const nameEnd = Find(lt + 1, tagEnd, L' ');
    const std::wstring name(lt + 1, nameEnd);
    if (name.empty()) continue;  // "<>", "< a>": nothing to name an element by

    if (name[0] == L'!') {
      // Declarations may hold bracketed parts with their own '<' and '>': skip to the '>' that
      // balances this tag's '<'.
      int depth = 1;
      const wchar_t* q = nameEnd;
      for (; q < end; ++q) {
        if (*q == L'<') {
          ++depth;
        } else if (*q == L'>' && --depth == 0) {
          break;
        }
      }
      if (q == end) break;
      if (name == L"!DOCTYPE") m_doctype.assign(lt, q + 1);
      p = q + 1;
      continue;
    }
    if (name == L"?xml") {
      ParseAttributes(m_root, nameEnd, tagEnd);
      continue;
    }

    CMXNode* const child = current->AddChild(name.c_str());
    ParseAttributes(*child, nameEnd, tagEnd);
    // A processing instruction ("<?name ...?>") is kept as an element but never left open.
    if (selfClosing) continue;
    stack.push_back(current);
    current = child;
    const wchar_t* const next = Find(p, end, L'<');
    if (next > p && next + 1 < end && next[1] == L'/') {
      Unescape(value, p, size_t(next - p));
      child->SetText(value);
    }
  }
}
