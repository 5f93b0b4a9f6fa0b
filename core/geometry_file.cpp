#include "core/geometry_file.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/output_file.h"

namespace geom {

namespace {

// ---------------------------------------------------------------------------
// A TOML reader that keeps the line of every key and value.

struct Value {
  enum class Kind { integer, floating, string, boolean, datetime, array };
  Kind kind = Kind::integer;
  std::int64_t integer = 0;
  double number = 0.0;  // the value of a number (integers too)
  std::string text;     // strings, and the spelling of a date
  std::vector<Value> items;
  int line = 0;
};

const char* kind_name(Value::Kind k) {
  switch (k) {
    case Value::Kind::integer: return "an integer";
    case Value::Kind::floating: return "a number";
    case Value::Kind::string: return "a string";
    case Value::Kind::boolean: return "a boolean";
    case Value::Kind::datetime: return "a date";
    case Value::Kind::array: return "an array";
  }
  return "a value";
}

// One key of the document: its full path (table, array-of-tables index as
// "[n]", keys) and its value.
struct Entry {
  std::vector<std::string> path;
  Value value;
  int line = 0;
};

struct TableHeader {
  std::vector<std::string> path;
  int line = 0;
};

struct Document {
  std::vector<Entry> entries;
  std::vector<TableHeader> tables;
};

std::string joined(const std::vector<std::string>& path) {
  std::string t;
  for (const std::string& p : path) {
    if (!t.empty() && p.front() != '[') t += '.';
    t += p;
  }
  return t;
}

class Reader {
 public:
  Reader(const std::string& text, const std::string& source) : s_(text), source_(source) {}

  Document read() {
    std::vector<std::string> table;
    while (true) {
      skip_blank();
      if (at_end()) break;
      const char c = s_[i_];
      if (c == '#') {
        skip_comment();
      } else if (c == '\n' || c == '\r') {
        newline();
      } else if (c == '[') {
        table = header();
        end_of_line();
      } else {
        const int line = line_;
        std::vector<std::string> key = key_path();
        skip_blank();
        if (at_end() || s_[i_] != '=') fail(line, "expected '=' after the key " + joined(key));
        ++i_;
        skip_blank();
        std::vector<std::string> full = table;
        full.insert(full.end(), key.begin(), key.end());
        value_into(full, line);
        end_of_line();
      }
    }
    return std::move(doc_);
  }

 private:
  [[noreturn]] void fail(int line, const std::string& what) const {
    tomio::fail_usage(source_ + ":" + std::to_string(line) + ": " + what);
  }

  bool at_end() const { return i_ >= s_.size(); }

  void skip_blank() {
    while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
  }

  void skip_comment() {
    while (!at_end() && s_[i_] != '\n') ++i_;
  }

  void newline() {
    if (s_[i_] == '\r') {
      if (i_ + 1 < s_.size() && s_[i_ + 1] == '\n') {
        ++i_;
      } else {
        fail(line_, "a carriage return without a line feed");
      }
    }
    ++i_;
    ++line_;
  }

  // Blanks, comments and line breaks (inside arrays).
  void skip_space() {
    while (!at_end()) {
      const char c = s_[i_];
      if (c == ' ' || c == '\t') {
        ++i_;
      } else if (c == '#') {
        skip_comment();
      } else if (c == '\n' || c == '\r') {
        newline();
      } else {
        break;
      }
    }
  }

  void end_of_line() {
    skip_blank();
    if (at_end()) return;
    if (s_[i_] == '#') {
      skip_comment();
      return;
    }
    if (s_[i_] == '\n' || s_[i_] == '\r') {
      newline();
      return;
    }
    fail(line_, std::string("unexpected '") + s_[i_] + "' after the value (one key = value a line)");
  }

