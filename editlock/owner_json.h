// owner_json.h - JSON objects for the listings: members with the names of those written byte by
// byte, and an owner section as an object. The JSON itself is nlohmann's; only this module and
// its .cc see that library.
#ifndef EDITLOCK_OWNER_JSON_H_
#define EDITLOCK_OWNER_JSON_H_

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "vak.h"

// A JSON object's members in the order they were added, with the names of those whose texts had
// to be written byte by byte (see JsonText in text_escape.h).
class JsonObject {
 public:
  JsonObject();
  ~JsonObject();
  JsonObject(JsonObject &&) noexcept;
  JsonObject &operator=(JsonObject &&) noexcept;

  // A text member; NULL is written as null.
  void Text(const char *name, const char *value);
  // A number member from its decimal digits.
  void Number(const char *name, const char *digits);
  // A member whose value is JSON text already (another object's Close, "true", "[...]").
  void Raw(const char *name, const std::string &json);
  // The object on one line, with "bytes_escaped" when a text needed it.
  std::string Close();

 private:
  std::unique_ptr<nlohmann::ordered_json> object_;
  std::vector<std::string> escaped_;
};

// An owner section as an object: every field of OwnerFields, numbers as numbers.
std::string OwnerJson(const LockStake *owner);

#endif  // EDITLOCK_OWNER_JSON_H_
