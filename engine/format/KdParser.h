// The key-number format language: a parameter text is a list of integer expressions over the bytes
// of a key ("b2 w01", "w2(26,1,b0,b1,b2)"). CKdParser turns the text into expression trees; each tree
// is then evaluated over the key bytes. Pure code: no Windows header beyond PlatformTypes.h, so the
// native sanitizer and fuzz builds compile it unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "PlatformTypes.h"

#ifndef _WIN32
// The native build has no winerror.h; the codes themselves come from the generated Messages.h.
typedef int32_t HRESULT;
#ifndef S_OK
#define S_OK ((HRESULT)0)
#endif
#ifndef E_FAIL
#define E_FAIL ((HRESULT)0x80004005L)
#endif
#endif

// A fault of a parameter text: the code (one of the language's HRESULTs, or E_FAIL for a division by
// zero or a text nested too deeply), the offset of the offending token in UTF-16 units, and the
// message-table text of the code followed by the token in double quotes, in the ANSI code page.
class CKdParserException : public std::exception {
 public:
  CKdParserException(HRESULT code, size_t position, const wchar_t* token);
  const char* what() const noexcept override { return Message.c_str(); }

  HRESULT Code;
  size_t Position;
  std::string Message;
};

class CKdParser;

class CKdParseNode {
 public:
  virtual ~CKdParseNode() = default;
  virtual int64_t Evaluate(const BYTE* key, size_t length) = 0;

  // Height of the subtree; the parser keeps it bounded so that evaluation and destruction, which
  // recurse, stay within a small stack whatever the text.
  unsigned Height = 1;
};

// Nodes live in their parser's arena: a format is parsed afresh for every key, and one heap block
// per node would dominate the cost of a number text. A node pointer ends the node's life; the arena
// keeps its memory until the parser parses again or goes.
struct KdNodeDeleter {
  void operator()(CKdParseNode* node) const noexcept { node->~CKdParseNode(); }
};
typedef std::unique_ptr<CKdParseNode, KdNodeDeleter> KdNodePtr;

class CKdOperatorNode : public CKdParseNode {
 public:
  // A unary operator leaves right empty.
  CKdOperatorNode(UINT op, KdNodePtr left, KdNodePtr right, size_t position);
  int64_t Evaluate(const BYTE* key, size_t length) override;

  UINT Op;
  KdNodePtr Left;
  KdNodePtr Right;
  size_t Position;  // offset of the operator in the text, for the division fault
};

class CKdValueNode : public CKdParseNode {
 public:
  explicit CKdValueNode(int64_t value) : Value(value) {}
  int64_t Evaluate(const BYTE*, size_t) override { return Value; }

  int64_t Value;
};

// A function call ("log10", "rbit", ... "x") or a key operand (b, w, l/i, m and their nibble forms),
// whose arguments are the values of its index characters.
class CKdFuncNode : public CKdParseNode {
 public:
  CKdFuncNode(UINT func, CKdParser* parser) : Func(func), Parser(parser) {}
  int64_t Evaluate(const BYTE* key, size_t length) override;

  UINT Func;
  std::vector<KdNodePtr> Args;
  CKdParser* Parser;

 private:
  int64_t EvaluateBytes(const BYTE* key, size_t length, size_t elements);
  int64_t EvaluateNibbles(const BYTE* key, size_t length, size_t elements);
  // ds, w, w2: the low n bytes of each argument from `first` on, least significant byte first.
  bool CollectBytes(const BYTE* key, size_t length, size_t first, std::vector<BYTE>& bytes);
};

// Operator codes of CKdOperatorNode.
enum : UINT {
  KDOP_ADD = 0,
  KDOP_SUB = 1,
  KDOP_MUL = 2,
  KDOP_DIV = 3,
  KDOP_MOD = 4,
  KDOP_NOT = 5,   // ~
  KDOP_LNOT = 6,  // !
  KDOP_NEG = 7,
  KDOP_SHL = 8,
  KDOP_SHR = 9,
  KDOP_AND = 10,
  KDOP_XOR = 11,
  KDOP_OR = 12,
  KDOP_LAND = 13,
  KDOP_LOR = 14,
};

// Function codes of CKdFuncNode: 0..8 the named functions, 9..17 the key operands.
enum : UINT {
  KDF_LOG10 = 0,
  KDF_RBIT = 1,
  KDF_CBIT = 2,
  KDF_SET = 3,
  KDF_GET = 4,
  KDF_DS = 5,
  KDF_W = 6,
  KDF_W2 = 7,
  KDF_X = 8,
  KDF_B = 9,
  KDF_WORD = 10,
  KDF_L = 11,
  KDF_M = 12,
  KDF_H = 13,
  KDF_BH = 14,
  KDF_WH = 15,
  KDF_LH = 16,
  KDF_MH = 17,
};

class CKdParser {
 public:
  CKdParser() = default;
  ~CKdParser();
  CKdParser(const CKdParser&) = delete;
  CKdParser& operator=(const CKdParser&) = delete;

  // Parses a NUL-terminated parameter text into Expressions, replacing an earlier list, and clears
  // Variables. Throws CKdParserException at the first fault, with no expressions left.
  void Parse(const wchar_t* params);

  // Copies the key into Key and evaluates every expression in order into Values; a `set` in one
  // expression is seen by a `get` in a later one. Throws CKdParserException on a division by zero.
  void Evaluate(const BYTE* key, size_t length);

  std::wstring Text;
  UINT Token = 0;
  std::wstring TokenText;
  UINT Base = 10;
  size_t Position = 0;
  std::map<int32_t, int64_t> Variables;
  std::vector<BYTE> Key;
  std::vector<int64_t> Values;
  std::vector<KdNodePtr> Expressions;

 private:
  void NextToken();
  [[noreturn]] void ThrowError(HRESULT code);
  void ReadNumber();
  void ReadWord();
  KdNodePtr ParseOr();
  KdNodePtr ParseAnd();
  KdNodePtr ParseBitOr();
  KdNodePtr ParseXor();
  KdNodePtr ParseBitAnd();
  KdNodePtr ParseShift();
  KdNodePtr ParseAdd();
  KdNodePtr ParseMul();
  KdNodePtr ParseUnary();
  KdNodePtr ParsePrimary();
  KdNodePtr ParseOperand();
  KdNodePtr ParseCall();
  KdNodePtr MakeOperator(UINT op, KdNodePtr left, KdNodePtr right, size_t position);
  void Enter();
  template <class T, class... Args>
  std::unique_ptr<T, KdNodeDeleter> Make(Args&&... args);

  std::vector<std::unique_ptr<unsigned char[]>> m_chunks;  // the node arena
  size_t m_chunk = 0;                                       // chunk being filled
  size_t m_used = 0;                                        // bytes used in it

  size_t m_tokenStart = 0;  // offset of the current token's first character
  unsigned m_depth = 0;     // nesting of the descent functions now running
};