  std::vector<std::string> header() {
    const int line = line_;
    const bool array = i_ + 1 < s_.size() && s_[i_ + 1] == '[';
    i_ += array ? 2 : 1;
    skip_blank();
    std::vector<std::string> path = key_path();
    skip_blank();
    if (array) {
      if (s_.compare(i_, 2, "]]") != 0) fail(line, "expected ']]' to close the table header");
      i_ += 2;
      const std::string name = joined(path);
      const int n = array_counts_[name]++;
      path.push_back("[" + std::to_string(n) + "]");
    } else {
      if (at_end() || s_[i_] != ']') fail(line, "expected ']' to close the table header");
      ++i_;
    }
    const std::string name = joined(path);
    const auto seen = header_lines_.find(name);
    if (seen != header_lines_.end())
      fail(line, "the table [" + name + "] is defined twice (first on line " + std::to_string(seen->second) + ")");
    header_lines_[name] = line;
    doc_.tables.push_back(TableHeader{path, line});
    return path;
  }

  static bool bare_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  }

  std::vector<std::string> key_path() {
    std::vector<std::string> path;
    while (true) {
      skip_blank();
      if (at_end()) fail(line_, "expected a key");
      const char c = s_[i_];
      if (c == '"') {
        path.push_back(basic_string());
      } else if (c == '\'') {
        path.push_back(literal_string());
      } else if (bare_key_char(c)) {
        const std::size_t start = i_;
        while (!at_end() && bare_key_char(s_[i_])) ++i_;
        path.push_back(s_.substr(start, i_ - start));
      } else {
        fail(line_, std::string("expected a key, not '") + c + "'");
      }
      skip_blank();
      if (!at_end() && s_[i_] == '.') {
        ++i_;
        continue;
      }
      return path;
    }
  }

