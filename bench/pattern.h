#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// The benchmark's test data: pseudo-random bytes where every byte is a function of its position,
// so any stretch can be made or checked on its own, without holding the whole data in memory.
namespace Pattern {

// Fills `out` with the `length` bytes that start at `offset`.
void fill(char* out, std::size_t length, std::uint64_t offset);
// True when `bytes` are exactly the `length` bytes that start at `offset`.
bool matches(const char* bytes, std::size_t length, std::uint64_t offset);

// Writes the first `size` bytes into a new file.
bool writeFile(const QString& path, std::int64_t size);
// True when the file holds exactly the first `size` bytes.
bool fileMatches(const QString& path, std::int64_t size);

} // namespace Pattern
