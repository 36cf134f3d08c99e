// Parsing of the values the command and its console accept: sizes with
// units, numbers in any base, device names, hex byte strings and the
// name=value fields of console lines.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cowguard::tool {

// "4096", "0x1000", "16M", "64MiB", "1G", "8k": bytes.  nullopt when the text
// is not a size or overflows.
std::optional<std::uint64_t> parse_size(std::string_view text);
// A plain number: decimal, 0x hex or a leading minus.  nullopt otherwise.
std::optional<std::int64_t> parse_int(std::string_view text);
std::optional<std::uint64_t> parse_uint(std::string_view text);
// "0a ff 3c", "0aff3c" or "0x0aff3c": bytes.  nullopt for odd or bad digits.
std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text);
std::string to_hex(const std::uint8_t* data, std::size_t len);

// Splits a console line into words (blanks separate; "double quotes" keep
// blanks; a # outside quotes starts a comment).
std::vector<std::string> split_words(std::string_view line);

// A field a console step accepts: its name and what its value must be.
struct FieldRule {
  std::string name;
  std::function<bool(std::string_view)> ok;  // whether a value is good
  std::string what;                          // what a good value is, for errors
};
FieldRule number_field(std::string name);  // parse_uint
FieldRule number_field(std::string name, std::uint64_t max);  // parse_uint, at most max
FieldRule signed_field(std::string name);  // parse_int
FieldRule text_field(std::string name);    // any text
FieldRule choice_field(std::string name, std::vector<std::string> values);

// The words of one console step: the positional words and the name=value
// fields.  check() holds the fields against the rules of the step before it
// runs; the step then reads them with get().
class Fields {
 public:
  explicit Fields(const std::vector<std::string>& words);
  // Every word in order, with fields as written (for free text).
  const std::vector<std::string>& words() const { return words_; }
  const std::vector<std::string>& positional() const { return pos_; }
  bool has(const std::string& name) const { return kv_.count(name) != 0; }
  // The raw text of a field.
  std::optional<std::string> get(const std::string& name) const;
  // What is wrong with the fields under these rules: an unknown field, a
  // field given twice, a value that is not what its rule wants.  "" when
  // nothing is.  `step` names the step in the text.
  std::string check(const std::string& step, const std::vector<FieldRule>& rules) const;

 private:
  std::vector<std::string> words_;
  std::vector<std::string> pos_;
  std::map<std::string, std::string> kv_;
  std::vector<std::string> repeated_;  // names given more than once
};

}  // namespace cowguard::tool