  // Stores the value at `path`; an inline table stores its keys below it.
  void value_into(const std::vector<std::string>& path, int key_line) {
    if (!at_end() && s_[i_] == '{') {
      ++i_;
      skip_space();
      if (!at_end() && s_[i_] == '}') {
        ++i_;
        return;
      }
      while (true) {
        skip_space();
        const int line = line_;
        std::vector<std::string> key = key_path();
        skip_blank();
        if (at_end() || s_[i_] != '=') fail(line, "expected '=' in the inline table");
        ++i_;
        skip_blank();
        std::vector<std::string> full = path;
        full.insert(full.end(), key.begin(), key.end());
        value_into(full, line);
        skip_space();
        if (at_end()) fail(line_, "the inline table is not closed");
        if (s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (s_[i_] == '}') {
          ++i_;
          return;
        }
        fail(line_, std::string("expected ',' or '}' in the inline table, not '") + s_[i_] + "'");
      }
    }
    Value v = value();
    const std::string name = joined(path);
    const auto seen = key_lines_.find(name);
    if (seen != key_lines_.end())
      fail(key_line, "the key " + name + " is defined twice (first on line " + std::to_string(seen->second) + ")");
    key_lines_[name] = key_line;
    doc_.entries.push_back(Entry{path, std::move(v), key_line});
  }

  Value value() {
    if (at_end()) fail(line_, "expected a value");
    Value v;
    v.line = line_;
    const char c = s_[i_];
    if (c == '"') {
      v.kind = Value::Kind::string;
      v.text = s_.compare(i_, 3, "\"\"\"") == 0 ? multiline_string('"') : basic_string();
    } else if (c == '\'') {
      v.kind = Value::Kind::string;
      v.text = s_.compare(i_, 3, "'''") == 0 ? multiline_string('\'') : literal_string();
    } else if (c == '[') {
      v.kind = Value::Kind::array;
      ++i_;
      while (true) {
        skip_space();
        if (at_end()) fail(v.line, "the array is not closed");
        if (s_[i_] == ']') {
          ++i_;
          break;
        }
        if (s_[i_] == '{') fail(line_, "inline tables inside arrays are not read here");
        v.items.push_back(value());
        skip_space();
        if (at_end()) fail(v.line, "the array is not closed");
        if (s_[i_] == ',') {
          ++i_;
        } else if (s_[i_] != ']') {
          fail(line_, std::string("expected ',' or ']' in the array, not '") + s_[i_] + "'");
        }
      }
    } else if (s_.compare(i_, 4, "true") == 0 && !word_goes_on(i_ + 4)) {
      v.kind = Value::Kind::boolean;
      v.integer = 1;
      i_ += 4;
    } else if (s_.compare(i_, 5, "false") == 0 && !word_goes_on(i_ + 5)) {
      v.kind = Value::Kind::boolean;
      i_ += 5;
    } else {
      scalar(v);
    }
    return v;
  }

  bool word_goes_on(std::size_t at) const { return at < s_.size() && bare_key_char(s_[at]); }

  static bool token_char(char c) {
    return bare_key_char(c) || c == '+' || c == '.' || c == ':';
  }

  // A number or a date.
  void scalar(Value& v) {
    const std::size_t start = i_;
    while (!at_end() && token_char(s_[i_])) ++i_;
    std::string token = s_.substr(start, i_ - start);
    if (token.empty()) fail(v.line, std::string("expected a value, not '") + s_[start] + "'");
    const bool date = (token.size() >= 10 && token[4] == '-' && token[7] == '-' && std::isdigit(static_cast<unsigned char>(token[0]))) ||
                      (token.size() >= 8 && token[2] == ':' && std::isdigit(static_cast<unsigned char>(token[0])));
    if (date) {
      // A date may be followed by a time after one space.
      if (token.size() == 10 && i_ + 1 < s_.size() && s_[i_] == ' ' && std::isdigit(static_cast<unsigned char>(s_[i_ + 1]))) {
        ++i_;
        const std::size_t t = i_;
        while (!at_end() && token_char(s_[i_])) ++i_;
        token += " " + s_.substr(t, i_ - t);
      }
      v.kind = Value::Kind::datetime;
      v.text = token;
      return;
    }
    number(token, v);
  }

  void number(const std::string& token, Value& v) {
    const std::string bad = "'" + token + "' is not a number";
    std::string t = token;
    bool negative = false;
    std::string body = t;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
      negative = body[0] == '-';
      body = body.substr(1);
    }
    if (body == "inf" || body == "nan") {
      v.kind = Value::Kind::floating;
      v.number = body == "inf" ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
      if (negative) v.number = -v.number;
      return;
    }
    // Underscores only between digits.
    std::string digits;
    for (std::size_t k = 0; k < body.size(); ++k) {
      if (body[k] == '_') {
        const bool between = k > 0 && k + 1 < body.size() && std::isxdigit(static_cast<unsigned char>(body[k - 1])) &&
                             std::isxdigit(static_cast<unsigned char>(body[k + 1]));
        if (!between) fail(v.line, bad);
        continue;
      }
      digits += body[k];
    }
    if (digits.empty()) fail(v.line, bad);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'o' || digits[1] == 'b')) {
      if (t[0] == '+' || t[0] == '-') fail(v.line, bad);
      base = digits[1] == 'x' ? 16 : digits[1] == 'o' ? 8 : 2;
      digits = digits.substr(2);
    }
    const bool floating = base == 10 && digits.find_first_of(".eE") != std::string::npos;
    if (floating) {
      // Digits on both sides of a point.
      const std::size_t point = digits.find('.');
      if (point != std::string::npos &&
          (point == 0 || point + 1 >= digits.size() || !std::isdigit(static_cast<unsigned char>(digits[point - 1])) ||
           !std::isdigit(static_cast<unsigned char>(digits[point + 1]))))
        fail(v.line, bad);
      double x = 0.0;
      const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), x);
      if (r.ec == std::errc::result_out_of_range) fail(v.line, "'" + token + "' is out of the range of a double");
      if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) fail(v.line, bad);
      v.kind = Value::Kind::floating;
      v.number = negative ? -x : x;
      return;
    }
    std::uint64_t magnitude = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (r.ec == std::errc::result_out_of_range) fail(v.line, "'" + token + "' is out of the range of a 64-bit integer");
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) fail(v.line, bad);
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    if (magnitude > limit) fail(v.line, "'" + token + "' is out of the range of a 64-bit integer");
    v.kind = Value::Kind::integer;
    v.integer = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    v.number = static_cast<double>(v.integer);
  }

  static void put_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  // The escape after a backslash (at i_), appended to out.
  void escape(std::string& out) {
    const int line = line_;
    if (at_end()) fail(line, "the string is not closed");
    const char e = s_[i_++];
    switch (e) {
      case 'b': out += '\b'; return;
      case 't': out += '\t'; return;
      case 'n': out += '\n'; return;
      case 'f': out += '\f'; return;
      case 'r': out += '\r'; return;
      case 'e': out += '\x1b'; return;
      case '"': out += '"'; return;
      case '\\': out += '\\'; return;
      case 'u':
      case 'U': {
        const std::size_t n = e == 'u' ? 4 : 8;
        if (i_ + n > s_.size()) fail(line, "an unfinished \\" + std::string(1, e) + " escape");
        std::uint32_t c = 0;
        const auto r = std::from_chars(s_.data() + i_, s_.data() + i_ + n, c, 16);
        if (r.ec != std::errc() || r.ptr != s_.data() + i_ + n || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
          fail(line, "an invalid \\" + std::string(1, e) + " escape");
        i_ += n;
        put_utf8(out, c);
        return;
      }
      default: fail(line, std::string("an unknown escape \\") + e + " in a string");
    }
  }

  std::string basic_string() {
    const int line = line_;
    ++i_;  // "
    std::string out;
    while (true) {
      if (at_end() || s_[i_] == '\n') fail(line, "the string is not closed on its line");
      const char c = s_[i_++];
      if (c == '"') return out;
      if (c == '\\') {
        escape(out);
      } else {
        out += c;
      }
    }
  }

  std::string literal_string() {
    const int line = line_;
    ++i_;  // '
    const std::size_t end = s_.find_first_of("'\n", i_);
    if (end == std::string::npos || s_[end] != '\'') fail(line, "the string is not closed on its line");
    std::string out = s_.substr(i_, end - i_);
    i_ = end + 1;
    return out;
  }

  // A multi-line string opened by three quotes at i_: basic ones (")
  // read escapes and join a line ending in a backslash to the next text,
  // literal ones (') keep every character.
  std::string multiline_string(char quote) {
    const int line = line_;
    const std::string close(3, quote);
    i_ += 3;
    if (!at_end() && (s_[i_] == '\n' || s_[i_] == '\r')) newline();  // not part of the string
    std::string out;
    while (true) {
      if (at_end()) fail(line, "the string is not closed");
      if (s_.compare(i_, 3, close) == 0) {
        i_ += 3;
        // Up to two more quotes belong to the string.
        for (int k = 0; k < 2 && !at_end() && s_[i_] == quote; ++k, ++i_) out += quote;
        return out;
      }
      const char c = s_[i_];
      if (c == '\n' || c == '\r') {
        newline();
        out += '\n';
      } else if (c == '\\' && quote == '"') {
        ++i_;
        std::size_t k = i_;
        while (k < s_.size() && (s_[k] == ' ' || s_[k] == '\t')) ++k;
        if (k < s_.size() && (s_[k] == '\n' || s_[k] == '\r')) {
          i_ = k;
          while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
            if (s_[i_] == '\n' || s_[i_] == '\r') {
              newline();
            } else {
              ++i_;
            }
          }
        } else {
          escape(out);
        }
      } else {
        out += c;
        ++i_;
      }
    }
  }

  const std::string& s_;
  const std::string& source_;
  std::size_t i_ = 0;
  int line_ = 1;
  Document doc_;
  std::map<std::string, int> key_lines_;
  std::map<std::string, int> header_lines_;
  std::map<std::string, int> array_counts_;
};

