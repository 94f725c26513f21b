// owner_json.cc - JSON objects for the listings.
#include "owner_json.h"

#include "owner_text.h"
#include "text_escape.h"

void JsonObject::Text(const char *name, const char *value) {
  Name(name);
  if (AppendJsonString(&body_, value)) {
    escaped_ += escaped_.empty() ? "\"" : ",\"";
    escaped_ += name + std::string("\"");
  }
}

void JsonObject::Number(const char *name, const char *digits) {
  Name(name);
  body_ += digits;
}

void JsonObject::Raw(const char *name, const std::string &json) {
  Name(name);
  body_ += json;
}

std::string JsonObject::Close() {
  if (!escaped_.empty()) Raw("bytes_escaped", "[" + escaped_ + "]");
  return "{" + body_ + "}";
}

void JsonObject::Name(const char *name) {
  if (!body_.empty()) body_ += ',';
  body_ += std::string("\"") + name + "\":";
}

std::string OwnerJson(const LockStake *owner) {
  JsonObject o;
  for (const OwnerField &field : OwnerFields(owner)) {
    if (field.number.empty()) {
      o.Text(field.name, field.text);
    } else {
      o.Number(field.name, field.number.c_str());
    }
  }
  return o.Close();
}
