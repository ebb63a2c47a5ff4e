// A reader for the plain form tag files take in practice: UTF-8 without a
// document type, elements and attributes with plain ASCII names, attribute
// values without references, whitespace and comments between elements. It
// hands the elements to a sink as the platform's SAX reader would, several
// times faster, and declines everything else (other encodings, DTDs,
// entities, namespaces, CDATA, processing instructions, malformed input) so
// that the platform's reader reads those files, with its own results.
#pragma once

#include "OpcGrowArray.h"
#include "OpcTaskMem.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Receives the elements in document order.
class IOpcTagSink
{
public:
    struct SAttribute
    {
        const wchar_t* name;
        int nameLength;
        const wchar_t* value;
        int valueLength;
    };

    virtual ~IOpcTagSink() = default;
    // Texts are not terminated and valid only during the call. A failure ends the read.
    virtual HRESULT StartElement(const wchar_t* name, int nameLength, const SAttribute* attributes, int count) = 0;
    virtual void EndElement() = 0;
};

class COpcTagFastReader
{
public:
    enum class Status
    {
        More,     // give the rest again, with what follows behind it
        Done,     // the document is complete
        Declined, // read it with the platform's reader instead
    };

    // Names longer than this are left to the platform's reader, which has limits of its own.
    static constexpr size_t MaxName = 1000;
    static constexpr size_t MaxAttributes = 1024;

    explicit COpcTagFastReader(IOpcTagSink& sink) : m_sink(sink) {}
    COpcTagFastReader(const COpcTagFastReader&) = delete;
    COpcTagFastReader& operator=(const COpcTagFastReader&) = delete;

    // Room for pieces (an element with its attributes, a comment, a run of
    // text) of up to maxPiece bytes; a longer one is declined. False when out of memory.
    bool Prepare(size_t maxPiece);

    // Reads the complete pieces at the front of data; consumed says how far.
    // last says nothing follows data. The first call starts at the file's first byte.
    Status Read(const BYTE* data, size_t size, bool last, size_t& consumed);

private:
    enum class Step
    {
        Ok,
        Short, // the piece goes on past the data
        Decline
    };
    enum class Place
    {
        Start,   // nothing read yet
        Prolog,  // before the root element
        Content, // inside it
        Epilog   // after it
    };

    Step Declaration(const BYTE*& p, const BYTE* end);
    Step Text(const BYTE*& p, const BYTE* end, bool inRoot);
    Step Comment(const BYTE*& p, const BYTE* end);
    Step StartTag(const BYTE*& p, const BYTE* end);
    Step EndTag(const BYTE*& p, const BYTE* end);
    // A name at p, widened into the scratch text; its start there in at.
    Step Name(const BYTE*& p, const BYTE* end, size_t& at, size_t& length);
    Step Value(const BYTE*& p, const BYTE* end, size_t& at, size_t& length);

    IOpcTagSink& m_sink;
    Place m_place = Place::Start;
    bool m_endsInSpace = false;
    // The open elements' names, for matching end tags.
    COpcGrowArray<char> m_names;
    COpcGrowArray<size_t> m_nameStarts;
    // The texts of the element being read, and its attributes as offsets into them.
    COpcTaskMem<wchar_t> m_text;
    size_t m_textSize = 0;
    size_t m_textUsed = 0;
    COpcTaskMem<IOpcTagSink::SAttribute> m_attributes;
    COpcTaskMem<size_t> m_offsets;
};