// ---------------------------------------------------------------------------
// The geometry's keys in a document.

const std::set<std::string>& known_keys() {
  static const std::set<std::string> keys = {
      "preset",          "volume.shape", "volume.voxel_size", "volume.offset", "detector.shape",
      "detector.pitch",  "detector.offset", "source.sod",     "source.sdd",    "views.count",
      "views.start",     "views.arc",    "views.angles",      "views.vectors", "trace.min",
      "trace.max"};
  return keys;
}

const std::set<std::string>& known_tables() {
  static const std::set<std::string> tables = {"volume", "detector", "source", "views", "trace"};
  return tables;
}

class GeometryReader {
 public:
  GeometryReader(const Document& doc, const std::string& source, const std::string& table)
      : source_(source), prefix_text_(table) {
    std::vector<std::string> prefix;
    if (!table.empty()) {
      std::string part;
      std::istringstream in(table);
      while (std::getline(in, part, '.')) prefix.push_back(part);
    }
    auto under = [&](const std::vector<std::string>& path) {
      if (path.size() < prefix.size()) return false;
      for (std::size_t k = 0; k < prefix.size(); ++k)
        if (path[k] != prefix[k]) return false;
      return true;
    };
    // The first stranger (table or key) in the text is the one named.
    int stranger_line = 0;
    std::string stranger;
    auto note_stranger = [&](int line, std::string what) {
      if (stranger_line == 0 || line < stranger_line) {
        stranger_line = line;
        stranger = std::move(what);
      }
    };
    for (const TableHeader& h : doc.tables) {
      if (h.path == prefix) {
        table_line_ = h.line;
        found_ = true;
      } else if (under(h.path)) {
        const std::vector<std::string> rest(h.path.begin() + static_cast<std::ptrdiff_t>(prefix.size()), h.path.end());
        const std::string name = joined(rest);
        if (rest.size() != 1 || !known_tables().count(name))
          note_stranger(h.line, field(name) + ": not a table of a geometry (volume, detector, source, views, trace)");
        header_lines_[name] = h.line;
        found_ = true;
      }
    }
    for (const Entry& e : doc.entries) {
      if (!under(e.path)) continue;
      const std::vector<std::string> rest(e.path.begin() + static_cast<std::ptrdiff_t>(prefix.size()), e.path.end());
      const std::string name = joined(rest);
      if (!known_keys().count(name))
        note_stranger(e.line, field(name) + ": not a key of a geometry (preset; volume.shape, voxel_size, offset; "
                                            "detector.shape, pitch, offset; source.sod, sdd; views.count, start, arc, "
                                            "angles, vectors; trace.min, max)");
      values_[name] = &e;
      found_ = true;
    }
    if (stranger_line) fail(stranger_line, stranger);
    if (!found_) {
      if (table.empty()) fail(1, "no geometry: the text holds no [volume], [detector], [source] or [views] table");
      tomio::fail_usage(source_ + ": no [" + table + "] table");
    }
  }

