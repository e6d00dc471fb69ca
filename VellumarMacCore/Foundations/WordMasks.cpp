#include "VellumarMacCore/Foundations/WordMasks.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellumar::detail {

namespace {

    constexpr std::size_t kBlockBytes = WordMasks::kBlockBytes;
    constexpr std::uint64_t kAllBits = ~std::uint64_t(0);
    // The fewest bytes of a word whose length alone makes it worth a look: the shortest run any pattern
    // needs, a web token's "eyJ" and eight more.
    constexpr int kLongWordBytes = 11;

    struct BlockBits {
        std::uint64_t blanks = 0;
        std::uint64_t nonASCII = 0;
        std::uint64_t lastLetters = 0; // "rRcC"
        WordMasks::StretchBits kinds;
    };

    bool isBlank(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

    bool isWordByte(unsigned char byte)
    {
        return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
            || byte == '_';
    }

    // The last, partial block, and every block where no vector instructions are at hand.
    BlockBits bitsOfBytes(const char* bytes, std::size_t count)
    {
        BlockBits bits;
        for (std::size_t index = 0; index < count; ++index) {
            auto byte = static_cast<unsigned char>(bytes[index]);
            auto lowered = byte | 0x20;
            bits.blanks |= std::uint64_t(isBlank(byte)) << index;
            bits.nonASCII |= std::uint64_t(byte >= 0x80) << index;
            bits.lastLetters |= std::uint64_t(lowered == 'r' || lowered == 'c') << index;
            bits.kinds.wordBytes |= std::uint64_t(isWordByte(byte)) << index;
            bits.kinds.keyBytes |= std::uint64_t(isWordByte(byte) || byte == '-' || byte == '.') << index;
            bits.kinds.tokenBytes
                |= std::uint64_t(isWordByte(byte) || byte == '-' || byte == '+' || byte == '=') << index;
            bits.kinds.separators |= std::uint64_t(byte == ':' || byte == '=') << index;
        }
        return bits;
    }

#if defined(__SSE2__)
    std::uint64_t bitsOf(__m128i bytes) { return static_cast<std::uint16_t>(_mm_movemask_epi8(bytes)); }

    __m128i equal(__m128i bytes, char byte) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(byte)); }

    // Bytes from `first` to first + span: those that stay at most `span` once `first` is taken away.
    __m128i within(__m128i bytes, char first, char span)
    {
        auto offset = _mm_sub_epi8(bytes, _mm_set1_epi8(first));
        return _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(span)), offset);
    }

    BlockBits bitsOfFullBlock(const char* bytes)
    {
        constexpr int kLaneBytes = 16;
        BlockBits bits;
        for (int lane = 0; lane < 4; ++lane) {
            auto chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + lane * kLaneBytes));
            // Setting 0x20 lowers an ASCII letter and turns no other byte into one.
            auto lowered = _mm_or_si128(chunk, _mm_set1_epi8(0x20));
            auto colons = equal(chunk, ':');
            auto equalSigns = equal(chunk, '=');
            auto dashes = equal(chunk, '-');
            auto wordBytes = _mm_or_si128(
                _mm_or_si128(within(lowered, 'a', 'z' - 'a'), within(chunk, '0', 9)), equal(chunk, '_'));
            auto shift = lane * kLaneBytes;
            bits.blanks |= bitsOf(_mm_or_si128(within(chunk, '\t', '\r' - '\t'), equal(chunk, ' '))) << shift;
            // A byte from 0x80 on has its top bit set, which is what the mask reads.
            bits.nonASCII |= bitsOf(chunk) << shift;
            bits.lastLetters |= bitsOf(_mm_or_si128(equal(lowered, 'r'), equal(lowered, 'c'))) << shift;
            bits.kinds.wordBytes |= bitsOf(wordBytes) << shift;
            bits.kinds.keyBytes |= bitsOf(_mm_or_si128(wordBytes, _mm_or_si128(dashes, equal(chunk, '.'))))
                << shift;
            bits.kinds.tokenBytes |= bitsOf(_mm_or_si128(_mm_or_si128(wordBytes, dashes),
                                         _mm_or_si128(equal(chunk, '+'), equalSigns)))
                << shift;
            bits.kinds.separators |= bitsOf(_mm_or_si128(colons, equalSigns)) << shift;
        }
        return bits;
    }
#else
    BlockBits bitsOfFullBlock(const char* bytes) { return bitsOfBytes(bytes, kBlockBytes); }
#endif

}

WordMasks::WordMasks(std::string_view text)
    : m_blocks((text.size() + kBlockBytes - 1) / kBlockBytes)
    , m_size(text.size())
{
    std::uint64_t nonASCII = 0;
    std::vector<std::uint64_t> lastLetters(m_blocks.size());
    for (std::size_t index = 0; index < m_blocks.size(); ++index) {
        auto begin = index * kBlockBytes;
        auto bits = begin + kBlockBytes <= text.size()
            ? bitsOfFullBlock(text.data() + begin)
            : bitsOfBytes(text.data() + begin, text.size() - begin);
        if (begin + kBlockBytes > text.size())
            bits.blanks |= kAllBits << (text.size() - begin);
        m_blocks[index] = { bits.blanks, 0, bits.kinds };
        nonASCII |= bits.nonASCII;
        lastLetters[index] = bits.lastLetters;
    }
    m_holdsNonASCII = nonASCII != 0;
    for (std::size_t index = 0; index < m_blocks.size(); ++index) {
        auto words = ~m_blocks[index].blanks;
        // The text past its end is blank.
        auto nextWords = index + 1 < m_blocks.size() ? ~m_blocks[index + 1].blanks : 0;
        // Bit i set when byte i + shift is no blank, reading on into the next block.
        auto wordsFrom = [&](int shift) { return (words >> shift) | (nextWords << (kBlockBytes - shift)); };
        auto wordEnds = words & ~wordsFrom(1);
        // The text before its start is blank.
        auto wordBefore = index > 0 && !(m_blocks[index - 1].blanks >> (kBlockBytes - 1));
        auto wordStarts = words & ~((words << 1) | std::uint64_t(wordBefore));
        // One bit is enough for a long word: the one at its start.
        auto longWords = wordStarts;
        for (int shift = 1; shift < kLongWordBytes; ++shift)
            longWords &= wordsFrom(shift);
        const auto& kinds = m_blocks[index].kinds;
        m_blocks[index].worthALook = kinds.separators | longWords | (wordEnds & lastLetters[index]);
    }
}

WordMasks::StretchBits WordMasks::bitsOf(std::size_t begin, std::size_t end) const
{
    auto block = begin / kBlockBytes;
    auto offset = begin % kBlockBytes;
    auto length = end - begin;
    auto kept = length == kBlockBytes ? kAllBits : ~(kAllBits << length);
    auto window = [&](std::uint64_t StretchBits::*kind) {
        auto bits = m_blocks[block].kinds.*kind >> offset;
        if (offset != 0 && block + 1 < m_blocks.size())
            bits |= m_blocks[block + 1].kinds.*kind << (kBlockBytes - offset);
        return bits & kept;
    };
    return { window(&StretchBits::wordBytes), window(&StretchBits::keyBytes),
        window(&StretchBits::tokenBytes), window(&StretchBits::separators) };
}

}
