#include "KdParser.h"

#include <algorithm>
#include <limits>
#include <new>

#include "KdPlatform.h"
#include "KeyModel.h"
#include "Messages.h"

// Under AddressSanitizer the arena marks what no live node holds, so that the sanitizer build
// still sees a stray node pointer.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define KD_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KD_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef KD_POISON
#define KD_POISON(p, n) ((void)(p), (void)(n))
#define KD_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// Token kinds: the operators (where one is the prefix of another, as "&" of "&&", the longer one
// wins); then the function names, the key operands, a number and the end of the text.
enum : UINT {
  TK_LAND = 0,
  TK_LOR = 1,
  TK_SHL = 2,
  TK_SHR = 3,
  TK_PLUS = 4,
  TK_MINUS = 5,
  TK_STAR = 6,
  TK_SLASH = 7,
  TK_PERCENT = 8,
  TK_CARET = 9,
  TK_BANG = 10,
  TK_TILDE = 11,
  TK_AMP = 12,
  TK_PIPE = 13,
  TK_LBRACKET = 14,
  TK_RBRACKET = 15,
  TK_LPAREN = 16,
  TK_RPAREN = 17,
  TK_COMMA = 18,
  TK_FUNCTION = 19,  // 19..27: log10 rbit cbit set get ds w w2 x
  TK_X = 27,
  TK_OPERAND = 28,  // 28..36: b w l/i m h bh wh lh/ih mh
  TK_NUMBER = 37,
  TK_END = 38,
};

const wchar_t* const kOperators[] = {L"&&", L"||", L"<<", L">>", L"+", L"-", L"*", L"/", L"%", L"^",
                                     L"!",  L"~",  L"&",  L"|",  L"[", L"]", L"(", L")", L","};
const wchar_t* const kFunctions[] = {L"log10", L"rbit", L"cbit", L"set", L"get", L"ds", L"w", L"w2", L"x"};

// Limits that keep the recursive descent, evaluation and destruction on a small stack however the
// text is built ("((((...", "- - - -...", "b0+b0+b0+..."); real formats stay far below them.
constexpr unsigned kMaxDepth = 64;
constexpr unsigned kMaxHeight = 256;

constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();

// ASCII and the no-break space only: the platform's classification would make the language differ
// between Windows and the native build, and beyond ASCII it only turns one fault into another.
bool IsSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r' || c == 0xA0;
}
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }

int DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  c = Lower(c);
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

bool InBase(wchar_t c, UINT base) {
  int d = DigitValue(c);
  return d >= 0 && UINT(d) < base;
}

// Value of an operand's index character: key byte or nibble k, or one of the special elements.
int64_t IndexValue(wchar_t c) {
  int d = DigitValue(c);
  if (d >= 0) return d;
  switch (c) {
    case L'x': return -1;
    case L'y': return -2;
    case L'l': return -4;
    default: return -3;
  }
}

bool IsIndexChar(wchar_t c) { return DigitValue(c) >= 0 || c == L'x' || c == L'y' || c == L'z' || c == L'l'; }

uint64_t LowMask(unsigned bits) { return bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1; }

uint64_t ToBits(int64_t v) { return uint64_t(v); }
int64_t FromBits(uint64_t v) { return int64_t(v); }

// One element of a byte operand by its index value: a key byte, the key length, or a Dallas CRC
// over the family code 0x01 and the first key bytes ('x': six bytes, 'y': three and three zeros).
uint64_t ByteElement(int64_t k, const BYTE* key, size_t length) {
  if (k >= 0) return uint64_t(k) < length ? key[k] : 0;
  if (k == -4) return length & 0xFF;
  if ((k == -1 || k == -2) && length >= 1) {
    BYTE frame[7] = {0x01, 0, 0, 0, 0, 0, 0};
    size_t take = std::min<size_t>(length, k == -1 ? 6 : 3);
    for (size_t i = 0; i < take; ++i) frame[1 + i] = key[i];
    return DallasCrc8(frame, 7);
  }
  return 0;
}

}  // namespace

CKdParserException::CKdParserException(HRESULT code, size_t position, const wchar_t* token)
    : Code(code), Position(position) {
  std::wstring text;
  KdMessageText(code, text);
  text += L" \"";
  text += token ? token : L"";
  text += L"\"";
  KdWideToAnsi(text, Message);
}

// ---- Nodes ----