  Geometry read() {
    const Entry* preset = entry("preset");
    Geometry g;
    if (preset) {
      if (preset->value.kind != Value::Kind::string)
        fail(preset->line, field("preset") + ": must be a string (\"defined\"), not " + kind_name(preset->value.kind));
      if (preset->value.text != "defined")
        fail(preset->line, field("preset") + ": unknown preset \"" + preset->value.text + "\" (the one preset is \"defined\")");
      g = defined_geometry();
    }

    // The form of the views.
    const Entry* form_entry = nullptr;
    std::string form_key = "views.count";
    for (const char* f : {"views.count", "views.angles", "views.vectors"}) {
      if (const Entry* e = entry(f)) {
        if (form_entry)
          fail(e->line, field(f) + ": give one of views.count, views.angles and views.vectors, not several (" +
                            field(form_key) + " is on line " + std::to_string(form_entry->line) + ")");
        form_entry = e;
        form_key = f;
      }
    }
    ViewForm form = form_key == "views.count" ? ViewForm::circle : form_key == "views.angles" ? ViewForm::angles : ViewForm::vectors;
    if (form != ViewForm::circle) {
      for (const char* k : {"views.start", "views.arc"})
        if (const Entry* e = entry(k)) fail(e->line, field(k) + ": only used with views.count");
    }
    if (form == ViewForm::vectors) {
      for (const char* k : {"source.sod", "source.sdd", "detector.pitch", "detector.offset"})
        if (const Entry* e = entry(k))
          fail(e->line, field(k) + ": not used with views.vectors (the vectors hold the source and the detector)");
    }

    // The volume.
    if (const Entry* e = entry("volume.shape")) {
      const auto n = wholes(*e, 3, "[nz, ny, nx]");
      g.grid.nz = n[0];
      g.grid.ny = n[1];
      g.grid.nx = n[2];
    } else if (!preset) {
      missing("volume.shape", "volume", "shape = [nz, ny, nx]");
    }
    if (const Entry* e = entry("volume.voxel_size")) {
      const auto d = numbers(*e, 3, true, "[dz, dy, dx]");
      g.grid.dz = d[0];
      g.grid.dy = d[1];
      g.grid.dx = d[2];
    }
    if (const Entry* e = entry("volume.offset")) {
      const auto o = numbers(*e, 3, false, "[z, y, x]");
      g.grid.origin_z = o[0];
      g.grid.origin_y = o[1];
      g.grid.origin_x = o[2];
    }

    // The detector.
    if (const Entry* e = entry("detector.shape")) {
      const auto n = wholes(*e, 2, "[rows, columns]");
      g.rows = n[0];
      g.columns = n[1];
    } else if (!preset) {
      missing("detector.shape", "detector", "shape = [rows, columns]");
    }
    if (form == ViewForm::vectors) {
      g.pitch_row = g.pitch_column = 1.0;
      g.offset_v = g.offset_u = 0.0;
      g.sod = g.sdd = 0.0;
    } else {
      if (const Entry* e = entry("detector.pitch")) {
        const auto p = numbers(*e, 2, true, "[row, column]");
        g.pitch_row = p[0];
        g.pitch_column = p[1];
      }
      if (const Entry* e = entry("detector.offset")) {
        const auto o = numbers(*e, 2, false, "[v, u]");
        g.offset_v = o[0];
        g.offset_u = o[1];
      }
      if (const Entry* e = entry("source.sod")) {
        g.sod = number(*e);
      } else if (!preset) {
        missing("source.sod", "source", "sod = DISTANCE");
      }
      if (const Entry* e = entry("source.sdd")) {
        g.sdd = number(*e);
      } else if (!preset) {
        missing("source.sdd", "source", "sdd = DISTANCE");
      }
    }

    // The views.
    if (!form_entry && !preset) missing("views.count", "views", "count = N (or angles = [...] or vectors = [[...], ...])");
    if (form_entry) {
      g.form = form;
      g.view_count = 0;
      g.start_deg = 0.0;
      g.arc_deg = 360.0;
      g.angles_deg.clear();
      g.vectors.clear();
      if (form == ViewForm::circle) {
        g.view_count = whole(*form_entry, form_entry->value);
        if (const Entry* e = entry("views.start")) g.start_deg = number(*e);
        if (const Entry* e = entry("views.arc")) g.arc_deg = number(*e);
      } else if (form == ViewForm::angles) {
        const Value& a = array(*form_entry);
        for (const Value& item : a.items) g.angles_deg.push_back(number_of(*form_entry, item));
      } else {
        const Value& a = array(*form_entry);
        for (const Value& item : a.items) {
          if (item.kind == Value::Kind::array) {
            if (item.items.size() != 12)
              fail(item.line, field("views.vectors") + ": a view has 12 numbers (source, detector centre, u, v), not " +
                                  std::to_string(item.items.size()));
            for (const Value& x : item.items) g.vectors.push_back(number_of(*form_entry, x));
          } else {
            g.vectors.push_back(number_of(*form_entry, item));
          }
        }
      }
    } else if (preset) {
      for (const char* k : {"views.start", "views.arc"}) {
        if (const Entry* e = entry(k)) {
          if (k == std::string("views.start")) g.start_deg = number(*e);
          else g.arc_deg = number(*e);
        }
      }
    }

    // The trace region.
    const Entry* tmin = entry("trace.min");
    const Entry* tmax = entry("trace.max");
    if (tmin || tmax) {
      if (!tmin) fail(tmax->line, field("trace.min") + ": missing ([trace] needs min and max)");
      if (!tmax) fail(tmin->line, field("trace.max") + ": missing ([trace] needs min and max)");
      g.trace = trace_box_zyx(numbers(*tmin, 3, false, "[z, y, x]").data(),
                              numbers(*tmax, 3, false, "[z, y, x]").data());
    } else if (header_lines_.count("trace")) {
      fail(header_lines_["trace"], field("trace") + ": needs min = [z, y, x] and max = [z, y, x]");
    }

    // A preset overridden into other values is a general geometry.
    if (preset && !matches_defined(g)) {
      g.defined = false;
      if (!tmin) g.trace.reset();
    }

    if (const auto problem = find_invalid(g)) fail(line_of(*problem, preset), field(problem->field) + ": " + problem->reason);
    return g;
  }

