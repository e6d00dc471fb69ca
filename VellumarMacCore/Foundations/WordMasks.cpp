#include "VellumarMacCore/Foundations/WordMasks.h"

#include "VellumarMacCore/Foundations/TextScanner.h"

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
        WordMasks::RunBits runKinds;
    };

    bool isBlank(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

    bool isWordByte(unsigned char byte) { return isASCIIAlphanumeric(byte) || byte == '_'; }

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
            bits.runKinds.letters |= std::uint64_t(isASCIILetter(byte)) << index;
            bits.runKinds.digits |= std::uint64_t(isASCIIDigit(byte)) << index;
            bits.runKinds.hexDigits |= std::uint64_t(isASCIIHexDigit(byte)) << index;
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
            auto letters = within(lowered, 'a', 'z' - 'a');
            auto digits = within(chunk, '0', 9);
            auto wordBytes = _mm_or_si128(_mm_or_si128(letters, digits), equal(chunk, '_'));
            auto shift = lane * kLaneBytes;
            bits.blanks |= bitsOf(_mm_or_si128(within(chunk, '\t', '\r' - '\t'), equal(chunk, ' '))) << shift;
            // A byte from 0x80 on has its top bit set, which is what the mask reads.
            bits.nonASCII |= bitsOf(chunk) << shift;
            bits.lastLetters |= bitsOf(_mm_or_si128(equal(lowered, 'r'), equal(lowered, 'c'))) << shift;
            bits.kinds.wordBytes |= bitsOf(wordBytes) << shift;
            bits.runKinds.letters |= bitsOf(letters) << shift;
            bits.runKinds.digits |= bitsOf(digits) << shift;
            bits.runKinds.hexDigits |= bitsOf(_mm_or_si128(digits, within(lowered, 'a', 'f' - 'a'))) << shift;
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
    : m_size(text.size())
{
    auto count = (text.size() + kBlockBytes - 1) / kBlockBytes;
    m_blocks.reserve(count + 1);
    std::uint64_t nonASCII = 0;
    std::uint64_t lastLettersBefore = 0;
    for (std::size_t index = 0; index < count; ++index) {
        auto begin = index * kBlockBytes;
        auto bits = begin + kBlockBytes <= text.size()
            ? bitsOfFullBlock(text.data() + begin)
            : bitsOfBytes(text.data() + begin, text.size() - begin);
        if (begin + kBlockBytes > text.size())
            bits.blanks |= kAllBits << (text.size() - begin);
        m_blocks.push_back({ bits.blanks, 0, bits.kinds, bits.runKinds });
        nonASCII |= bits.nonASCII;
        // The block before is complete now that the blanks after it are known.
        if (index > 0)
            markWordsWorthALook(index - 1, lastLettersBefore);
        lastLettersBefore = bits.lastLetters;
    }
    // One block more, all blanks, for the masks to read on into past the text's end.
    m_blocks.push_back({ kAllBits, 0, {}, {} });
    if (count > 0)
        markWordsWorthALook(count - 1, lastLettersBefore);
    m_holdsNonASCII = nonASCII != 0;
}

void WordMasks::markWordsWorthALook(std::size_t block, std::uint64_t lastLetters)
{
    auto words = ~m_blocks[block].blanks;
    auto nextWords = ~m_blocks[block + 1].blanks;
    // Bit i set when byte i + shift is no blank, reading on into the next block.
    auto wordsFrom = [&](int shift) { return (words >> shift) | (nextWords << (kBlockBytes - shift)); };
    auto wordsFromNext = wordsFrom(1);
    auto wordEnds = words & ~wordsFromNext;
    // The text before its start is blank.
    auto wordBefore = block > 0 && !(m_blocks[block - 1].blanks >> (kBlockBytes - 1));
    auto wordStarts = words & ~((words << 1) | std::uint64_t(wordBefore));
    // One bit is enough for a long word: the one at its start. Bit i of `...Long` is set when the bytes from
    // i on are no blanks for that many; each step doubles the length, reading on into the next block.
    auto twoLong = words & wordsFromNext;
    auto nextTwoLong = nextWords & (nextWords >> 1);
    auto fourLong = twoLong & ((twoLong >> 2) | (nextTwoLong << (kBlockBytes - 2)));
    auto nextFourLong = nextTwoLong & (nextTwoLong >> 2);
    auto eightLong = fourLong & ((fourLong >> 4) | (nextFourLong << (kBlockBytes - 4)));
    static_assert(kLongWordBytes == 11, "eight bytes, then four more from the eighth");
    auto longWords = wordStarts & eightLong & ((fourLong >> 7) | (nextFourLong << (kBlockBytes - 7)));
    m_blocks[block].worthALook = m_blocks[block].kinds.separators | longWords | (wordEnds & lastLetters);
}

}