CKdOperatorNode::CKdOperatorNode(UINT op, KdNodePtr left, KdNodePtr right, size_t position)
    : Op(op), Left(std::move(left)), Right(std::move(right)), Position(position) {
  Height = 1 + std::max(Left ? Left->Height : 0u, Right ? Right->Height : 0u);
}

int64_t CKdOperatorNode::Evaluate(const BYTE* key, size_t length) {
  const uint64_t a = ToBits(Left->Evaluate(key, length));
  switch (Op) {
    case KDOP_NOT: return FromBits(~a);
    case KDOP_LNOT: return a == 0 ? 1 : 0;
    case KDOP_NEG: return FromBits(0 - a);
    case KDOP_LAND: return a == 0 ? 0 : (Right->Evaluate(key, length) != 0 ? 1 : 0);
    case KDOP_LOR: return a != 0 ? 1 : (Right->Evaluate(key, length) != 0 ? 1 : 0);
    default: break;
  }
  const uint64_t b = ToBits(Right->Evaluate(key, length));
  switch (Op) {
    case KDOP_ADD: return FromBits(a + b);
    case KDOP_SUB: return FromBits(a - b);
    case KDOP_MUL: return FromBits(a * b);
    case KDOP_DIV:
    case KDOP_MOD: {
      if (b == 0) throw CKdParserException(E_FAIL, Position, Op == KDOP_DIV ? L"/" : L"%");
      const int64_t x = FromBits(a), y = FromBits(b);
      // The one quotient that overflows wraps, as the rest of the arithmetic does.
      if (y == -1) return Op == KDOP_DIV ? FromBits(0 - a) : 0;
      return Op == KDOP_DIV ? x / y : x % y;
    }
    case KDOP_SHL: return FromBits(a << (b & 63));
    case KDOP_SHR: {
      const unsigned s = unsigned(b & 63);
      return FromBits((a >> 63) ? ~(~a >> s) : a >> s);  // the sign bit is copied in
    }
    case KDOP_AND: return FromBits(a & b);
    case KDOP_XOR: return FromBits(a ^ b);
    case KDOP_OR: return FromBits(a | b);
    default: return 0;
  }
}

bool CKdFuncNode::CollectBytes(const BYTE* key, size_t length, size_t first, std::vector<BYTE>& bytes) {
  const int64_t n = Args[first - 1]->Evaluate(key, length);
  if (n < 1 || n > 7) return false;
  bytes.reserve((Args.size() - first) * size_t(n));
  for (size_t i = first; i < Args.size(); ++i) {
    const uint64_t v = ToBits(Args[i]->Evaluate(key, length));
    for (int64_t j = 0; j < n; ++j) bytes.push_back(BYTE(v >> (8 * j)));
  }
  return true;
}

int64_t CKdFuncNode::EvaluateBytes(const BYTE* key, size_t length, size_t elements) {
  uint64_t result = 0;
  const size_t count = std::min(Args.size(), elements);
  for (size_t j = 0; j < count; ++j) result |= (ByteElement(Args[j]->Evaluate(key, length), key, length) & 0xFF) << (8 * j);
  return FromBits(result);
}

int64_t CKdFuncNode::EvaluateNibbles(const BYTE* key, size_t length, size_t elements) {
  uint64_t result = 0;
  const size_t count = std::min(Args.size(), elements);
  for (size_t j = 0; j < count; ++j) {
    const int64_t k = Args[j]->Evaluate(key, length);
    uint64_t nibble;
    if (k >= 0) {
      const uint64_t index = uint64_t(k) / 2;
      const uint64_t byte = index < length ? key[index] : 0;
      nibble = (k & 1) ? byte >> 4 : byte & 0x0F;
    } else {
      nibble = ByteElement(k, key, length) & 0x0F;
    }
    result |= nibble << (4 * j);
  }
  return FromBits(result);
}

