#include "report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "commands.h"
#include "json.h"

namespace {

constexpr const char* kExportList = "/exports.tsv";

std::string Iso(int64_t ms) {
  const time_t s = static_cast<time_t>(ms / 1000);
  struct tm t {};
  gmtime_r(&s, &t);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(((ms % 1000) + 1000) % 1000));
  return text;
}

std::string Html(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A field of the export list: tabs and line ends would end the field or the line.
std::string Field(std::string s) {
  std::replace(s.begin(), s.end(), '\t', ' ');
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\r', ' ');
  return s;
}

std::string TypeText(uint8_t bits) {
  if (bits & 0x3C) return "event";
  if (bits & 2) return "manual";
  if (bits & 1) return "scheduled";
  return "other";
}

bool Locked(const _rec_file_info_& r) { return r.state & 2; }

}  // namespace

std::string UtcNow() {
  return Iso(static_cast<int64_t>(std::time(nullptr)) * 1000);
}

bool AppendExports(const std::string& dir, const std::string& command,
                   const std::vector<ReportExport>& files) {
  const std::string path = dir + kExportList;
  std::ifstream exists(path);
  const bool fresh = !exists.good();
  exists.close();
  std::ofstream out(path, std::ios::app);
  if (fresh) out << "# time\tcommand\tsha256\tsize\tpath\n";
  for (const ReportExport& e : files)
    out << Field(e.time.empty() ? UtcNow() : e.time) << '\t' << Field(command) << '\t'
        << Field(e.sha256) << '\t' << e.size << '\t' << Field(e.path) << '\n';
  return static_cast<bool>(out);
}

std::vector<ReportExport> ReadExports(const std::string& dir) {
  std::vector<ReportExport> list;
  std::ifstream in(dir + kExportList);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string part; std::getline(fields, part, '\t');) f.push_back(part);
    if (f.size() != 5) continue;  // not a line this list writes
    ReportExport e;
    e.time = f[0];
    e.command = f[1];
    e.sha256 = f[2];
    e.size = std::strtoull(f[3].c_str(), nullptr, 10);
    e.path = f[4];
    list.push_back(e);
  }
  return list;
}

std::string ReportJson(const ReportModel& m) {
  JsonWriter w;
  w.BeginObject().Field("tool", std::string("stfsctl")).Field("version", m.version)
      .Field("examined", m.examinedUtc);
  w.BeginObject("drive").Field("name", m.drive).Field("image", m.image).Field("vendor", m.vendor)
      .Field("product", m.product).Field("revision", m.revision)
      .Field("serial", std::string())  // the transports give no unit serial number
      .Field("capacity_bytes", m.capacityBytes).Field("sector_size", m.sectorSize)
      .Field("read_only", m.readOnly).Field("sha256", m.sha256)
      .Field("hashed_bytes", m.hashedBytes).EndObject();
  w.BeginObject("tables").Field("gpt", m.gpt).BeginArray("partitions");
  for (const auto& p : m.partitions)
    w.BeginObject().Field("start_lba", p.first).Field("sectors", p.second).EndObject();
  w.EndArray().Field("stfs", m.stfs).Field("table_lba", m.tableLba)
      .Field("first_record_lba", m.firstRecordLba).Field("record_file_sectors", m.recordFileSectors)
      .Field("index_lba", m.indexLba).EndObject();
  std::set<int> files;
  int locked = 0;
  for (const _rec_file_info_& r : m.recordings) {
    files.insert(r.fileIndex);
    locked += Locked(r);
  }
  w.BeginObject("index").Field("record_files", m.recordFiles)
      .Field("record_file_bytes", m.recordFileBytes)
      .Field("files_with_recordings", static_cast<int64_t>(files.size()))
      .Field("recordings", static_cast<int64_t>(m.recordings.size()))
      .Field("locked", locked).EndObject();
  w.BeginArray("recordings");
  for (const _rec_file_info_& r : m.recordings)
    w.BeginObject().Field("channel", r.channel).Field("file_index", r.fileIndex)
        .Field("start_ms", int64_t{r.startMs}).Field("end_ms", int64_t{r.endMs})
        .Field("start", Iso(r.startMs)).Field("end", Iso(r.endMs))
        .Field("type", TypeText(r.typeBits)).Field("type_bits", r.typeBits)
        .Field("locked", Locked(r)).Field("sn", r.sn).Field("size", r.size).EndObject();
  w.EndArray().BeginArray("recovered");
  for (const RecoveredPiece& p : m.pieces)
    w.BeginObject().Field("channel", p.channel).Field("file_index", p.fileIndex)
        .Field("start_ms", p.startMs).Field("end_ms", p.endMs).Field("start", Iso(p.startMs))
        .Field("end", Iso(p.endMs)).Field("frames", p.frames).Field("key_frames", p.keyFrames)
        .Field("bytes", p.bytes).Field("reason", ReasonText(p.reason)).EndObject();
  w.EndArray().BeginArray("exports");
  for (const ReportExport& e : m.exports)
    w.BeginObject().Field("time", e.time).Field("command", e.command).Field("path", e.path)
        .Field("size", e.size).Field("sha256", e.sha256).EndObject();
  w.EndArray().EndObject();
  return w.str() + "\n";
}

