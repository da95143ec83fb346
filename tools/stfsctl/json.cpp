#include "json.h"

#include <cstdio>

std::string JsonWriter::Quote(const std::string& s) {
  std::string q = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': q += "\\\""; break;
      case '\\': q += "\\\\"; break;
      case '\n': q += "\\n"; break;
      case '\r': q += "\\r"; break;
      case '\t': q += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          snprintf(esc, sizeof esc, "\\u%04x", c);
          q += esc;
        } else {
          q += static_cast<char>(c);
        }
    }
  }
  return q + "\"";
}

void JsonWriter::Key(const char* key) {
  if (needComma_) out_ += ',';
  if (key) out_ += Quote(key) + ':';
  needComma_ = true;
}

JsonWriter& JsonWriter::BeginObject(const char* key) {
  Key(key);
  out_ += '{';
  needComma_ = false;
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  out_ += '}';
  needComma_ = true;
  return *this;
}

JsonWriter& JsonWriter::BeginArray(const char* key) {
  Key(key);
  out_ += '[';
  needComma_ = false;
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  out_ += ']';
  needComma_ = true;
  return *this;
}

JsonWriter& JsonWriter::Field(const char* key, const std::string& value) {
  Key(key);
  out_ += Quote(value);
  return *this;
}

JsonWriter& JsonWriter::Field(const char* key, const char* value) {
  return Field(key, std::string(value ? value : ""));
}

JsonWriter& JsonWriter::Field(const char* key, int64_t value) {
  Key(key);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Field(const char* key, uint64_t value) {
  Key(key);
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Field(const char* key, bool value) {
  Key(key);
  out_ += value ? "true" : "false";
  return *this;
}

void RecordFields(JsonWriter& w, const _rec_file_info_& r, int position) {
  w.BeginObject();
  if (position >= 0) w.Field("record", position);
  w.Field("channel", static_cast<int>(r.channel))
      .Field("disk", static_cast<int>(r.diskNo))
      .Field("file_index", static_cast<int>(r.fileIndex))
      .Field("segment", static_cast<int>(r.segmentNo))
      .Field("start_ms", static_cast<int64_t>(r.startMs))
      .Field("end_ms", static_cast<int64_t>(r.endMs))
      .Field("size", static_cast<int64_t>(r.size))
      .Field("type_bits", static_cast<int>(r.typeBits))
      .Field("state", static_cast<int>(r.state))
      .Field("sn", static_cast<uint64_t>(r.sn))
      .Field("end_offset", static_cast<uint64_t>(r.endOffset))
      .EndObject();
}