int64_t CKdFuncNode::Evaluate(const BYTE* key, size_t length) {
  auto arg = [&](size_t i) { return Args[i]->Evaluate(key, length); };
  switch (Func) {
    case KDF_LOG10: {
      if (Args.empty()) return 0;
      int64_t v = arg(0);
      if (v == 0) return -1;
      if (v < 0) return kMin64;
      // Counted on integers: log10 of a double is off by one just below large powers of ten.
      int64_t digits = 0;
      for (; v >= 10; v /= 10) ++digits;
      return digits;
    }
    case KDF_RBIT:
    case KDF_CBIT: {
      if (Args.size() < 2) return 0;
      const int64_t n = arg(0);
      if (n < 1 || n > 8) return 0;
      const uint64_t v = ToBits(arg(1));
      const unsigned bits = unsigned(8 * n);
      const uint64_t mask = LowMask(bits);
      if (Func == KDF_CBIT) {
        int count = 0;
        for (uint64_t low = v & mask; low; low &= low - 1) ++count;
        return count;
      }
      uint64_t reversed = 0;
      for (unsigned i = 0; i < bits; ++i)
        if ((v >> i) & 1) reversed |= uint64_t(1) << (bits - 1 - i);
      return FromBits((v & ~mask) | reversed);
    }
    case KDF_SET: {
      if (Args.size() < 2) return 0;
      const int32_t index = int32_t(uint32_t(ToBits(arg(0))));
      const int64_t v = arg(1);
      Parser->Variables[index] = v;
      return v;
    }
    case KDF_GET: {
      if (Args.empty()) return 0;
      auto found = Parser->Variables.find(int32_t(uint32_t(ToBits(arg(0)))));
      return found == Parser->Variables.end() ? 0 : found->second;
    }
    case KDF_DS: {
      if (Args.size() < 2) return 0;
      std::vector<BYTE> bytes;
      if (!CollectBytes(key, length, 1, bytes)) return 0;
      return DallasCrc8(bytes.data(), ptrdiff_t(bytes.size()));
    }
    case KDF_W:
    case KDF_W2: {
      if (Args.size() < 3) return 0;
      // A frame needs two parity bits; fewer bits would leave the frame builder a negative data count.
      const int64_t bits = arg(0);
      if (bits < 2 || bits > 64) return 0;
      std::vector<BYTE> bytes;
      if (!CollectBytes(key, length, 2, bytes)) return 0;
      return FromBits(MakeWiegandFrame(UINT(bits), bytes.data(), bytes.size(), Func == KDF_W ? 0 : 1));
    }
    case KDF_X: {
      if (Args.empty()) return 0;
      const int64_t i = arg(0);
      return (i >= 0 && uint64_t(i) < length) ? key[i] : 0;
    }
    case KDF_B: return EvaluateBytes(key, length, 1);
    case KDF_WORD: return EvaluateBytes(key, length, 2);
    case KDF_L: return EvaluateBytes(key, length, 4);
    case KDF_M: return EvaluateBytes(key, length, 8);
    case KDF_H: return EvaluateNibbles(key, length, 1);
    case KDF_BH: return EvaluateNibbles(key, length, 2);
    case KDF_WH: return EvaluateNibbles(key, length, 4);
    case KDF_LH: return EvaluateNibbles(key, length, 8);
    case KDF_MH: return EvaluateNibbles(key, length, 16);
    default: return 0;
  }
}

// ---- Parser ----

namespace {
constexpr size_t kChunkBytes = 2048;
constexpr size_t kNodeAlign = 16;
}  // namespace

CKdParser::~CKdParser() {
  Expressions.clear();  // the trees go before the arena that holds them
  for (auto& chunk : m_chunks) KD_UNPOISON(chunk.get(), kChunkBytes);
}

template <class T, class... Args>
std::unique_ptr<T, KdNodeDeleter> CKdParser::Make(Args&&... args) {
  static_assert(sizeof(T) <= kChunkBytes && alignof(T) <= kNodeAlign, "node fits the arena");
  const size_t size = (sizeof(T) + kNodeAlign - 1) & ~(kNodeAlign - 1);
  if (m_chunks.empty() || m_used + size > kChunkBytes) {
    if (!m_chunks.empty()) ++m_chunk;
    if (m_chunk == m_chunks.size()) {
      m_chunks.emplace_back(new unsigned char[kChunkBytes]);
      KD_POISON(m_chunks.back().get(), kChunkBytes);
    }
    m_used = 0;
  }
  void* block = m_chunks[m_chunk].get() + m_used;
  KD_UNPOISON(block, size);
  m_used += size;
  return std::unique_ptr<T, KdNodeDeleter>(new (block) T(std::forward<Args>(args)...));
}

void CKdParser::Parse(const wchar_t* params) {
  Expressions.clear();
  m_chunk = 0;  // every node of the last parse is gone: its memory is reused
  m_used = 0;
  for (auto& chunk : m_chunks) KD_POISON(chunk.get(), kChunkBytes);
  Variables.clear();
  Values.clear();
  Text = params ? params : L"";
  Position = 0;
  m_depth = 0;
  NextToken();
  while (Token != TK_END) {
    Expressions.push_back(ParseOr());
    if (Token == TK_COMMA) NextToken();
  }
}

