#include "card/card_object.h"

#include <string>

#include "card/card_io.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/reader.h"
#include "libapdu/token/text.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;

constexpr uint8_t kFiller = 0xFF;
constexpr size_t kLargest = 0xFFFF;
constexpr size_t kLengthOffset = 4;
constexpr size_t kContainerSlots = 32;

// cardcf: a two-byte length, the version and PIN freshness bytes, then the counters.
constexpr size_t kPrefixBytes = 2;
constexpr size_t kTrailerOffset = 2;
constexpr size_t kTrailerBytes = 4;

}  // namespace

void CardObjectWriter::Entry(uint16_t tag, uint8_t attribute, ByteSpan value, size_t width) {
    if (value.size > kLargest) ThrowStatus(SCARD_E_WRITE_TOO_MANY);
    m_bytes.insert(m_bytes.end(),
                   {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag & 0xFF), attribute,
                    static_cast<uint8_t>(value.size >> 8), static_cast<uint8_t>(value.size & 0xFF)});
    m_bytes.insert(m_bytes.end(), value.begin(), value.end());
    if (value.size < width) m_bytes.insert(m_bytes.end(), width - value.size, kFiller);
}

void CardObjectWriter::Entry(uint16_t tag, uint8_t attribute, std::initializer_list<uint8_t> value) {
    const ByteVector bytes(value);
    Entry(tag, attribute, ByteSpan(bytes));
}

ByteVector CardObjectWriter::Finish(ByteSpan trailer) {
    const size_t length = m_bytes.size();
    if (length + trailer.size > kLargest) ThrowStatus(SCARD_E_WRITE_TOO_MANY);
    m_bytes[kLengthOffset] = static_cast<uint8_t>(length >> 8);
    m_bytes[kLengthOffset + 1] = static_cast<uint8_t>(length & 0xFF);
    m_bytes.insert(m_bytes.end(), trailer.begin(), trailer.end());
    return std::move(m_bytes);
}

ByteVector FreshnessTrailer(libapdu::IAppFS& fs, const ByteVector& cachedCardcf) {
    if (cachedCardcf.size() >= kTrailerOffset + kTrailerBytes) {
        const auto first = cachedCardcf.begin() + kTrailerOffset;
        return ByteVector(first, first + kTrailerBytes);
    }
    const ByteVector cardcf = ReadWhole(fs, CardcfPath());
    libapdu::Reader r(cardcf, libapdu::Failure::Status(SCARD_E_UNEXPECTED));
    r.Skip(kPrefixBytes + kTrailerOffset);
    return r.Take(kTrailerBytes).ToVector();
}

std::optional<ByteVector> RecordedContainerName(const std::vector<ContainerEntry>& containers, uint8_t slot) {
    const size_t index = slot % kContainerSlots;
    if (index >= containers.size()) return std::nullopt;
    const WCHAR* name = containers[index].record.wszGuid;
    size_t length = 0;
    while (length <= MAX_CONTAINER_NAME_LEN && name[length] != 0) ++length;
    const std::string narrow = libapdu::WideToNarrow(libapdu::WideView(name, length));
    return ByteVector(narrow.begin(), narrow.end());
}
