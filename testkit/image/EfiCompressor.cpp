#include "testkit/image/EfiCompressor.h"

#include "image/EfiDecompress.h"

#include <algorithm>
#include <bit>
#include <queue>
#include <stdexcept>

namespace testkit
{
namespace
{
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 256;
constexpr uint32_t kWindow = 8192;
constexpr uint32_t kChainLimit = 64;
constexpr uint32_t kHashBits = 15;

struct Code
{
    uint16_t symbol = 0;   // literal byte or match length + 253
    uint32_t position = 0; // match only: distance - 1
};

// Huffman code lengths of at most 16 bits; sets of fewer than two used
// symbols get no lengths (the caller writes them in the count-0 form).
std::vector<uint8_t> CodeLengths(std::vector<uint32_t> frequencies)
{
    std::vector<uint8_t> lengths(frequencies.size(), 0);
    if (std::count_if(frequencies.begin(), frequencies.end(), [](uint32_t f) { return f != 0; }) <
        2)
    {
        return lengths;
    }
    for (;;)
    {
        struct Node
        {
            uint64_t weight;
            int32_t left;
            int32_t right;
        };
        std::vector<Node> nodes;
        using Entry = std::pair<uint64_t, int32_t>;
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
        for (size_t s = 0; s < frequencies.size(); ++s)
        {
            if (frequencies[s] != 0)
            {
                nodes.push_back({frequencies[s], -1, static_cast<int32_t>(s)});
                queue.emplace(frequencies[s], static_cast<int32_t>(nodes.size() - 1));
            }
        }
        while (queue.size() > 1)
        {
            const Entry a = queue.top();
            queue.pop();
            const Entry b = queue.top();
            queue.pop();
            nodes.push_back({a.first + b.first, a.second, b.second});
            queue.emplace(a.first + b.first, static_cast<int32_t>(nodes.size() - 1));
        }
        std::fill(lengths.begin(), lengths.end(), 0);
        uint32_t deepest = 0;
        std::vector<std::pair<int32_t, uint32_t>> stack = {{queue.top().second, 0}};
        while (!stack.empty())
        {
            const auto [index, depth] = stack.back();
            stack.pop_back();
            const Node& node = nodes[static_cast<size_t>(index)];
            if (node.left == -1)
            {
                lengths[static_cast<size_t>(node.right)] = static_cast<uint8_t>(depth);
                deepest = std::max(deepest, depth);
            }
            else
            {
                stack.emplace_back(node.left, depth + 1);
                stack.emplace_back(node.right, depth + 1);
            }
        }
        if (deepest <= efi::kMaxCodeLength)
        {
            return lengths;
        }
        // Too deep: flatten the frequencies and build again.
        for (uint32_t& f : frequencies)
        {
            f = f == 0 ? 0 : (f + 1) / 2;
        }
    }
}

// Canonical codes in the order the decoder assigns them.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths)
{
    std::vector<uint32_t> count(efi::kMaxCodeLength + 2, 0);
    for (uint8_t length : lengths)
    {
        ++count[length];
    }
    count[0] = 0;
    std::vector<uint32_t> next(efi::kMaxCodeLength + 2, 0);
    uint32_t code = 0;
    for (uint32_t length = 1; length <= efi::kMaxCodeLength; ++length)
    {
        code = (code + count[length - 1]) << 1;
        next[length] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); ++s)
    {
        if (lengths[s] != 0)
        {
            codes[s] = next[lengths[s]]++;
        }
    }
    return codes;
}

size_t UsedCount(const std::vector<uint8_t>& lengths)
{
    size_t n = lengths.size();
    while (n > 0 && lengths[n - 1] == 0)
    {
        --n;
    }
    return n;
}

uint32_t FirstUsed(const std::vector<uint32_t>& frequencies)
{
    const auto it = std::find_if(frequencies.begin(), frequencies.end(),
                                 [](uint32_t f) { return f != 0; });
    return it == frequencies.end() ? 0 : static_cast<uint32_t>(it - frequencies.begin());
}

uint32_t PositionCode(uint32_t position)
{
    return position < 2 ? position : static_cast<uint32_t>(std::bit_width(position));
}

// The code-length sequence of the character set as extra-set codes, each
// with its extra bits: (code, extra value, extra bit count).
struct ExtraCode
{
    uint32_t code;
    uint32_t extra;
    uint32_t extraBits;
};

std::vector<ExtraCode> CharacterLengthCodes(const std::vector<uint8_t>& lengths)
{
    std::vector<ExtraCode> codes;
    const size_t n = UsedCount(lengths);
    for (size_t i = 0; i < n;)
    {
        if (lengths[i] != 0)
        {
            codes.push_back({lengths[i] + 2u, 0, 0});
            ++i;
            continue;
        }
        size_t run = 0;
        while (i + run < n && lengths[i + run] == 0)
        {
            ++run;
        }
        i += run;
        while (run > 0)
        {
            if (run <= 2)
            {
                codes.push_back({0, 0, 0});
                --run;
            }
            else if (run <= 18)
            {
                codes.push_back({1, static_cast<uint32_t>(run - 3), 4});
                run = 0;
            }
            else if (run == 19)
            {
                codes.push_back({0, 0, 0});
                --run;
            }
            else
            {
                const size_t take = std::min<size_t>(run, 531);
                codes.push_back({2, static_cast<uint32_t>(take - 20), 9});
                run -= take;
            }
        }
    }
    return codes;
}

void WritePTSet(CEfiBitWriter& out, const std::vector<uint32_t>& frequencies,
                const std::vector<uint8_t>& lengths, uint32_t countBits, uint32_t specialIndex)
{
    const size_t n = UsedCount(lengths);
    if (n == 0)
    {
        out.Put(0, countBits);
        out.Put(FirstUsed(frequencies), countBits);
        return;
    }
    out.Put(static_cast<uint32_t>(n), countBits);
    for (size_t i = 0; i < n; ++i)
    {
        out.PutPTLength(lengths[i]);
        if (i + 1 == specialIndex)
        {
            out.Put(0, 2);
        }
    }
}

void EncodeBlock(CEfiBitWriter& out, const std::vector<Code>& codes)
{
    std::vector<uint32_t> cFrequency(efi::kCharacterSetSize, 0);
    std::vector<uint32_t> pFrequency(efi::kPositionSetSize, 0);
    for (const Code& code : codes)
    {
        ++cFrequency[code.symbol];
        if (code.symbol >= 256)
        {
            ++pFrequency[PositionCode(code.position)];
        }
    }
    const std::vector<uint8_t> cLengths = CodeLengths(cFrequency);
    const std::vector<uint8_t> pLengths = CodeLengths(pFrequency);
    const std::vector<ExtraCode> lengthCodes = CharacterLengthCodes(cLengths);
    std::vector<uint32_t> tFrequency(efi::kExtraSetSize, 0);
    for (const ExtraCode& code : lengthCodes)
    {
        ++tFrequency[code.code];
    }
    const std::vector<uint8_t> tLengths = CodeLengths(tFrequency);
    const std::vector<uint32_t> tCodes = CanonicalCodes(tLengths);
    const std::vector<uint32_t> cCodes = CanonicalCodes(cLengths);
    const std::vector<uint32_t> pCodes = CanonicalCodes(pLengths);

    out.Put(static_cast<uint32_t>(codes.size()), 16);
    WritePTSet(out, tFrequency, tLengths, efi::kExtraCountBits, efi::kExtraSpecialIndex);
    if (UsedCount(cLengths) == 0)
    {
        out.Put(0, efi::kCharacterCountBits);
        out.Put(FirstUsed(cFrequency), efi::kCharacterCountBits);
    }
    else
    {
        out.Put(static_cast<uint32_t>(UsedCount(cLengths)), efi::kCharacterCountBits);
        for (const ExtraCode& code : lengthCodes)
        {
            out.Put(tCodes[code.code], tLengths[code.code]);
            out.Put(code.extra, code.extraBits);
        }
    }
    WritePTSet(out, pFrequency, pLengths, efi::kPositionCountBits, ~0u);

    for (const Code& code : codes)
    {
        out.Put(cCodes[code.symbol], cLengths[code.symbol]);
        if (code.symbol < 256)
        {
            continue;
        }
        const uint32_t p = PositionCode(code.position);
        out.Put(pCodes[p], pLengths[p]);
        if (p > 1)
        {
            out.Put(code.position - (1u << (p - 1)), p - 1);
        }
    }
}

uint32_t Hash3(const std::vector<uint8_t>& input, size_t at)
{
    const uint32_t value = input[at] | input[at + 1] << 8 | input[at + 2] << 16;
    return (value * 2654435761u) >> (32 - kHashBits);
}

// Literals only: the hash chains would never be read.
std::vector<Code> LiteralCodes(const std::vector<uint8_t>& input)
{
    std::vector<Code> codes;
    codes.reserve(input.size());
    for (const uint8_t byte : input)
    {
        codes.push_back({byte, 0});
    }
    return codes;
}

struct FoundMatch
{
    size_t length = 0;
    size_t from = 0;
};

// Hash chains over the input's 3-byte groups. The hash heads are kept from
// call to call, each stamped with the call that set it, so a call does not
// fill the whole table first: a head of another call reads as none. Links
// are 32 bits: inputs stay far below 2 GiB.
class CMatchFinder
{
public:
    explicit CMatchFinder(const std::vector<uint8_t>& input)
        : m_input(input), m_previous(input.size(), -1), m_call(++Calls())
    {
    }

