// A whole file's bytes, read in one go: images of tens of MiB are read
// back at every point of a chain, and a byte-by-byte stream iterator makes
// that the slowest step of a case in the sanitizer builds.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace cgtest {

// Empty when the file cannot be read.
inline std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary | std::ios::ate);
  if (!in) return {};
  const std::streamoff size = in.tellg();
  if (size <= 0) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

}  // namespace cgtest
