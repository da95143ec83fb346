// A small JSON writer for stfsctl's --json output: one document, built in order.
#pragma once

#include <cstdint>
#include <string>

#include "qvfs/records.h"

class JsonWriter {
 public:
  JsonWriter& BeginObject(const char* key = nullptr);
  JsonWriter& EndObject();
  JsonWriter& BeginArray(const char* key = nullptr);
  JsonWriter& EndArray();
  JsonWriter& Field(const char* key, const std::string& value);
  JsonWriter& Field(const char* key, const char* value);
  JsonWriter& Field(const char* key, int64_t value);
  JsonWriter& Field(const char* key, uint64_t value);
  JsonWriter& Field(const char* key, int value) { return Field(key, static_cast<int64_t>(value)); }
  JsonWriter& Field(const char* key, uint32_t value) {
    return Field(key, static_cast<uint64_t>(value));
  }
  JsonWriter& Field(const char* key, bool value);
  const std::string& str() const { return out_; }

  static std::string Quote(const std::string& s);

 private:
  void Key(const char* key);
  std::string out_;
  bool needComma_ = false;
};

// One search record as the search-like commands print it.
// A record as search and record print it; with position >= 0, its K ("record") first.
void RecordFields(JsonWriter& w, const _rec_file_info_& r, int position = -1);
