// The TLV readers over any bytes, and the writer against the BER reader. Each element read lies
// inside the buffer and a walk always moves on; what the writer encodes reads back as written,
// nested elements included.
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "fuzz_check.h"
#include "libapdu/token/tlv.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::ParsedTlv;

template <class Parse, class FindTag>
void Walk(ByteSpan buffer, Parse parse, FindTag find) {
    size_t position = 0;
    bool first = true;
    while (position < buffer.size) {
        ParsedTlv element;
        try {
            element = parse(buffer, position);
        } catch (...) {
            return;  // malformed from here on: the readers say so by throwing
        }
        FUZZ_REQUIRE(element.value >= buffer.data + position);
        FUZZ_REQUIRE(element.end == static_cast<size_t>(element.value - buffer.data) + element.length);
        FUZZ_REQUIRE(element.end <= buffer.size && element.end > position);
        if (first) {
            const ParsedTlv found = find(buffer, element.tag);
            FUZZ_REQUIRE(found.value == element.value && found.length == element.length);
            first = false;
        }
        position = element.end;
    }
}

// Elements cut from the input: a tag byte, a two-byte length, that many value bytes.
std::vector<libapdu::TlvElement> Elements(ByteSpan data) {
    std::vector<libapdu::TlvElement> out;
    size_t at = 0;
    while (data.size - at >= 3) {
        uint8_t tag = data[at];
        // One tag byte is all the writer knows; 1F would open a longer tag for a reader.
        if (tag == 0x1F) tag = 0x1E;
        size_t length = static_cast<size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (length > data.size - at) length = data.size - at;
        out.emplace_back(tag, ByteVector(data.begin() + at, data.begin() + at + length));
        at += length;
    }
    return out;
}

void RoundTrip(ByteSpan data) {
    const std::vector<libapdu::TlvElement> elements = Elements(data);
    libapdu::TlvList list;
    for (const auto& e : elements) list.Append(e);
    const ByteVector& bytes = list.Bytes();
    size_t position = 0;
    for (const auto& e : elements) {
        const ParsedTlv read = libapdu::ParseBerTlv(bytes, position);
        FUZZ_REQUIRE(read.tag == e.Tag());
        FUZZ_REQUIRE(read.CopyValue() == e.Value());
        FUZZ_REQUIRE(read.end - position == e.EncodedLength());
        position = read.end;
    }
    FUZZ_REQUIRE(position == bytes.size());

    // The first element wrapped in another reads back from inside it.
    if (elements.empty()) return;
    try {
        const ByteVector outer = libapdu::EncodeTlv(libapdu::TlvElement(0x30, elements.front()));
        const ParsedTlv wrapper = libapdu::ParseBerTlv(outer, 0);
        FUZZ_REQUIRE(wrapper.constructed && wrapper.end == outer.size());
        const ParsedTlv inner = libapdu::ParseBerTlv(wrapper.Value(), 0);
        FUZZ_REQUIRE(inner.tag == elements.front().Tag() && inner.CopyValue() == elements.front().Value());
    } catch (const std::runtime_error&) {
        FUZZ_REQUIRE(elements.front().EncodedLength() > 0xFFFF);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteSpan buffer(data, size);
    Walk(buffer, libapdu::ParseBerTlv, [](ByteSpan b, uint32_t tag) { return libapdu::FindBerTlv(b, tag); });
    Walk(buffer, libapdu::ParseSimpleTlv,
         [](ByteSpan b, uint32_t tag) { return libapdu::FindSimpleTlv(b, tag); });
    RoundTrip(buffer);
    return 0;
}
