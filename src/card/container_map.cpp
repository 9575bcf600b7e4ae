#include "card/container_map.h"

#include <cstring>

#include "libapdu/token/failure.h"
#include "libapdu/token/reader.h"

namespace cmap {

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::Failure;
using libapdu::Reader;

constexpr uint8_t kFiller = 0xFF;
constexpr uint8_t kMapTag[2] = {0x00, 0x11};
constexpr size_t kLengthFieldOffset = 4;
constexpr size_t kNameCharacters = MAX_CONTAINER_NAME_LEN + 1;
// A body this short holds a fragment of an entry, never a whole one.
constexpr size_t kShortestBody = 6;

size_t LengthField(ByteSpan file) {
    Reader r(file, Failure::Status(SCARD_E_UNEXPECTED));
    r.Skip(kLengthFieldOffset);
    return r.U16BE();
}

// Bytes of the record's name up to its first zero character, names being UTF-16 low byte first.
uint16_t NameBytes(ByteSpan record) {
    size_t characters = 0;
    while (characters < kNameCharacters && (record[2 * characters] | record[2 * characters + 1]) != 0)
        ++characters;
    return static_cast<uint16_t>(2 * characters);
}

void PutU16BE(ByteVector& out, size_t offset, size_t value) {
    out[offset] = static_cast<uint8_t>(value >> 8);
    out[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

std::optional<MapEntry> FindMapEntry(ByteSpan file, size_t end) {
    if (end > file.size || end <= kHeaderBytes) return std::nullopt;
    Reader r(ByteSpan(file.data + kHeaderBytes, end - kHeaderBytes), Failure::Status(SCARD_E_UNEXPECTED));
    for (;;) {
        while (!r.AtEnd() && r.PeekU8() == kFiller) r.Skip(1);
        if (r.Remaining() < kEntryHeaderBytes) return std::nullopt;
        const size_t start = kHeaderBytes + r.Position();
        const uint8_t tag0 = r.U8();
        const uint8_t tag1 = r.U8();
        r.Skip(1);
        const size_t length = r.U16BE();
        if (length > r.Remaining()) return std::nullopt;
        if (tag0 == kMapTag[0] && tag1 == kMapTag[1]) return MapEntry{start, length};
        r.Skip(length);
    }
}

void CheckLength(ByteSpan file) {
    if (file.size < kHeaderBytes || file.size < LengthField(file) + kTrailerBytes)
        ThrowStatus(SCARD_E_UNEXPECTED);
}

bool LengthMatches(ByteSpan file) {
    return file.size >= kHeaderBytes && file.size == LengthField(file) + kTrailerBytes;
}

void Parse(ByteSpan file, std::vector<ContainerEntry>& containers) {
    if (file.size <= kHeaderBytes + kTrailerBytes) return;
    if (file.size - kHeaderBytes - kTrailerBytes < kShortestBody) ThrowStatus(SCARD_E_UNEXPECTED);
    const std::optional<MapEntry> entry = FindMapEntry(file, file.size - kTrailerBytes);
    if (!entry || entry->valueLength == 0 || entry->valueLength % kCardRecordBytes != 0) return;

    std::vector<ContainerEntry> found(entry->valueLength / kCardRecordBytes);
    const uint8_t* record = file.data + entry->ValueOffset();
    for (ContainerEntry& slot : found) {
        std::memcpy(&slot.record, record, kRecordBytes);
        record += kCardRecordBytes;
    }
    containers.swap(found);
}

ByteVector CardValue(ByteSpan hostRecords) {
    const size_t count = hostRecords.size / kRecordBytes;
    ByteVector value;
    value.reserve(count * kCardRecordBytes);
    for (size_t i = 0; i < count; ++i) {
        const ByteSpan record(hostRecords.data + i * kRecordBytes, kRecordBytes);
        value.insert(value.end(), record.begin(), record.end());
        const uint16_t nameBytes = NameBytes(record);
        value.push_back(static_cast<uint8_t>(nameBytes & 0xFF));
        value.push_back(static_cast<uint8_t>(nameBytes >> 8));
        value.push_back(0);
        value.push_back(0);
    }
    return value;
}

ByteVector Splice(ByteSpan file, const MapEntry& entry, ByteSpan value) {
    const size_t lengthOffset = entry.start + 3;
    ByteVector out(file.begin(), file.begin() + lengthOffset);
    out.resize(lengthOffset + 2);
    PutU16BE(out, lengthOffset, value.size);
    out.insert(out.end(), value.begin(), value.end());
    out.insert(out.end(), file.begin() + entry.ValueOffset() + entry.valueLength, file.end());
    PutU16BE(out, kLengthFieldOffset, out.size() - kTrailerBytes);
    return out;
}

ByteVector ReadFile(libapdu::IToken& token) {
    libapdu::IAppFS& fs = *token.GetFS();
    fs.SelectPath(kFilePath);
    ByteVector content(fs.GetFileInfo().size);
    fs.ReadFile(content, 0);
    return content;
}

void Merge(libapdu::IToken& token, ByteSpan file, ByteSpan hostRecords) {
    const std::optional<MapEntry> entry = FindMapEntry(file, file.size);
    if (!entry) ThrowStatus(SCARD_E_UNEXPECTED);
    const ByteVector value = CardValue(hostRecords);
    libapdu::IAppFS& fs = *token.GetFS();
    if (value.size() == entry->valueLength) {
        fs.WriteFile(value, static_cast<uint32_t>(entry->ValueOffset()));
        return;
    }

    const size_t total = file.size - entry->valueLength + value.size();
    const size_t room = file.size + token.GetInfo()->GetFreeMemory();
    if (total >= room || total > 0xFFFF) ThrowStatus(SCARD_E_WRITE_TOO_MANY);
    const ByteVector content = Splice(file, *entry, value);

    const libapdu::FileDescriptor old = fs.GetFileInfo();
    fs.SelectPath(kFilePath);
    fs.DeleteFile();
    fs.SelectPath(kDirectoryPath);
    libapdu::FileDescriptor created;
    created.kind = old.kind;
    created.size = static_cast<uint16_t>(total);
    created.access[0] = old.access[0];
    created.access[1] = old.access[1];
    created.access[2] = 3;
    fs.CreateFile(kFileId, created, ByteVector());
    fs.SelectPath(kFilePath);
    fs.WriteFile(content, 0);
}

}  // namespace cmap
