// File contents for tests that move bytes around.
#pragma once

#include <cstddef>
#include <string>

namespace sarnelux {

// Bytes that differ from their neighbours, so that a byte moved by any
// distance but the mark's shows, and a write that fell short cannot pass
// for one that landed.
inline std::string Pattern(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  }
  return bytes;
}

}  // namespace sarnelux
