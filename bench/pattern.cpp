#include "pattern.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <vector>

namespace Pattern {

namespace {

// splitmix64 run in counter mode: word `index` is a fixed scramble of the index.
std::uint64_t word(std::uint64_t index)
{
    std::uint64_t z = index * 0x9E3779B97F4A7C15ULL + 0x6A09E667F3BCC909ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr std::size_t blockSize = 1 << 20;

} // namespace

void fill(char* out, std::size_t length, std::uint64_t offset)
{
    std::size_t done = 0;
    // The unaligned head, byte by byte.
    while (done < length && (offset + done) % 8 != 0) {
        const std::uint64_t at = offset + done;
        out[done++] = static_cast<char>(word(at / 8) >> (8 * (at % 8)));
    }
    for (; done + 8 <= length; done += 8) {
        const std::uint64_t w = word((offset + done) / 8);
        std::memcpy(out + done, &w, 8); // little-endian: byte k of a word is bits 8k..8k+7
    }
    for (; done < length; ++done) {
        const std::uint64_t at = offset + done;
        out[done] = static_cast<char>(word(at / 8) >> (8 * (at % 8)));
    }
}

bool matches(const char* bytes, std::size_t length, std::uint64_t offset)
{
    static thread_local std::vector<char> expected;
    for (std::size_t done = 0; done < length;) {
        const std::size_t n = std::min(blockSize, length - done);
        expected.resize(n);
        fill(expected.data(), n, offset + done);
        if (std::memcmp(expected.data(), bytes + done, n) != 0)
            return false;
        done += n;
    }
    return true;
}

bool writeFile(const QString& path, std::int64_t size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::vector<char> block(blockSize);
    for (std::int64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(blockSize, size - done));
        fill(block.data(), n, static_cast<std::uint64_t>(done));
        if (file.write(block.data(), static_cast<qint64>(n)) != static_cast<qint64>(n))
            return false;
        done += static_cast<std::int64_t>(n);
    }
    return file.flush();
}

bool fileMatches(const QString& path, std::int64_t size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    std::vector<char> block(blockSize);
    for (std::int64_t done = 0; done < size;) {
        const qint64 got = file.read(block.data(), static_cast<qint64>(block.size()));
        if (got <= 0 ||
            !matches(block.data(), static_cast<std::size_t>(got), static_cast<std::uint64_t>(done)))
            return false;
        done += got;
    }
    return true;
}

} // namespace Pattern