void CKdParser::Evaluate(const BYTE* key, size_t length) {
  Key.assign(key, key + (key ? length : 0));
  Values.clear();
  Values.reserve(Expressions.size());
  for (auto& expression : Expressions) Values.push_back(expression->Evaluate(Key.data(), Key.size()));
}

void CKdParser::ThrowError(HRESULT code) {
  Expressions.clear();
  throw CKdParserException(code, Position - TokenText.size(), TokenText.c_str());
}

void CKdParser::NextToken() {
  TokenText.clear();
  while (Position < Text.size() && IsSpace(Text[Position])) ++Position;
  m_tokenStart = Position;
  if (Position >= Text.size()) {
    Token = TK_END;
    return;
  }
  const wchar_t c = Text[Position];
  if (IsDigit(c)) return ReadNumber();
  if (IsLetter(c)) return ReadWord();
  // The operator table by its first character; a doubled "&", "|", "<" or ">" is tried first.
  const wchar_t second = Position + 1 < Text.size() ? Text[Position + 1] : 0;
  UINT kind = TK_END;
  switch (c) {
    case L'&': kind = second == L'&' ? TK_LAND : TK_AMP; break;
    case L'|': kind = second == L'|' ? TK_LOR : TK_PIPE; break;
    case L'<': kind = second == L'<' ? TK_SHL : TK_END; break;
    case L'>': kind = second == L'>' ? TK_SHR : TK_END; break;
    case L'+': kind = TK_PLUS; break;
    case L'-': kind = TK_MINUS; break;
    case L'*': kind = TK_STAR; break;
    case L'/': kind = TK_SLASH; break;
    case L'%': kind = TK_PERCENT; break;
    case L'^': kind = TK_CARET; break;
    case L'!': kind = TK_BANG; break;
    case L'~': kind = TK_TILDE; break;
    case L'[': kind = TK_LBRACKET; break;
    case L']': kind = TK_RBRACKET; break;
    case L'(': kind = TK_LPAREN; break;
    case L')': kind = TK_RPAREN; break;
    case L',': kind = TK_COMMA; break;
    default: break;
  }
  if (kind != TK_END) {
    Token = kind;
    Position += kind <= TK_SHR ? 2 : 1;
    return;
  }
  TokenText.assign(1, c);
  ++Position;
  ThrowError(VOMBRA_E_UNKNOWN_SYMBOL);
}

void CKdParser::ReadNumber() {
  Token = TK_NUMBER;
  Base = 10;
  if (Text[Position] == L'0') {
    TokenText += L'0';
    ++Position;
    Base = 8;
    const wchar_t letter = Position < Text.size() ? Lower(Text[Position]) : 0;
    if (letter == L'b' || letter == L'x') {
      TokenText.clear();
      ++Position;
      Base = letter == L'b' ? 2 : 16;
      if (Position >= Text.size()) ThrowError(VOMBRA_E_UNEXPECTED_END);
      if (DigitValue(Text[Position]) < 0) {
        TokenText.assign(1, Text[Position]);
        ++Position;
        ThrowError(VOMBRA_E_NUMBER_SUFFIX);
      }
    }
  }
  while (Position < Text.size() && InBase(Text[Position], Base)) TokenText += Text[Position++];
}

void CKdParser::ReadWord() {
  const size_t start = Position;
  while (Position < Text.size() && (IsLetter(Text[Position]) || IsDigit(Text[Position]))) ++Position;
  TokenText.assign(Text, start, Position - start);
  for (wchar_t& c : TokenText) c = Lower(c);
  // A name is a function only with its bracket right behind it: "log10 (b0)" is no call.
  const wchar_t next = Position < Text.size() ? Text[Position] : 0;
  if (next == L'(' || next == L'[') {
    for (UINT f = 0; f < sizeof kFunctions / sizeof *kFunctions; ++f) {
      if (TokenText == kFunctions[f]) {
        Token = TK_FUNCTION + f;
        return;
      }
    }
  }
  if (TokenText.size() < 2) ThrowError(VOMBRA_E_UNKNOWN_KEYWORD);
  UINT kind;
  size_t elements;
  switch (TokenText[0]) {
    case L'b': kind = TK_OPERAND + 0, elements = 1; break;
    case L'w': kind = TK_OPERAND + 1, elements = 2; break;
    case L'l':
    case L'i': kind = TK_OPERAND + 2, elements = 4; break;
    case L'm': kind = TK_OPERAND + 3, elements = 8; break;
    case L'h': kind = TK_OPERAND + 4, elements = 1; break;
    default: ThrowError(VOMBRA_E_UNKNOWN_KEYWORD);
  }
  size_t first = 1;
  if (kind != TK_OPERAND + 4 && TokenText[1] == L'h') {
    kind += 5;
    elements *= 2;
    first = 2;
  }
  for (size_t i = first; i < TokenText.size() && i - first < elements; ++i)
    if (!IsIndexChar(TokenText[i])) ThrowError(VOMBRA_E_UNKNOWN_KEYWORD);
  Token = kind;
}

