// Parsing of the values the command and its console accept: sizes with
// units, numbers in any base, device names, hex byte strings and the
// name=value fields of console lines.
#pragma once
#include <cstdint>
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

// The words of one console step: the positional words and the name=value
// fields, in order of appearance.  Each field is taken at most once; what is
// left untaken is an error the step reports.
class Fields {
 public:
  explicit Fields(const std::vector<std::string>& words);
  const std::vector<std::string>& positional() const { return pos_; }
  bool has(const std::string& name) const { return kv_.count(name) != 0; }
  // The raw text of a field (and marks it taken).
  std::optional<std::string> take(const std::string& name);
  // Names of fields never taken.
  std::vector<std::string> untaken() const;

 private:
  std::vector<std::string> pos_;
  std::map<std::string, std::string> kv_;
  std::map<std::string, bool> taken_;
};

}  // namespace cowguard::tool