    void Insert(size_t at)
    {
        if (at + kMinMatch <= m_input.size())
        {
            const uint32_t h = Hash3(m_input, at);
            m_previous[at] = Head(h);
            Heads()[h] = {m_call, static_cast<int32_t>(at)};
        }
    }

    // The longest earlier match within the window and the chain limit.
    FoundMatch Longest(size_t at) const
    {
        FoundMatch best;
        if (at + kMinMatch > m_input.size())
        {
            return best;
        }
        const size_t limit = std::min<size_t>(kMaxMatch, m_input.size() - at);
        int32_t candidate = Head(Hash3(m_input, at));
        for (uint32_t step = 0; candidate >= 0 && step < kChainLimit; ++step)
        {
            const auto from = static_cast<size_t>(candidate);
            if (at - from > kWindow)
            {
                break;
            }
            size_t length = 0;
            while (length < limit && m_input[from + length] == m_input[at + length])
            {
                ++length;
            }
            if (length > best.length)
            {
                best = {length, from};
            }
            candidate = m_previous[from];
        }
        return best;
    }

private:
    struct HashHead
    {
        uint64_t call = 0;
        int32_t at = -1;
    };

    static std::vector<HashHead>& Heads()
    {
        thread_local std::vector<HashHead> heads(size_t{1} << kHashBits);
        return heads;
    }