namespace {

// One channel's timeline as inline SVG: its recordings coloured by type, its recovered pieces
// hatched in red below them, on the examination's whole time span.
std::string ChannelSvg(int channel, const ReportModel& m, int64_t from, int64_t to) {
  constexpr int kWidth = 900, kHeight = 46, kLeft = 60;
  const double span = static_cast<double>(std::max<int64_t>(to - from, 1));
  auto x = [&](int64_t t) {
    return kLeft + (kWidth - kLeft - 10) * (static_cast<double>(t - from) / span);
  };
  std::ostringstream s;
  s << "<svg xmlns='http://www.w3.org/2000/svg' width='" << kWidth << "' height='" << kHeight
    << "' role='img' aria-label='CH" << channel << " timeline'>"
    << "<rect x='" << kLeft << "' y='4' width='" << (kWidth - kLeft - 10)
    << "' height='36' fill='#f4f4f4' stroke='#ccc'/>"
    << "<text x='4' y='27' font-size='13' font-family='sans-serif'>CH"
    << (channel < 10 ? "0" : "") << channel << "</text>";
  auto bar = [&](int64_t a, int64_t b, int y, int h, const char* colour, const std::string& title) {
    const double x0 = x(a), w = std::max(1.5, x(b) - x0);
    s << "<rect x='" << x0 << "' y='" << y << "' width='" << w << "' height='" << h
      << "' fill='" << colour << "'><title>" << Html(title) << "</title></rect>";
  };
  for (const _rec_file_info_& r : m.recordings) {
    if (r.channel != channel) continue;
    const std::string type = TypeText(r.typeBits);
    const char* colour = type == "event" ? "#e08a00" : type == "manual" ? "#2a6edc" : "#2e9e48";
    bar(r.startMs, r.endMs, 6, 18, colour, type + " " + Iso(r.startMs) + " - " + Iso(r.endMs));
  }
  for (const RecoveredPiece& p : m.pieces)
    if (p.channel == channel)
      bar(p.startMs, p.endMs, 26, 12, "#c62828",
          std::string("recovered (") + ReasonText(p.reason) + ") " + Iso(p.startMs) + " - " +
              Iso(p.endMs));
  s << "</svg>";
  return s.str();
}

}  // namespace

