// Seeded mutations of a sample file for the bad-input tests: byte flips,
// truncations, inserted binary, deep nesting, huge values and element
// counts, duplicated and removed elements and attributes, wrong types and
// out-of-range numbers. The same seed gives the same mutations, so a failure
// names its seed and mutation and can be replayed
// (TAGBRIDGE_MUTATION_SEED=<seed>).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace mutation
{
inline uint32_t Seed(uint32_t fallback)
{
    const char* text = std::getenv("TAGBRIDGE_MUTATION_SEED");
    return text != nullptr && *text != '\0' ? static_cast<uint32_t>(std::strtoul(text, nullptr, 0)) : fallback;
}

struct Mutation
{
    std::string name; // operator and where it struck, for the failure message
    std::string content;
};

// XML samples are cut into elements and attribute values, CSV samples into
// lines and cells.
enum class Format
{
    Xml,
    Csv
};

class Mutator
{
public:
    Mutator(std::string sample, Format format, uint32_t seed)
        : m_sample(std::move(sample)), m_format(format), m_random(seed)
    {
        Scan();
    }

    // The sample cut short after every step bytes.
    std::vector<Mutation> Truncations(size_t step) const
    {
        std::vector<Mutation> out;
        for (size_t at = 0; at < m_sample.size(); at += step)
            out.push_back({"truncate@" + std::to_string(at), m_sample.substr(0, at)});
        return out;
    }

    // count mutations, the operators taken in turn, each placed at random.
    std::vector<Mutation> Random(size_t count)
    {
        typedef Mutation (Mutator::*Operator)();
        static const Operator operators[] = {
            &Mutator::FlipBytes,     &Mutator::InsertBinary,    &Mutator::DeepNesting,
            &Mutator::HugeValue,     &Mutator::HugeCount,       &Mutator::DuplicateElement,
            &Mutator::RemoveElement, &Mutator::RemoveAttribute, &Mutator::DuplicateAttribute,
            &Mutator::WrongType,     &Mutator::OutOfRange,      &Mutator::SwapValues,
        };
        std::vector<Mutation> out;
        for (size_t i = 0; i < count; ++i)
        {
            Mutation m = (this->*operators[i % (sizeof operators / sizeof operators[0])])();
            m.name = std::to_string(i) + ":" + m.name;
            out.push_back(std::move(m));
        }
        return out;
    }

private:
    typedef std::pair<size_t, size_t> Span; // offset, length

    size_t Pick(size_t n) { return n == 0 ? 0 : static_cast<size_t>(m_random() % n); }
    const Span& PickOf(const std::vector<Span>& spans) { return spans[Pick(spans.size())]; }
    static std::string At(const Span& s) { return "@" + std::to_string(s.first); }

    std::string Replaced(const Span& s, const std::string& text) const
    {
        return m_sample.substr(0, s.first) + text + m_sample.substr(s.first + s.second);
    }

    // Elements (whole, when they hold text only or nothing) and values
    // (attribute values and element text); for CSV, lines and cells.
    void Scan()
    {
        const std::string& s = m_sample;
        if (m_format == Format::Csv)
        {
            for (size_t line = 0; line < s.size();)
            {
                size_t end = s.find('\n', line);
                end = end == std::string::npos ? s.size() : end + 1;
                m_elements.push_back({line, end - line});
                for (size_t cell = line;;)
                {
                    size_t stop = cell;
                    while (stop < end && s[stop] != ',' && s[stop] != '\n' && s[stop] != '\r')
                        ++stop;
                    m_values.push_back({cell, stop - cell});
                    if (stop >= end || s[stop] != ',')
                        break;
                    cell = stop + 1;
                }
                line = end;
            }
            return;
        }
        for (size_t open = s.find('<'); open != std::string::npos; open = s.find('<', open + 1))
        {
            if (open + 1 >= s.size() || s[open + 1] == '/' || s[open + 1] == '?' || s[open + 1] == '!')
                continue;
            const size_t close = s.find('>', open);
            if (close == std::string::npos)
                break;
            m_tags.push_back({open, close + 1 - open});
            // Attribute values and the attributes around them.
            for (size_t q = s.find("=\"", open); q != std::string::npos && q < close; q = s.find("=\"", q + 2))
            {
                const size_t end = s.find('"', q + 2);
                size_t name = q;
                while (name > open && s[name - 1] != ' ' && s[name - 1] != '\n')
                    --name;
                m_values.push_back({q + 2, end - q - 2});
                m_attributes.push_back({name - 1, end + 1 - (name - 1)});
                q = end;
            }
            if (s[close - 1] == '/')
            {
                m_elements.push_back({open, close + 1 - open});
                continue;
            }
            const size_t next = s.find('<', close);
            if (next != std::string::npos && s.compare(next, 2, "</") == 0)
            {
                const size_t end = s.find('>', next);
                if (next > close + 1)
                    m_values.push_back({close + 1, next - close - 1});
                m_elements.push_back({open, end + 1 - open});
            }
        }
    }

    Mutation FlipBytes()
    {
        std::string text = m_sample;
        const size_t n = 1 + Pick(8);
        for (size_t i = 0; i < n; ++i)
            text[Pick(text.size())] ^= static_cast<char>(1 + Pick(255));
        return {"flip" + std::to_string(n), text};
    }

    Mutation InsertBinary()
    {
        std::string bytes;
        const size_t n = 1 + Pick(64);
        for (size_t i = 0; i < n; ++i)
            bytes += static_cast<char>(Pick(256));
        const Span at{Pick(m_sample.size()), 0};
        return {"binary" + At(at), Replaced(at, bytes)};
    }

    // An element's start tag (or a line) repeated inside itself, deeper than
    // a reader takes or just within reach.
    Mutation DeepNesting()
    {
        static const size_t depths[] = {64, 255, 256, 257, 5000, 200000};
        const size_t depth = depths[Pick(sizeof depths / sizeof depths[0])];
        if (m_format == Format::Csv || m_tags.empty())
        {
            const Span& line = PickOf(m_elements);
            std::string many;
            for (size_t i = 0; i < depth && many.size() < (1u << 20); ++i)
                many += "\"" + m_sample.substr(line.first, line.second);
            return {"nest" + std::to_string(depth) + At(line), Replaced({line.first, 0}, many)};
        }
        const Span& tag = PickOf(m_tags);
        std::string start = m_sample.substr(tag.first, tag.second);
        if (start.size() >= 2 && start[start.size() - 2] == '/')
            start.erase(start.size() - 2, 1);
        size_t nameEnd = 1;
        while (nameEnd < start.size() && start[nameEnd] != ' ' && start[nameEnd] != '>' && start[nameEnd] != '\n')
            ++nameEnd;
        const std::string end = "</" + start.substr(1, nameEnd - 1) + ">";
        std::string open, close;
        for (size_t i = 0; i < depth && open.size() < (1u << 20); ++i)
        {
            open += start;
            close += end;
        }
        return {"nest" + std::to_string(depth) + At(tag), Replaced({tag.first, 0}, open + close)};
    }

    Mutation HugeValue()
    {
        static const char* const fills[] = {"x", "9", "&amp;", "\xe6\xb8\xa9", " ", "-"};
        const char* fill = fills[Pick(sizeof fills / sizeof fills[0])];
        const size_t bytes = size_t(1) << (10 + Pick(11)); // 1 KB to 1 MB
        std::string value;
        while (value.size() < bytes)
            value += fill;
        const Span& s = PickOf(m_values);
        return {"huge" + std::to_string(bytes) + At(s), Replaced(s, value)};
    }

    Mutation HugeCount()
    {
        const Span& s = PickOf(m_elements);
        const size_t copies = 1000 + Pick(20000);
        std::string many;
        many.reserve(s.second * copies);
        for (size_t i = 0; i < copies && many.size() < (1u << 20); ++i)
            many += m_sample.substr(s.first, s.second);
        return {"count" + std::to_string(copies) + At(s), Replaced({s.first, 0}, many)};
    }

    Mutation DuplicateElement()
    {
        const Span& s = PickOf(m_elements);
        return {"dup-element" + At(s), Replaced({s.first, 0}, m_sample.substr(s.first, s.second))};
    }

    Mutation RemoveElement()
    {
        const Span& s = PickOf(m_elements);
        return {"remove-element" + At(s), Replaced(s, "")};
    }

    Mutation RemoveAttribute()
    {
        if (m_attributes.empty())
            return RemoveValue();
        const Span& s = PickOf(m_attributes);
        return {"remove-attribute" + At(s), Replaced(s, "")};
    }

    Mutation DuplicateAttribute()
    {
        if (m_attributes.empty())
            return DuplicateElement();
        const Span& s = PickOf(m_attributes);
        return {"dup-attribute" + At(s), Replaced({s.first + s.second, 0}, m_sample.substr(s.first, s.second))};
    }

    Mutation RemoveValue()
    {
        const Span& s = PickOf(m_values);
        return {"remove-value" + At(s), Replaced(s, "")};
    }

    Mutation WrongType()
    {
        static const char* const junk[] = {"",     " ",        "abc",      "true",  "On",  "Off",  "String", "Bit",
                                           "CSV",  "0x",       "0xZZ",     "1.5.5", "--1", "+",    "12abc",  "&#0;",
                                           "&lt;", "\x01\x02", "\xff\xfe", "\xc3",  ",,,", "\"\"", "NaN"};
        const Span& s = PickOf(m_values);
        const char* value = junk[Pick(sizeof junk / sizeof junk[0])];
        return {"type:" + std::string(value) + At(s), Replaced(s, value)};
    }

    Mutation OutOfRange()
    {
        static const char* const numbers[] = {"-1",
                                              "0",
                                              "65535",
                                              "65536",
                                              "2147483648",
                                              "-2147483649",
                                              "4294967295",
                                              "4294967296",
                                              "18446744073709551616",
                                              "99999999999999999999999999",
                                              "1e309",
                                              "-1e309",
                                              "1e-320",
                                              "0x7FFFFFFF",
                                              "0xFFFFFFFF",
                                              "0x100000000",
                                              "1021",
                                              "99",
                                              "101"};
        const Span& s = PickOf(m_values);
        const char* value = numbers[Pick(sizeof numbers / sizeof numbers[0])];
        return {"range:" + std::string(value) + At(s), Replaced(s, value)};
    }

    // Two values change places: each well-formed, but in the wrong field.
    Mutation SwapValues()
    {
        Span a = PickOf(m_values), b = PickOf(m_values);
        if (a.first > b.first)
            std::swap(a, b);
        if (a.first + a.second > b.first)
            return WrongType();
        const std::string first = m_sample.substr(a.first, a.second), second = m_sample.substr(b.first, b.second);
        std::string text = m_sample;
        text.replace(b.first, b.second, first);
        text.replace(a.first, a.second, second);
        return {"swap" + At(a) + At(b), text};
    }

    std::string m_sample;
    Format m_format;
    std::mt19937 m_random;
    std::vector<Span> m_tags, m_elements, m_attributes, m_values;
};
} // namespace mutation