 private:
  [[noreturn]] void fail(int line, const std::string& what) const {
    tomio::fail_usage(source_ + ":" + std::to_string(line) + ": " + what);
  }

  // The field's name as the file spells it (with the table around it).
  std::string field(const std::string& name) const {
    return prefix_text_.empty() ? name : prefix_text_ + "." + name;
  }

  const Entry* entry(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? nullptr : it->second;
  }

  [[noreturn]] void missing(const std::string& name, const std::string& table, const std::string& example) const {
    const auto h = header_lines_.find(table);
    const int line = h != header_lines_.end() ? h->second : table_line_;
    fail(line, field(name) + ": missing (give [" + field(table) + "] " + example + ")");
  }

  // The line to blame for an invalid field.
  int line_of(const Invalid& problem, const Entry* preset) const {
    std::string name = problem.field;
    std::size_t index = std::string::npos;
    const std::size_t bracket = name.find('[');
    if (bracket != std::string::npos) {
      index = static_cast<std::size_t>(std::stoull(name.substr(bracket + 1)));
      name = name.substr(0, bracket);
    }
    if (name == "trace") {
      if (const Entry* e = entry("trace.min")) return e->line;
      if (const Entry* e = entry("trace.max")) return e->line;
    }
    if (const Entry* e = entry(name)) {
      if (index != std::string::npos && e->value.kind == Value::Kind::array) {
        const auto& items = e->value.items;
        if (name == "views.vectors" && !items.empty() && items[0].kind != Value::Kind::array) {
          index *= 12;  // a flat list: the view's first number
        }
        if (index < items.size()) return items[index].line;
      }
      return e->line;
    }
    // Not in the text: the views' form, the table, the preset.
    if (name.rfind("views.", 0) == 0) {
      for (const char* k : {"views.count", "views.angles", "views.vectors"})
        if (const Entry* e = entry(k)) return e->line;
    }
    const std::string table = name.substr(0, name.find('.'));
    const auto h = header_lines_.find(table);
    if (h != header_lines_.end()) return h->second;
    if (preset) return preset->line;
    return table_line_;
  }

