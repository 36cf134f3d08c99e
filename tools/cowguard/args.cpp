#include "args.h"

#include <cctype>
#include <charconv>
#include <limits>

namespace cowguard::tool {

std::optional<std::uint64_t> parse_uint(std::string_view t) {
  if (t.empty()) return std::nullopt;
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t.remove_prefix(2);
  }
  std::uint64_t v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
  return v;
}

std::optional<std::int64_t> parse_int(std::string_view t) {
  bool neg = !t.empty() && t[0] == '-';
  if (neg) t.remove_prefix(1);
  auto u = parse_uint(t);
  if (!u) return std::nullopt;
  if (neg) {
    if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - *u);
  }
  if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  return static_cast<std::int64_t>(*u);
}

std::optional<std::uint64_t> parse_size(std::string_view t) {
  std::size_t n = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) return parse_uint(t);
  while (n < t.size() && std::isdigit(static_cast<unsigned char>(t[n]))) n++;
  if (n == 0) return std::nullopt;
  auto v = parse_uint(t.substr(0, n));
  if (!v) return std::nullopt;
  std::string unit;
  for (char c : t.substr(n)) unit += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  unsigned shift = 0;
  if (unit.empty() || unit == "b") shift = 0;
  else if (unit == "k" || unit == "kib" || unit == "kb") shift = 10;
  else if (unit == "m" || unit == "mib" || unit == "mb") shift = 20;
  else if (unit == "g" || unit == "gib" || unit == "gb") shift = 30;
  else return std::nullopt;
  if (shift && *v > (std::numeric_limits<std::uint64_t>::max() >> shift)) return std::nullopt;
  return *v << shift;
}

std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view t) {
  if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.remove_prefix(2);
  std::string digits;
  for (char c : t) {
    if (c == ' ' || c == ':' || c == '_') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() % 2) return std::nullopt;
  std::vector<std::uint8_t> out(digits.size() / 2);
  for (std::size_t i = 0; i < out.size(); i++)
    out[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  return out;
}

std::string to_hex(const std::uint8_t* data, std::size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * len);
  for (std::size_t i = 0; i < len; i++) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string cur;
  bool in_word = false, quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c == '"') quoted = false;
      else cur += c;
      continue;
    }
    if (c == '#') break;
    if (c == '"') {
      quoted = true;
      in_word = true;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (in_word) words.push_back(cur);
      cur.clear();
      in_word = false;
      continue;
    }
    cur += c;
    in_word = true;
  }
  if (in_word) words.push_back(cur);
  return words;
}

FieldRule number_field(std::string name) {
  return {std::move(name), [](std::string_view v) { return parse_uint(v).has_value(); }, "a number"};
}

FieldRule number_field(std::string name, std::uint64_t max) {
  return {std::move(name),
          [max](std::string_view v) {
            auto n = parse_uint(v);
            return n && *n <= max;
          },
          "a number up to " + std::to_string(max)};
}

FieldRule signed_field(std::string name) {
  return {std::move(name), [](std::string_view v) { return parse_int(v).has_value(); }, "a number"};
}

FieldRule text_field(std::string name) {
  return {std::move(name), [](std::string_view) { return true; }, "text"};
}

FieldRule choice_field(std::string name, std::vector<std::string> values) {
  std::string what;
  for (std::size_t i = 0; i < values.size(); i++)
    what += (i == 0 ? "" : i + 1 == values.size() ? " or " : ", ") + values[i];
  return {std::move(name),
          [values = std::move(values)](std::string_view v) {
            for (const auto& c : values)
              if (v == c) return true;
            return false;
          },
          what};
}

Fields::Fields(const std::vector<std::string>& words) : words_(words) {
  for (const auto& w : words) {
    auto eq = w.find('=');
    if (eq == std::string::npos || eq == 0) {
      pos_.push_back(w);
      continue;
    }
    std::string name = w.substr(0, eq);
    if (!kv_.emplace(name, w.substr(eq + 1)).second) repeated_.push_back(name);
  }
}

std::optional<std::string> Fields::get(const std::string& name) const {
  auto it = kv_.find(name);
  if (it == kv_.end()) return std::nullopt;
  return it->second;
}

std::string Fields::check(const std::string& step, const std::vector<FieldRule>& rules) const {
  std::vector<std::string> unknown;
  for (const auto& [name, value] : kv_) {
    const FieldRule* rule = nullptr;
    for (const auto& r : rules)
      if (r.name == name) rule = &r;
    if (!rule) unknown.push_back(name);
  }
  if (!unknown.empty()) {
    std::string s = step + " has no field" + (unknown.size() > 1 ? "s" : "");
    for (const auto& u : unknown) s += " " + u;
    return s;
  }
  if (!repeated_.empty()) return "field " + repeated_.front() + " given twice";
  for (const auto& r : rules) {
    auto it = kv_.find(r.name);
    if (it != kv_.end() && !r.ok(it->second))
      return "bad " + r.name + " '" + it->second + "' (" + r.what + ")";
  }
  return "";
}

}  // namespace cowguard::tool