std::string ReportHtml(const ReportModel& m) {
  std::ostringstream h;
  h << "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>"
    << "<title>Examination of " << Html(m.drive) << "</title><style>"
    << "body{font-family:sans-serif;margin:24px;color:#222}"
    << "table{border-collapse:collapse;margin:8px 0 20px}"
    << "td,th{border:1px solid #bbb;padding:3px 8px;font-size:13px;text-align:left}"
    << "th{background:#eee}code{font-size:12px}.legend span{display:inline-block;width:14px;"
    << "height:10px;margin:0 4px 0 12px}</style></head><body>\n"
    << "<h1>Examination of a record disk</h1>\n<table>"
    << "<tr><th>Tool</th><td>stfsctl " << Html(m.version) << "</td></tr>"
    << "<tr><th>Examined</th><td>" << Html(m.examinedUtc) << "</td></tr>"
    << "<tr><th>Drive</th><td>" << Html(m.drive) << (m.image.empty() ? "" : " (image ")
    << Html(m.image) << (m.image.empty() ? "" : ")") << "</td></tr>"
    << "<tr><th>Vendor / product / revision</th><td>" << Html(m.vendor) << " / "
    << Html(m.product) << " / " << Html(m.revision) << "</td></tr>"
    << "<tr><th>Serial number</th><td>not given by the transport</td></tr>"
    << "<tr><th>Capacity</th><td>" << m.capacityBytes << " bytes, sectors of " << m.sectorSize
    << " bytes</td></tr><tr><th>Attached</th><td>" << (m.readOnly ? "read-only" : "read-write")
    << "</td></tr><tr><th>SHA-256 of the drive</th><td><code>" << Html(m.sha256)
    << "</code> (" << m.hashedBytes << " bytes read)</td></tr></table>\n";
  h << "<h2>Tables</h2><table><tr><th>Partition table</th><td>" << (m.gpt ? "GPT" : "MBR")
    << "</td></tr>";
  for (size_t i = 0; i < m.partitions.size(); ++i)
    h << "<tr><th>Partition " << i << "</th><td>start LBA " << m.partitions[i].first << ", "
      << m.partitions[i].second << " sectors</td></tr>";
  h << "<tr><th>STFS table</th><td>";
  if (m.stfs)
    h << "at LBA " << m.tableLba << "; first record file at LBA " << m.firstRecordLba << ", "
      << m.recordFileSectors << " sectors each; index at LBA " << m.indexLba;
  else
    h << "none";
  h << "</td></tr></table>\n<h2>Index</h2><table><tr><th>Record files</th><td>" << m.recordFiles
    << " of " << m.recordFileBytes << " bytes</td></tr><tr><th>Recordings</th><td>"
    << m.recordings.size() << "</td></tr><tr><th>Recovered pieces</th><td>" << m.pieces.size()
    << "</td></tr></table>\n";

  std::set<int> channels;
  int64_t from = INT64_MAX, to = INT64_MIN;
  for (const _rec_file_info_& r : m.recordings) {
    channels.insert(r.channel);
    from = std::min(from, int64_t{r.startMs});
    to = std::max(to, int64_t{r.endMs});
  }
  for (const RecoveredPiece& p : m.pieces) {
    channels.insert(p.channel);
    from = std::min(from, p.startMs);
    to = std::max(to, p.endMs);
  }
  h << "<h2>Timelines</h2>";
  if (channels.empty()) {
    h << "<p>No recordings.</p>";
  } else {
    h << "<p>" << Html(Iso(from)) << " to " << Html(Iso(to)) << "</p><p class='legend'>"
      << "<span style='background:#2e9e48'></span>scheduled<span style='background:#2a6edc'>"
      << "</span>manual<span style='background:#e08a00'></span>event"
      << "<span style='background:#c62828'></span>recovered</p>";
    for (int ch : channels) h << "<div>" << ChannelSvg(ch, m, from, to) << "</div>\n";
  }
  h << "<h2>Recordings</h2><table><tr><th>Channel</th><th>File</th><th>Start</th><th>End</th>"
    << "<th>Type</th><th>Locked</th><th>SN</th></tr>";
  for (const _rec_file_info_& r : m.recordings)
    h << "<tr><td>" << int{r.channel} << "</td><td>" << r.fileIndex << "</td><td>"
      << Iso(r.startMs) << "</td><td>" << Iso(r.endMs) << "</td><td>" << TypeText(r.typeBits)
      << "</td><td>" << (Locked(r) ? "yes" : "no") << "</td><td>" << r.sn << "</td></tr>";
  h << "</table>\n<h2>Recovered pieces</h2><table><tr><th>Channel</th><th>File</th><th>Start"
    << "</th><th>End</th><th>Frames</th><th>Key frames</th><th>Bytes</th><th>Reason</th></tr>";
  for (const RecoveredPiece& p : m.pieces)
    h << "<tr><td>" << int{p.channel} << "</td><td>" << p.fileIndex << "</td><td>"
      << Iso(p.startMs) << "</td><td>" << Iso(p.endMs) << "</td><td>" << p.frames << "</td><td>"
      << p.keyFrames << "</td><td>" << p.bytes << "</td><td>" << ReasonText(p.reason)
      << "</td></tr>";
  h << "</table>\n<h2>Exports</h2><table><tr><th>Time</th><th>Command</th><th>File</th>"
    << "<th>Bytes</th><th>SHA-256</th></tr>";
  for (const ReportExport& e : m.exports)
    h << "<tr><td>" << Html(e.time) << "</td><td>" << Html(e.command) << "</td><td>"
      << Html(e.path) << "</td><td>" << e.size << "</td><td><code>" << Html(e.sha256)
      << "</code></td></tr>";
  h << "</table>\n</body></html>\n";
  return h.str();
}