  double number_of(const Entry& e, const Value& v) const {
    if (v.kind != Value::Kind::integer && v.kind != Value::Kind::floating)
      fail(v.line, field(joined(tail(e))) + ": must hold numbers, not " + kind_name(v.kind));
    return v.number;
  }

  double number(const Entry& e) const {
    if (e.value.kind != Value::Kind::integer && e.value.kind != Value::Kind::floating)
      fail(e.line, field(joined(tail(e))) + ": must be a number, not " + kind_name(e.value.kind));
    return e.value.number;
  }

  std::int64_t whole(const Entry& e, const Value& v) const {
    if (v.kind == Value::Kind::integer) return v.integer;
    if (v.kind == Value::Kind::floating && std::isfinite(v.number) && v.number == std::floor(v.number) &&
        std::fabs(v.number) <= 9007199254740992.0)
      return static_cast<std::int64_t>(v.number);
    fail(v.line, field(joined(tail(e))) + ": must hold whole numbers, not " +
                     (v.kind == Value::Kind::floating ? number_text(v.number) : std::string(kind_name(v.kind))));
  }

  const Value& array(const Entry& e) const {
    if (e.value.kind != Value::Kind::array)
      fail(e.line, field(joined(tail(e))) + ": must be an array, not " + kind_name(e.value.kind));
    return e.value;
  }

  std::vector<std::int64_t> wholes(const Entry& e, std::size_t n, const char* shape) const {
    const Value& a = array(e);
    if (a.items.size() != n)
      fail(e.line, field(joined(tail(e))) + ": must be " + shape + ", not " + std::to_string(a.items.size()) + " values");
    std::vector<std::int64_t> out;
    for (const Value& item : a.items) out.push_back(whole(e, item));
    return out;
  }

  // n numbers; with `one_for_all` a single number stands for all n.
  std::vector<double> numbers(const Entry& e, std::size_t n, bool one_for_all, const char* shape) const {
    if (one_for_all && e.value.kind != Value::Kind::array) return std::vector<double>(n, number(e));
    const Value& a = array(e);
    if (a.items.size() != n)
      fail(e.line, field(joined(tail(e))) + ": must be " + shape + (one_for_all ? " or one number" : "") + ", not " +
                       std::to_string(a.items.size()) + " values");
    std::vector<double> out;
    for (const Value& item : a.items) out.push_back(number_of(e, item));
    return out;
  }

