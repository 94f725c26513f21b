#include "json_value.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace vaktest {

namespace {

struct Reader {
  const std::string &s;
  size_t at = 0;

  void Blanks() {
    while (at < s.size() && strchr(" \t\r\n", s[at]) != nullptr) ++at;
  }
  bool Take(char c) {
    Blanks();
    if (at >= s.size() || s[at] != c) return false;
    ++at;
    return true;
  }
  static void PutUtf8(unsigned long cp, std::string *out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | cp >> 6);
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xE0 | cp >> 12);
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool String(std::string *out) {
    if (!Take('"')) return false;
    while (at < s.size() && s[at] != '"') {
      unsigned char c = s[at++];
      if (c < 0x20) return false;
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (at >= s.size()) return false;
      const char e = s[at++];
      const char *simple = strchr("\"\\/bfnrt", e);
      if (simple != nullptr && e != '\0') {
        *out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
      } else if (e == 'u' && at + 4 <= s.size()) {
        const std::string hex = s.substr(at, 4);
        if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        PutUtf8(strtoul(hex.c_str(), nullptr, 16), out);  // surrogates are not needed here
        at += 4;
      } else {
        return false;
      }
    }
    return at++ < s.size();
  }
  bool Value(JsonValue *v) {
    Blanks();
    if (at >= s.size()) return false;
    const char c = s[at];
    if (c == '"') {
      v->kind = JsonValue::kString;
      return String(&v->text);
    }
    if (c == '[' || c == '{') {
      const bool object = c == '{';
      v->kind = object ? JsonValue::kObject : JsonValue::kArray;
      ++at;
      if (Take(object ? '}' : ']')) return true;
      do {
        JsonValue item;
        std::string name;
        if (object && (!String(&name) || !Take(':'))) return false;
        if (!Value(&item)) return false;
        if (object) {
          v->members.emplace_back(name, item);
        } else {
          v->items.push_back(item);
        }
      } while (Take(','));
      return Take(object ? '}' : ']');
    }
    for (const char *word : {"null", "true", "false"}) {
      if (s.compare(at, strlen(word), word) == 0) {
        v->kind = word[0] == 'n' ? JsonValue::kNull : JsonValue::kBool;
        v->text = word;
        at += strlen(word);
        return true;
      }
    }
    const size_t end = s.find_first_not_of("-+.eE0123456789", at);
    v->kind = JsonValue::kNumber;
    v->text = s.substr(at, end - at);
    at = end == std::string::npos ? s.size() : end;
    char *stop = nullptr;
    strtod(v->text.c_str(), &stop);
    return !v->text.empty() && *stop == '\0' && (isdigit(v->text.back()) != 0);
  }
};

}  // namespace

const JsonValue &JsonValue::operator[](const std::string &name) const {
  static const JsonValue kNone;
  for (const auto &member : members) {
    if (member.first == name) return member.second;
  }
  return kNone;
}

bool ParseJson(const std::string &text, JsonValue *value) {
  Reader reader{text};
  if (!reader.Value(value)) return false;
  reader.Blanks();
  return reader.at == text.size();
}

bool CodePointsAsBytes(const std::string &utf8, std::string *bytes) {
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = utf8[i];
    if (c < 0x80) {
      *bytes += static_cast<char>(c);
    } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size() && c <= 0xC3) {
      *bytes += static_cast<char>(((c & 0x1F) << 6) | (utf8[++i] & 0x3F));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace vaktest
