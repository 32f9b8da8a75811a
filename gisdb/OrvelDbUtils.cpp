#include "gisdb/OrvelDbUtils.h"

std::string ReplaceQuoteMarks(const std::string& text, const std::string& marks,
                              const std::vector<std::string>& replacements) {
  std::string out;
  out.reserve(text.size());
  char literal = 0;  // the quote character that opened the current literal, or 0
  for (char c : text) {
    if (c == '\'' || c == '"') {
      if (literal == 0)
        literal = c;
      else if (literal == c)
        literal = 0;
    }
    if (literal == 0) {
      std::size_t m = marks.find(c);
      if (m != std::string::npos && m < replacements.size()) {
        out += replacements[m];
        continue;
      }
    }
    out += c;
  }
  return out;
}
