// json_value.h - a strict little JSON reader for tests that check machine-readable output.
#ifndef VAK_TESTS_JSON_VALUE_H_
#define VAK_TESTS_JSON_VALUE_H_

#include <string>
#include <utility>
#include <vector>

namespace vaktest {

struct JsonValue {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  std::string text;  // a string's UTF-8 bytes, a number's or Boolean's spelling
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  // The member called name; a null value when there is none.
  const JsonValue &operator[](const std::string &name) const;
};

// Parses exactly one JSON value spanning the whole text (blanks around it allowed); false on any
// breach of the grammar, raw control characters and invalid escapes included.
bool ParseJson(const std::string &text, JsonValue *value);

// The bytes that a string written byte by byte stands for: each character (below U+0100) as the
// byte of its value. False when a character is U+0100 or above.
bool CodePointsAsBytes(const std::string &utf8, std::string *bytes);

}  // namespace vaktest

#endif  // VAK_TESTS_JSON_VALUE_H_