void CKdParser::Enter() {
  if (++m_depth > kMaxDepth) {
    // The token that opened one level too many.
    const std::wstring token = Token < TK_FUNCTION ? kOperators[Token] : TokenText;
    Expressions.clear();
    throw CKdParserException(E_FAIL, m_tokenStart, token.c_str());
  }
}

namespace {
struct DepthGuard {
  unsigned& depth;
  ~DepthGuard() { --depth; }
};
}  // namespace

KdNodePtr CKdParser::MakeOperator(UINT op, KdNodePtr left, KdNodePtr right, size_t position) {
  KdNodePtr node = Make<CKdOperatorNode>(op, std::move(left), std::move(right), position);
  if (node->Height > kMaxHeight) {
    const CKdOperatorNode& made = static_cast<const CKdOperatorNode&>(*node);
    const wchar_t* token = L"";
    switch (made.Op) {
      case KDOP_NOT: token = L"~"; break;
      case KDOP_LNOT: token = L"!"; break;
      case KDOP_NEG: token = L"-"; break;
      default: {
        static const wchar_t* const kBinary[] = {L"+", L"-", L"*", L"/", L"%", L"", L"", L"", L"<<",
                                                 L">>", L"&", L"^", L"|", L"&&", L"||"};
        token = kBinary[made.Op];
      }
    }
    Expressions.clear();
    throw CKdParserException(E_FAIL, position, token);
  }
  return node;
}

// Or -> And { "||" And }
KdNodePtr CKdParser::ParseOr() {
  Enter();
  DepthGuard guard{m_depth};
  KdNodePtr left = ParseAnd();
  while (Token == TK_LOR) {
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(KDOP_LOR, std::move(left), ParseAnd(), at);
  }
  return left;
}

// And -> BitOr { "&&" BitOr }
KdNodePtr CKdParser::ParseAnd() {
  KdNodePtr left = ParseBitOr();
  while (Token == TK_LAND) {
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(KDOP_LAND, std::move(left), ParseBitOr(), at);
  }
  return left;
}

// BitOr -> Xor { "|" Xor }
KdNodePtr CKdParser::ParseBitOr() {
  KdNodePtr left = ParseXor();
  while (Token == TK_PIPE) {
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(KDOP_OR, std::move(left), ParseXor(), at);
  }
  return left;
}

// Xor -> BitAnd { "^" BitAnd }
KdNodePtr CKdParser::ParseXor() {
  KdNodePtr left = ParseBitAnd();
  while (Token == TK_CARET) {
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(KDOP_XOR, std::move(left), ParseBitAnd(), at);
  }
  return left;
}

// BitAnd -> Shift { "&" Shift }
KdNodePtr CKdParser::ParseBitAnd() {
  KdNodePtr left = ParseShift();
  while (Token == TK_AMP) {
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(KDOP_AND, std::move(left), ParseShift(), at);
  }
  return left;
}

// Shift -> Add { ("<<" | ">>") Add }
KdNodePtr CKdParser::ParseShift() {
  KdNodePtr left = ParseAdd();
  while (Token == TK_SHL || Token == TK_SHR) {
    const UINT op = Token == TK_SHL ? KDOP_SHL : KDOP_SHR;
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(op, std::move(left), ParseAdd(), at);
  }
  return left;
}

// Add -> Mul { ("+" | "-") Mul }
KdNodePtr CKdParser::ParseAdd() {
  KdNodePtr left = ParseMul();
  while (Token == TK_PLUS || Token == TK_MINUS) {
    const UINT op = Token == TK_PLUS ? KDOP_ADD : KDOP_SUB;
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(op, std::move(left), ParseMul(), at);
  }
  return left;
}