  // The two last parts of an entry's path (table.key).
  static std::vector<std::string> tail(const Entry& e) {
    if (e.path.size() >= 2 && e.path.back() != "preset") return {e.path[e.path.size() - 2], e.path.back()};
    return {e.path.back()};
  }

  const std::string& source_;
  std::string prefix_text_;
  bool found_ = false;
  int table_line_ = 1;
  std::map<std::string, const Entry*> values_;
  std::map<std::string, int> header_lines_;
};

// ---------------------------------------------------------------------------
// Writing.

std::string float_text(double v) {
  std::string t = number_text(v);
  if (t.find_first_of(".eEn") == std::string::npos) t += ".0";
  return t;
}

std::string floats_text(std::initializer_list<double> values) {
  std::string t = "[";
  bool first = true;
  for (double v : values) {
    if (!first) t += ", ";
    t += float_text(v);
    first = false;
  }
  return t + "]";
}

}  // namespace

Geometry parse_geometry_toml(const std::string& text, const std::string& source, const std::string& table) {
  const Document doc = Reader(text, source).read();
  return GeometryReader(doc, source, table).read();
}

Geometry read_geometry_file(const std::string& path, const std::string& table) {
  std::ifstream in(path, std::ios::binary);
  if (!in) tomio::fail_input("cannot open " + path + ": " + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) tomio::fail_input("cannot read " + path + ": " + std::strerror(errno));
  return parse_geometry_toml(text, path, table);
}

std::string geometry_toml(const Geometry& g) {
  validate(g);
  std::ostringstream t;
  t << "# Scan geometry: millimetres and degrees; volume axes (z, y, x), detector (rows, columns),\n"
       "# detector offset (v, u) along the row step (-z) and the column step.\n";
  if (g.defined) {
    t << "preset = \"defined\"\n";
    return t.str();
  }
  const VolumeGrid& v = g.grid;
  t << "\n[volume]\n"
    << "shape = [" << v.nz << ", " << v.ny << ", " << v.nx << "]\n"
    << "voxel_size = " << floats_text({v.dz, v.dy, v.dx}) << "\n"
    << "offset = " << floats_text({v.origin_z, v.origin_y, v.origin_x}) << "\n"
    << "\n[detector]\n"
    << "shape = [" << g.rows << ", " << g.columns << "]\n";
  if (g.form != ViewForm::vectors) {
    t << "pitch = " << floats_text({g.pitch_row, g.pitch_column}) << "\n"
      << "offset = " << floats_text({g.offset_v, g.offset_u}) << "\n"
      << "\n[source]\n"
      << "sod = " << float_text(g.sod) << "\n"
      << "sdd = " << float_text(g.sdd) << "\n";
  }
  t << "\n[views]\n";
  switch (g.form) {
    case ViewForm::circle:
      t << "count = " << g.view_count << "\n"
        << "start = " << float_text(g.start_deg) << "\n"
        << "arc = " << float_text(g.arc_deg) << "\n";
      break;
    case ViewForm::angles:
      t << "angles = [";
      for (std::size_t k = 0; k < g.angles_deg.size(); ++k) {
        if (k % 8 == 0) t << "\n  ";
        t << float_text(g.angles_deg[k]) << ",";
        if (k % 8 != 7 && k + 1 < g.angles_deg.size()) t << " ";
      }
      t << "\n]\n";
      break;
    case ViewForm::vectors:
      t << "# one view a line: source, detector centre, column step u, row step v\n"
        << "vectors = [\n";
      for (std::size_t k = 0; k < g.vectors.size(); k += 12) {
        t << "  [";
        for (std::size_t j = 0; j < 12; ++j) t << (j ? ", " : "") << float_text(g.vectors[k + j]);
        t << "],\n";
      }
      t << "]\n";
      break;
  }
  if (g.trace) {
    const TraceBox& b = *g.trace;
    t << "\n[trace]\n"
      << "min = " << floats_text({b.z_lo, b.y_lo, b.x_lo}) << "\n"
      << "max = " << floats_text({b.z_hi, b.y_hi, b.x_hi}) << "\n";
  }
  return t.str();
}

void write_geometry_file(const std::string& path, const Geometry& g) {
  const std::string text = geometry_toml(g);
  tomio::OutputFile out(path, text.size());
  out.write(text.data(), text.size());
  out.commit();
}

}  // namespace geom
