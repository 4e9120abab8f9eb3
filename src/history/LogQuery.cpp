#include "history/LogQuery.h"

#include <cctype>
#include <string>

namespace zul {
namespace {

enum class TTok { Word, Number, Text, Star, Eq, GreaterEq, LessEq, Semicolon, End };

struct TToken {
  TTok Kind = TTok::End;
  std::string_view Value;  // the word, the digits or the quoted text without its quotes
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_' || c == '.';
}

[[noreturn]] void Reject(const std::string& why) {
  throw TLogError("The statistics query is not one the traffic log understands: " + why + ".");
}

class TLexer {
 public:
  explicit TLexer(std::string_view text) : Text(text) {}

  TToken Next() {
    while (Pos < Text.size() && IsSpace(Text[Pos])) ++Pos;
    if (Pos == Text.size()) return {TTok::End, {}};
    const char c = Text[Pos];
    const std::size_t start = Pos;
    if (IsDigit(c)) {
      while (Pos < Text.size() && IsDigit(Text[Pos])) ++Pos;
      // "17x" is neither a number nor a word.
      if (Pos < Text.size() && IsWordChar(Text[Pos])) Reject("malformed number");
      return {TTok::Number, Text.substr(start, Pos - start)};
    }
    if (IsWordChar(c)) {
      while (Pos < Text.size() && IsWordChar(Text[Pos])) ++Pos;
      return {TTok::Word, Text.substr(start, Pos - start)};
    }
    if (c == '"') {
      const std::size_t close = Text.find('"', Pos + 1);
      if (close == std::string_view::npos) Reject("unterminated date");
      Pos = close + 1;
      return {TTok::Text, Text.substr(start + 1, close - start - 1)};
    }
    ++Pos;
    switch (c) {
      case '*':
        return {TTok::Star, {}};
      case '=':
        return {TTok::Eq, {}};
      case ';':
        return {TTok::Semicolon, {}};
      case '>':
      case '<':
        if (Pos < Text.size() && Text[Pos] == '=') {
          ++Pos;
          return {c == '>' ? TTok::GreaterEq : TTok::LessEq, {}};
        }
        break;
      default:
        break;
    }
    Reject("unexpected character");
  }

 private:
  std::string_view Text;
  std::size_t Pos = 0;
};

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

class TParser {
 public:
  explicit TParser(std::string_view text) : Lex(text) { Cur = Lex.Next(); }

  TLogQuery Parse() {
    TLogQuery q;
    Word("select");
    Expect(TTok::Star, "'*'");
    Word("from");
    Word("bw.DB");
    Word("where");
    Word("Flag");
    Expect(TTok::Eq, "'='");
    q.Flag = Number();
    if (Cur.Kind == TTok::Word && SameWord(Cur.Value, "and")) {
      Advance();
      Word("CDate");
      if (Cur.Kind == TTok::Eq) {
        Advance();
        q.Kind = TLogQuery::TKind::OneDate;
        q.From = Date();
      } else {
        Expect(TTok::GreaterEq, "'>=' or '='");
        q.Kind = TLogQuery::TKind::DateRange;
        q.From = Date();
        Word("and");
        Word("CDate");
        Expect(TTok::LessEq, "'<='");
        q.To = Date();
      }
    }
    Expect(TTok::Semicolon, "';'");
    if (Cur.Kind != TTok::End) Reject("text after ';'");
    return q;
  }

 private:
  void Advance() { Cur = Lex.Next(); }

  void Word(std::string_view word) {
    if (Cur.Kind != TTok::Word || !SameWord(Cur.Value, word))
      Reject("expected " + std::string(word));
    Advance();
  }

  void Expect(TTok kind, const char* what) {
    if (Cur.Kind != kind) Reject(std::string("expected ") + what);
    Advance();
  }

  int Number() {
    if (Cur.Kind != TTok::Number || Cur.Value.size() > 9) Reject("expected a flag number");
    int n = 0;
    for (char c : Cur.Value) n = n * 10 + (c - '0');
    Advance();
    return n;
  }

  // "mm/dd/yyyy", digits exactly as the statistics window writes them.
  TDate Date() {
    if (Cur.Kind != TTok::Text) Reject("expected a quoted date");
    const std::string_view s = Cur.Value;
    auto digits = [&](std::size_t from, std::size_t count) {
      unsigned n = 0;
      for (std::size_t i = from; i < from + count; ++i) {
        if (!IsDigit(s[i])) Reject("malformed date");
        n = n * 10 + static_cast<unsigned>(s[i] - '0');
      }
      return n;
    };
    if (s.size() != 10 || s[2] != '/' || s[5] != '/') Reject("malformed date");
    const unsigned month = digits(0, 2);
    const unsigned day = digits(3, 2);
    const unsigned year = digits(6, 4);
    const TDate date{std::chrono::year(static_cast<int>(year)), std::chrono::month(month),
                     std::chrono::day(day)};
    if (year == 0 || !date.ok()) Reject("no such date");
    Advance();
    return date;
  }

  TLexer Lex;
  TToken Cur;
};

}  // namespace

TLogQuery ParseLogQuery(std::string_view sql) {
  return TParser(sql).Parse();
}

}  // namespace zul
