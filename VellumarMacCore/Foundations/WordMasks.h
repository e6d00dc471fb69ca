// Bit masks of what the bytes of an ASCII text are, for the one-pass secret scan: which words are worth a
// look, where they begin and end, and what they hold, found by counting bits rather than by a branch per
// byte or per word. Such branches go each way at random in prose, and their mispredictions cost the scan
// more than all the rest of its work.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vellumar::detail {

class WordMasks {
public:
    // Bytes of a text that one mask stands for.
    static constexpr std::size_t kBlockBytes = 64;

    // What the bytes of a stretch of at most kBlockBytes are, bit 0 for its first byte.
    struct StretchBits {
        std::uint64_t wordBytes = 0; // [A-Za-z0-9_]
        std::uint64_t keyBytes = 0; // [A-Za-z0-9_.-]
        std::uint64_t tokenBytes = 0; // [A-Za-z0-9_+=-]
        std::uint64_t separators = 0; // ":="
    };

    // What tells a long run of token bytes that is a secret from one that is a name, read only for such runs.
    struct RunBits {
        std::uint64_t letters = 0; // [A-Za-z]
        std::uint64_t digits = 0; // [0-9]
        std::uint64_t hexDigits = 0; // [0-9A-Fa-f]
    };

    // Reads `text` once; the masks refer to it by offset and do not keep it.
    explicit WordMasks(std::string_view text);

    bool holdsNonASCII() const { return m_holdsNonASCII; }
    std::size_t blockCount() const { return m_blocks.size() - 1; }

    // Bit i stands for byte kBlockBytes * block + i. Set at some byte of every word (run of bytes other than
    // ASCII blanks) that holds ":" or "=", or 11 or more bytes, or that ends in "r" or "c" of either case
    // (as "bearer" and "basic" do).
    std::uint64_t wordsWorthALook(std::size_t block) const { return m_blocks[block].worthALook; }

    // The first offset from `at` on that holds an ASCII blank (space, \t, \n, \v, \f, \r), or that does
    // not; the text's size when there is none.
    std::size_t nextBlank(std::size_t at) const { return nextSet(at, Polarity::blank); }
    std::size_t nextNonBlank(std::size_t at) const { return nextSet(at, Polarity::nonBlank); }
    // Where the word that holds the non-blank byte at `at` begins.
    std::size_t wordBegin(std::size_t at) const;
    // Where the last word that ends before `at`, a blank, begins; none when no word does.
    std::optional<std::size_t> previousWordBegin(std::size_t at) const;

    // Of [begin, end), at most kBlockBytes long.
    StretchBits bitsOf(std::size_t begin, std::size_t end) const;
    RunBits runBitsOf(std::size_t begin, std::size_t end) const;

private:
    enum class Polarity { blank, nonBlank };

    // One for every kBlockBytes of the text, and one after them all blanks.
    struct Block {
        std::uint64_t blanks = 0; // bits past the text's end are blanks
        std::uint64_t worthALook = 0;
        StretchBits kinds;
        RunBits runKinds;
    };

    // Bits [offset, offset + length) of two blocks side by side, as bits from 0.
    static std::uint64_t window(std::uint64_t low, std::uint64_t high, std::size_t offset, std::size_t length)
    {
        auto kept = length == kBlockBytes ? ~std::uint64_t(0) : ~(~std::uint64_t(0) << length);
        // Shifting `high` twice keeps each shift below 64 when the offset is 0.
        return ((low >> offset) | (high << 1 << (kBlockBytes - 1 - offset))) & kept;
    }

    std::uint64_t blankBits(std::size_t block, Polarity polarity) const
    {
        auto blanks = m_blocks[block].blanks;
        return polarity == Polarity::blank ? blanks : ~blanks;
    }
    std::size_t nextSet(std::size_t at, Polarity) const;
    void markWordsWorthALook(std::size_t block, std::uint64_t lastLetters);
    // The last offset before `at` that is a blank, or that is not.
    std::optional<std::size_t> previousSet(std::size_t at, Polarity) const;

    std::vector<Block> m_blocks;
    std::size_t m_size = 0;
    bool m_holdsNonASCII = false;
};

// Inline: the scan asks for a word's ends at every word it looks at.
inline std::size_t WordMasks::nextSet(std::size_t at, Polarity polarity) const
{
    auto block = at / kBlockBytes;
    if (block >= blockCount())
        return m_size;
    auto bits = blankBits(block, polarity) & (~std::uint64_t(0) << (at % kBlockBytes));
    while (bits == 0) {
        if (++block == blockCount())
            return m_size;
        bits = blankBits(block, polarity);
    }
    auto found = block * kBlockBytes + static_cast<std::size_t>(std::countr_zero(bits));
    return found < m_size ? found : m_size;
}

inline std::optional<std::size_t> WordMasks::previousSet(std::size_t at, Polarity polarity) const
{
    if (at == 0)
        return std::nullopt;
    auto block = (at - 1) / kBlockBytes;
    auto bits
        = blankBits(block, polarity) & (~std::uint64_t(0) >> (kBlockBytes - 1 - (at - 1) % kBlockBytes));
    while (bits == 0) {
        if (block == 0)
            return std::nullopt;
        bits = blankBits(--block, polarity);
    }
    return block * kBlockBytes + kBlockBytes - 1 - static_cast<std::size_t>(std::countl_zero(bits));
}

// Inline: the scan reads the masks of every word it looks at.
inline WordMasks::StretchBits WordMasks::bitsOf(std::size_t begin, std::size_t end) const
{
    // The block after always exists: the last one is all blanks.
    const auto& low = m_blocks[begin / kBlockBytes].kinds;
    const auto& high = m_blocks[begin / kBlockBytes + 1].kinds;
    auto of = [&](std::uint64_t StretchBits::*kind) {
        return window(low.*kind, high.*kind, begin % kBlockBytes, end - begin);
    };
    return { of(&StretchBits::wordBytes), of(&StretchBits::keyBytes), of(&StretchBits::tokenBytes),
        of(&StretchBits::separators) };
}

inline WordMasks::RunBits WordMasks::runBitsOf(std::size_t begin, std::size_t end) const
{
    const auto& low = m_blocks[begin / kBlockBytes].runKinds;
    const auto& high = m_blocks[begin / kBlockBytes + 1].runKinds;
    auto of = [&](std::uint64_t RunBits::*kind) {
        return window(low.*kind, high.*kind, begin % kBlockBytes, end - begin);
    };
    return { of(&RunBits::letters), of(&RunBits::digits), of(&RunBits::hexDigits) };
}

inline std::size_t WordMasks::wordBegin(std::size_t at) const
{
    auto blank = previousSet(at, Polarity::blank);
    return blank ? *blank + 1 : 0;
}

inline std::optional<std::size_t> WordMasks::previousWordBegin(std::size_t at) const
{
    auto last = previousSet(at, Polarity::nonBlank);
    if (!last)
        return std::nullopt;
    return wordBegin(*last);
}

}
