// text_escape.cc - display escaping, and texts made fit for JSON, of texts that may hold any byte.
#include "text_escape.h"

#include <stdio.h>

namespace {

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when none starts there: overlong
// forms, surrogates and code points above U+10FFFF are not valid.
size_t Utf8Length(const unsigned char *p) {
  if (p[0] < 0x80) return 1;
  size_t length;
  unsigned int code;
  if ((p[0] & 0xE0) == 0xC0) {
    length = 2;
    code = p[0] & 0x1F;
  } else if ((p[0] & 0xF0) == 0xE0) {
    length = 3;
    code = p[0] & 0x0F;
  } else if ((p[0] & 0xF8) == 0xF0) {
    length = 4;
    code = p[0] & 0x07;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;  // also stops at the terminating NUL
    code = (code << 6) | (p[i] & 0x3F);
  }
  static const unsigned int kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool ValidUtf8(const unsigned char *p) {
  while (*p != '\0') {
    size_t n = Utf8Length(p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

void AppendHex(std::string *out, const char *format, unsigned int value) {
  char hex[8];
  snprintf(hex, sizeof hex, format, value);
  *out += hex;
}

// The short escape of a byte below 0x80, or nullptr.
const char *ShortEscape(unsigned char c) {
  switch (c) {
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return nullptr;
  }
}

}  // namespace

void AppendDisplay(std::string *out, const char *text) {
  if (text == nullptr) {
    *out += '?';
    return;
  }
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (*p != '\0') {
    size_t n = Utf8Length(p);
    if (const char *escape = n == 1 ? ShortEscape(*p) : nullptr) {
      *out += escape;
    } else if (n == 0 || *p < 0x20 || *p == 0x7F) {
      AppendHex(out, "\\x%02x", *p);
      n = 1;
    } else {
      out->append(reinterpret_cast<const char *>(p), n);
    }
    p += n;
  }
}

std::string JsonText(const char *text, bool *bytewise) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  *bytewise = !ValidUtf8(p);
  if (!*bytewise) return text;
  std::string out;
  for (; *p != '\0'; ++p) {
    if (*p < 0x80) {
      out += static_cast<char>(*p);
    } else {  // the code point of the byte's value, U+0080 to U+00FF, in UTF-8
      out += static_cast<char>(0xC0 | (*p >> 6));
      out += static_cast<char>(0x80 | (*p & 0x3F));
    }
  }
  return out;
}
