#include "OpcTagFastReader.h"

#include <cstring>
#include <cwchar>

namespace
{
bool IsSpace(BYTE c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(BYTE c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsNameChar(BYTE c) noexcept
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

// One UTF-8 sequence of an XML character: its length, 0 when it is invalid
// or no XML character, -1 when the data ends inside it.
int DecodeUtf8(const BYTE* p, const BYTE* end, uint32_t& code) noexcept
{
    const BYTE c = p[0];
    int length = 0;
    BYTE low = 0x80;
    BYTE high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF)
    {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF; // no surrogates
    }
    else if (c >= 0xF0 && c <= 0xF4)
    {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    }
    else
        return 0;
    if (end - p < length)
    {
        // Invalid already in what is there, or cut short.
        for (const BYTE* q = p + 1; q < end; ++q)
        {
            if (q == p + 1 ? (*q < low || *q > high) : (*q & 0xC0) != 0x80)
                return 0;
        }
        return -1;
    }
    if (p[1] < low || p[1] > high)
        return 0;
    code = c & (0x7F >> length);
    for (int i = 1; i < length; ++i)
    {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code == 0xFFFE || code == 0xFFFF)
        return 0;
    return length;
}

bool StartsWith(const BYTE* p, const BYTE* end, const char* text) noexcept
{
    const size_t n = strlen(text);
    return static_cast<size_t>(end - p) >= n && memcmp(p, text, n) == 0;
}

// Whether the data, though shorter than text, could still become it.
bool CouldStart(const BYTE* p, const BYTE* end, const char* text) noexcept
{
    const size_t n = strlen(text);
    const size_t have = static_cast<size_t>(end - p);
    return have < n && memcmp(p, text, have) == 0;
}
} // namespace

bool COpcTagFastReader::Prepare(size_t maxPiece)
{
    m_textSize = maxPiece + 1;
    return m_text.Allocate(m_textSize) && m_attributes.Allocate(MaxAttributes) && m_offsets.Allocate(MaxAttributes * 2);
}

COpcTagFastReader::Status COpcTagFastReader::Read(const BYTE* data, size_t size, bool last, size_t& consumed)
{
    consumed = 0;
    if (m_text.Get() == nullptr || data == nullptr)
        return Status::Declined;
    const BYTE* p = data;
    const BYTE* const end = data + size;
    while (p < end || m_place == Place::Start)
    {
        const BYTE* const piece = p;
        Step step = Step::Ok;
        if (m_place == Place::Start)
        {
            step = Declaration(p, end);
            if (step == Step::Ok)
                m_place = Place::Prolog;
        }
        else if (*p != '<')
            step = Text(p, end, m_place == Place::Content);
        else if (end - p < 2)
            step = Step::Short;
        else if (p[1] == '/')
            step = m_place == Place::Content ? EndTag(p, end) : Step::Decline;
        else if (p[1] == '!')
            step = Comment(p, end);
        else if (m_place == Place::Epilog)
            step = Step::Decline; // a second root
        else
            step = StartTag(p, end);

        if (step == Step::Short)
        {
            // A piece longer than the room for it is not for this reader.
            if (last || static_cast<size_t>(end - piece) >= m_textSize - 1)
                return Status::Declined;
            consumed = static_cast<size_t>(piece - data);
            return Status::More;
        }
        if (step == Step::Decline)
            return Status::Declined;
    }
    consumed = size;
    if (size > 0)
        m_endsInSpace = IsSpace(data[size - 1]);
    if (!last)
        return Status::More;
    // The platform's reader, fed a file in pieces, refuses one that ends right
    // after its last markup; such a file keeps that outcome.
    return m_place == Place::Epilog && m_endsInSpace ? Status::Done : Status::Declined;
}

COpcTagFastReader::Step COpcTagFastReader::Declaration(const BYTE*& p, const BYTE* end)
{
    // A byte-order mark of UTF-8 only; UTF-16 and others go to the platform.
    const BYTE* q = p;
    if (CouldStart(q, end, "\xEF\xBB\xBF"))
        return Step::Short;
    if (StartsWith(q, end, "\xEF\xBB\xBF"))
        q += 3;
    if (CouldStart(q, end, "<?xml "))
        return Step::Short;
    if (!StartsWith(q, end, "<?xml") || end - q < 6 || !IsSpace(q[5]))
    {
        p = q;
        return Step::Ok; // no declaration: UTF-8 by default
    }
    const BYTE* close = nullptr;
    for (const BYTE* r = q; r + 1 < end; ++r)
    {
        if (r[0] == '?' && r[1] == '>')
        {
            close = r;
            break;
        }
    }
    if (close == nullptr)
        return static_cast<size_t>(end - q) > 256 ? Step::Decline : Step::Short;
    // version="1.0", then optionally encoding UTF-8 and standalone, in that order.
    const char* const names[] = {"version", "encoding", "standalone"};
    q += 5;
    for (int k = 0; k < 3; ++k)
    {
        const BYTE* r = q;
        bool space = false;
        while (r < close && IsSpace(*r))
        {
            ++r;
            space = true;
        }
        if (!space || !StartsWith(r, close, names[k]))
        {
            if (k == 0)
                return Step::Decline;
            continue;
        }
        r += strlen(names[k]);
        while (r < close && IsSpace(*r))
            ++r;
        if (r >= close || *r != '=')
            return Step::Decline;
        ++r;
        while (r < close && IsSpace(*r))
            ++r;
        if (r >= close || (*r != '"' && *r != '\''))
            return Step::Decline;
        const BYTE quote = *r++;
        const BYTE* value = r;
        while (r < close && *r != quote)
            ++r;
        if (r >= close)
            return Step::Decline;
        const size_t length = static_cast<size_t>(r - value);
        const bool good =
            k == 0   ? length == 3 && memcmp(value, "1.0", 3) == 0
            : k == 1 ? length == 5 && _strnicmp(reinterpret_cast<const char*>(value), "utf-8", 5) == 0
                     : (length == 3 && memcmp(value, "yes", 3) == 0) || (length == 2 && memcmp(value, "no", 2) == 0);
        if (!good)
            return Step::Decline;
        q = r + 1;
    }
    while (q < close && IsSpace(*q))
        ++q;
    if (q != close)
        return Step::Decline;
    p = close + 2;
    return Step::Ok;
}

COpcTagFastReader::Step COpcTagFastReader::Text(const BYTE*& p, const BYTE* end, bool inRoot)
{
    const BYTE* q = p;
    while (q < end && *q != '<')
    {
        const BYTE c = *q;
        if (c >= 0x80)
        {
            uint32_t code = 0;
            const int n = DecodeUtf8(q, end, code);
            if (n == 0 || !inRoot)
                return Step::Decline;
            if (n < 0)
                return Step::Short;
            q += n;
            continue;
        }
        if (!inRoot && !IsSpace(c))
            return Step::Decline; // text outside the root
        if ((c < 0x20 && !IsSpace(c)) || c == '&')
            return Step::Decline;
        if (c == ']')
        {
            if (end - q < 3)
                return Step::Short;
            if (q[1] == ']' && q[2] == '>')
                return Step::Decline;
        }
        ++q;
    }
    // Whitespace outside the root is complete as it is; a text inside goes on to the next tag.
    if (q == end && inRoot)
        return Step::Short;
    p = q;
    return Step::Ok;
}

COpcTagFastReader::Step COpcTagFastReader::Comment(const BYTE*& p, const BYTE* end)
{
    if (CouldStart(p, end, "<!--"))
        return Step::Short;
    if (!StartsWith(p, end, "<!--"))
        return Step::Decline; // a document type, CDATA or a mistake
    const BYTE* q = p + 4;
    while (q < end)
    {
        const BYTE c = *q;
        if (c == '-')
        {
            if (end - q < 3)
                return Step::Short;
            if (q[1] == '-')
            {
                if (q[2] != '>')
                    return Step::Decline; // "--" inside a comment
                p = q + 3;
                return Step::Ok;
            }
            ++q;
            continue;
        }
        if (c >= 0x80)
        {
            uint32_t code = 0;
            const int n = DecodeUtf8(q, end, code);
            if (n == 0)
                return Step::Decline;
            if (n < 0)
                return Step::Short;
            q += n;
            continue;
        }
        if (c < 0x20 && !IsSpace(c))
            return Step::Decline;
        ++q;
    }
    return Step::Short;
}

COpcTagFastReader::Step COpcTagFastReader::Name(const BYTE*& p, const BYTE* end, size_t& at, size_t& length)
{
    const BYTE* q = p;
    if (q >= end)
        return Step::Short;
    if (!IsNameStart(*q))
        return Step::Decline;
    while (q < end && IsNameChar(*q))
        ++q;
    if (q >= end)
        return Step::Short;
    length = static_cast<size_t>(q - p);
    // A colon (namespaces) or any other name character goes to the platform.
    if (*q >= 0x80 || *q == ':' || length > MaxName || m_textUsed + length > m_textSize)
        return Step::Decline;
    at = m_textUsed;
    wchar_t* out = m_text.Get() + at;
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<wchar_t>(p[i]);
    m_textUsed += length;
    p = q;
    return Step::Ok;
}

COpcTagFastReader::Step COpcTagFastReader::Value(const BYTE*& p, const BYTE* end, size_t& at, size_t& length)
{
    const BYTE quote = *p;
    const BYTE* q = p + 1;
    at = m_textUsed;
    wchar_t* out = m_text.Get() + at;
    wchar_t* const outEnd = m_text.Get() + m_textSize;
    while (q < end && *q != quote)
    {
        const BYTE c = *q;
        if (out + 2 > outEnd)
            return Step::Decline;
        if (c < 0x80)
        {
            // References and the characters the platform normalises are its business.
            if (c < 0x20 || c == '&' || c == '<')
                return Step::Decline;
            *out++ = static_cast<wchar_t>(c);
            ++q;
            continue;
        }
        uint32_t code = 0;
        const int n = DecodeUtf8(q, end, code);
        if (n == 0)
            return Step::Decline;
        if (n < 0)
            return Step::Short;
        if (code >= 0x10000)
        {
            code -= 0x10000;
            *out++ = static_cast<wchar_t>(0xD800 + (code >> 10));
            *out++ = static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        }
        else
            *out++ = static_cast<wchar_t>(code);
        q += n;
    }
    if (q >= end)
        return Step::Short;
    length = static_cast<size_t>(out - (m_text.Get() + at));
    m_textUsed += length;
    p = q + 1;
    return Step::Ok;
}

COpcTagFastReader::Step COpcTagFastReader::StartTag(const BYTE*& p, const BYTE* end)
{
    m_textUsed = 0;
    const BYTE* q = p + 1;
    size_t nameAt = 0;
    size_t nameLength = 0;
    Step step = Name(q, end, nameAt, nameLength);
    if (step != Step::Ok)
        return step;
    size_t count = 0;
    bool empty = false;
    for (;;)
    {
        bool space = false;
        while (q < end && IsSpace(*q))
        {
            ++q;
            space = true;
        }
        if (q >= end)
            return Step::Short;
        if (*q == '>')
        {
            ++q;
            break;
        }
        if (*q == '/')
        {
            if (end - q < 2)
                return Step::Short;
            if (q[1] != '>')
                return Step::Decline;
            q += 2;
            empty = true;
            break;
        }
        if (!space || count >= MaxAttributes)
            return Step::Decline;
        size_t at = 0;
        size_t length = 0;
        step = Name(q, end, at, length);
        if (step != Step::Ok)
            return step;
        // "xmlns" declares a namespace, which the platform's reader does not report as an attribute.
        if (length == 5 && wmemcmp(m_text.Get() + at, L"xmlns", 5) == 0)
            return Step::Decline;
        while (q < end && IsSpace(*q))
            ++q;
        if (q >= end)
            return Step::Short;
        if (*q != '=')
            return Step::Decline;
        ++q;
        while (q < end && IsSpace(*q))
            ++q;
        if (q >= end)
            return Step::Short;
        if (*q != '"' && *q != '\'')
            return Step::Decline;
        size_t valueAt = 0;
        size_t valueLength = 0;
        step = Value(q, end, valueAt, valueLength);
        if (step != Step::Ok)
            return step;
        for (size_t i = 0; i < count; ++i)
        {
            const size_t otherLength = m_offsets.Get()[2 * i + 1] - m_offsets.Get()[2 * i];
            if (otherLength == length && wmemcmp(m_text.Get() + m_offsets.Get()[2 * i], m_text.Get() + at, length) == 0)
                return Step::Decline; // a repeated attribute
        }
        m_offsets.Get()[2 * count] = at;
        m_offsets.Get()[2 * count + 1] = at + length;
        IOpcTagSink::SAttribute& attribute = m_attributes.Get()[count];
        attribute.nameLength = static_cast<int>(length);
        attribute.value = m_text.Get() + valueAt; // the text does not move while the tag is read
        attribute.valueLength = static_cast<int>(valueLength);
        ++count;
    }
    for (size_t i = 0; i < count; ++i)
        m_attributes.Get()[i].name = m_text.Get() + m_offsets.Get()[2 * i];
    const wchar_t* name = m_text.Get() + nameAt;
    if (FAILED(m_sink.StartElement(name, static_cast<int>(nameLength), m_attributes.Get(), static_cast<int>(count))))
        return Step::Decline;
    if (empty)
    {
        m_sink.EndElement();
        if (m_nameStarts.IsEmpty())
            m_place = Place::Epilog;
        else
            m_place = Place::Content;
    }
    else
    {
        const size_t start = m_names.GetCount();
        if (!m_nameStarts.Append(start) || !m_names.Reserve(start + nameLength))
            return Step::Decline;
        for (size_t i = 0; i < nameLength; ++i)
            m_names.Append(static_cast<char>(p[1 + i]));
        m_place = Place::Content;
    }
    p = q;
    return Step::Ok;
}

COpcTagFastReader::Step COpcTagFastReader::EndTag(const BYTE*& p, const BYTE* end)
{
    m_textUsed = 0;
    const BYTE* q = p + 2;
    size_t at = 0;
    size_t length = 0;
    const Step step = Name(q, end, at, length);
    if (step != Step::Ok)
        return step;
    while (q < end && IsSpace(*q))
        ++q;
    if (q >= end)
        return Step::Short;
    if (*q != '>')
        return Step::Decline;
    const size_t start = m_nameStarts.Last();
    if (m_names.GetCount() - start != length || memcmp(m_names.GetData() + start, p + 2, length) != 0)
        return Step::Decline; // not the open element's end
    while (m_names.GetCount() > start)
        m_names.RemoveLast();
    m_nameStarts.RemoveLast();
    m_sink.EndElement();
    if (m_nameStarts.IsEmpty())
        m_place = Place::Epilog;
    p = q + 1;
    return Step::Ok;
}
