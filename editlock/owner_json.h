// owner_json.h - JSON objects for the listings: members with the names of those written byte by
// byte, and an owner section as an object.
#ifndef EDITLOCK_OWNER_JSON_H_
#define EDITLOCK_OWNER_JSON_H_

#include <string>

#include "vak.h"

// A JSON object's members, with the names of those whose texts were written byte by byte.
class JsonObject {
 public:
  void Text(const char *name, const char *value);
  void Number(const char *name, const char *digits);
  void Raw(const char *name, const std::string &json);
  // The object, closed with "bytes_escaped" when a text needed it.
  std::string Close();

 private:
  void Name(const char *name);
  std::string body_, escaped_;
};

// An owner section as an object: every field of OwnerFields, numbers as numbers.
std::string OwnerJson(const LockStake *owner);

#endif  // EDITLOCK_OWNER_JSON_H_