// Mul -> Unary { ("*" | "/" | "%") Unary }
KdNodePtr CKdParser::ParseMul() {
  KdNodePtr left = ParseUnary();
  while (Token == TK_STAR || Token == TK_SLASH || Token == TK_PERCENT) {
    const UINT op = Token == TK_STAR ? KDOP_MUL : Token == TK_SLASH ? KDOP_DIV : KDOP_MOD;
    const size_t at = m_tokenStart;
    NextToken();
    left = MakeOperator(op, std::move(left), ParseUnary(), at);
  }
  return left;
}

// Unary -> ("+" | "-" | "!" | "~") Unary | Primary
KdNodePtr CKdParser::ParseUnary() {
  if (Token == TK_PLUS) {
    NextToken();
    Enter();
    DepthGuard guard{m_depth};
    return ParseUnary();
  }
  if (Token == TK_MINUS || Token == TK_BANG || Token == TK_TILDE) {
    const UINT op = Token == TK_MINUS ? KDOP_NEG : Token == TK_BANG ? KDOP_LNOT : KDOP_NOT;
    const size_t at = m_tokenStart;
    NextToken();
    Enter();
    DepthGuard guard{m_depth};
    return MakeOperator(op, ParseUnary(), nullptr, at);
  }
  return ParsePrimary();
}

// Primary -> "(" Or ")" | name "(" [ Or { "," Or } ] ")" | "x" "[" Or "]" | operand | number
KdNodePtr CKdParser::ParsePrimary() {
  if (Token == TK_LPAREN) {
    NextToken();
    KdNodePtr inner = ParseOr();
    if (Token != TK_RPAREN) ThrowError(VOMBRA_E_EXPECTED_CLOSE);
    NextToken();
    return inner;
  }
  if (Token >= TK_FUNCTION && Token <= TK_X) return ParseCall();
  if (Token >= TK_OPERAND && Token < TK_NUMBER) return ParseOperand();
  if (Token == TK_NUMBER) {
    uint64_t value = 0;
    for (wchar_t c : TokenText) {
      const uint64_t digit = uint64_t(DigitValue(c));
      if (value > (uint64_t(kMax64) - digit) / Base) {
        value = uint64_t(kMax64);  // a literal beyond the signed range saturates
        break;
      }
      value = value * Base + digit;
    }
    NextToken();
    return Make<CKdValueNode>(int64_t(value));
  }
  if (Token == TK_END) ThrowError(VOMBRA_E_UNEXPECTED_END);
  TokenText = kOperators[Token];
  ThrowError(VOMBRA_E_UNEXPECTED_OPERATOR);
}

KdNodePtr CKdParser::ParseCall() {
  const bool index = Token == TK_X;
  auto node = Make<CKdFuncNode>(Token - TK_FUNCTION, this);
  NextToken();
  if (Token != (index ? TK_LBRACKET : TK_LPAREN)) ThrowError(VOMBRA_E_EXPECTED_OPEN);
  NextToken();
  if (index) {
    node->Args.push_back(ParseOr());
    if (Token != TK_RBRACKET) ThrowError(VOMBRA_E_EXPECTED_CLOSE);
  } else if (Token != TK_RPAREN) {
    for (;;) {
      node->Args.push_back(ParseOr());
      if (Token == TK_COMMA) {
        NextToken();
        continue;
      }
      if (Token != TK_RPAREN) ThrowError(VOMBRA_E_EXPECTED_CLOSE);
      break;
    }
  }
  const size_t at = m_tokenStart;
  NextToken();
  for (const auto& arg : node->Args) node->Height = std::max(node->Height, arg->Height + 1);
  if (node->Height > kMaxHeight) {
    Expressions.clear();
    throw CKdParserException(E_FAIL, at, index ? L"]" : L")");
  }
  return node;
}

KdNodePtr CKdParser::ParseOperand() {
  static const size_t kElements[] = {1, 2, 4, 8, 1, 2, 4, 8, 16};
  const UINT kind = Token - TK_OPERAND;
  const size_t first = (kind >= 5) ? 2 : 1;
  auto node = Make<CKdFuncNode>(Token - TK_FUNCTION, this);
  node->Args.reserve(std::min(TokenText.size() - first, kElements[kind]));
  for (size_t i = first; i < TokenText.size() && i - first < kElements[kind]; ++i)
    node->Args.push_back(Make<CKdValueNode>(IndexValue(TokenText[i])));
  if (!node->Args.empty()) node->Height = 2;
  NextToken();
  return node;
}
