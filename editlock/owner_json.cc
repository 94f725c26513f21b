// owner_json.cc - JSON objects for the listings, written with nlohmann's JSON.
//
// editlock is built without exceptions, where nlohmann's throw becomes an abort. Nothing here can
// reach one: every text handed over is valid UTF-8 (JsonText), JSON text from Raw is parsed
// without exceptions, and the dump replaces what it could not encode instead of failing.
#include "owner_json.h"

#include <nlohmann/json.hpp>

#include "owner_text.h"
#include "text_escape.h"

using Json = nlohmann::ordered_json;

namespace {

// The value of JSON text that this program wrote; null if it somehow does not parse, so that a
// slip never ends the listing.
Json Parsed(const std::string &json) {
  Json value = Json::parse(json, nullptr, /*allow_exceptions=*/false);
  return value.is_discarded() ? Json() : value;
}

}  // namespace

JsonObject::JsonObject() : object_(new Json(Json::object())) {}
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(JsonObject &&) noexcept = default;
JsonObject &JsonObject::operator=(JsonObject &&) noexcept = default;

void JsonObject::Text(const char *name, const char *value) {
  if (value == nullptr) {
    (*object_)[name] = nullptr;
    return;
  }
  bool bytewise = false;
  (*object_)[name] = JsonText(value, &bytewise);
  if (bytewise) escaped_.push_back(name);
}

void JsonObject::Number(const char *name, const char *digits) {
  (*object_)[name] = Parsed(digits);
}

void JsonObject::Raw(const char *name, const std::string &json) {
  (*object_)[name] = Parsed(json);
}

std::string JsonObject::Close() {
  if (!escaped_.empty()) (*object_)["bytes_escaped"] = escaped_;
  // ASCII only (\uXXXX for the rest): a reader decodes the lines rightly whatever its locale.
  return object_->dump(-1, ' ', /*ensure_ascii=*/true, Json::error_handler_t::replace);
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