    static uint64_t& Calls()
    {
        thread_local uint64_t calls = 0;
        return calls;
    }

    int32_t Head(uint32_t h) const { return Heads()[h].call == m_call ? Heads()[h].at : -1; }

    const std::vector<uint8_t>& m_input;
    std::vector<int32_t> m_previous;
    uint64_t m_call;
};

std::vector<Code> Match(const std::vector<uint8_t>& input, bool useMatches)
{
    if (!useMatches)
    {
        return LiteralCodes(input);
    }
    std::vector<Code> codes;
    CMatchFinder finder(input);
    for (size_t at = 0; at < input.size();)
    {
        const FoundMatch best = finder.Longest(at);
        if (best.length >= kMinMatch)
        {
            codes.push_back({static_cast<uint16_t>(best.length + efi::kMatchBias),
                             static_cast<uint32_t>(at - best.from - 1)});
            for (size_t i = 0; i < best.length; ++i)
            {
                finder.Insert(at + i);
            }
            at += best.length;
        }
        else
        {
            codes.push_back({input[at], 0});
            finder.Insert(at);
            ++at;
        }
    }
    return codes;
}
} // namespace

void CEfiBitWriter::Put(uint32_t value, uint32_t bitCount)
{
    for (uint32_t i = bitCount; i > 0; --i)
    {
        if (m_bits % 8 == 0)
        {
            m_bytes.push_back(0);
        }
        if (((value >> (i - 1)) & 1) != 0)
        {
            m_bytes.back() |= static_cast<uint8_t>(0x80 >> (m_bits % 8));
        }
        ++m_bits;
    }
}

void CEfiBitWriter::PutPTLength(uint32_t length)
{
    if (length < 7)
    {
        Put(length, 3);
        return;
    }
    Put(7, 3);
    for (uint32_t i = 7; i < length; ++i)
    {
        Put(1, 1);
    }
    Put(0, 1);
}

std::vector<uint8_t> CEfiBitWriter::Bytes() const
{
    return m_bytes;
}

std::vector<uint8_t> EfiFrame(const std::vector<uint8_t>& stream, uint32_t decodedSize)
{
    std::vector<uint8_t> block(efi::kHeaderSize);
    const auto size = static_cast<uint32_t>(stream.size());
    for (uint32_t i = 0; i < 4; ++i)
    {
        block[i] = static_cast<uint8_t>(size >> (8 * i));
        block[4 + i] = static_cast<uint8_t>(decodedSize >> (8 * i));
    }
    block.insert(block.end(), stream.begin(), stream.end());
    return block;
}

std::vector<uint8_t> EfiCompress(const std::vector<uint8_t>& input,
                                 const EfiCompressOptions& options)
{
    if (options.maxBlockCodes == 0 || options.maxBlockCodes > 0xFFFF)
    {
        throw std::invalid_argument("A block holds 1 to 65535 codes");
    }
    const std::vector<Code> codes = Match(input, options.useMatches);
    CEfiBitWriter out;
    for (size_t first = 0; first < codes.size(); first += options.maxBlockCodes)
    {
        const size_t last = std::min(codes.size(), first + options.maxBlockCodes);
        EncodeBlock(out, std::vector<Code>(codes.begin() + static_cast<std::ptrdiff_t>(first),
                                           codes.begin() + static_cast<std::ptrdiff_t>(last)));
    }
    return EfiFrame(out.Bytes(), static_cast<uint32_t>(input.size()));
}
} // namespace testkit
