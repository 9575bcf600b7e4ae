// The container map file 3F00/3000/3001/867F: a 7-byte header (bytes 4-5: file length - 4), tagged
// entries with 0xFF filler between them, and a 4-byte trailer. The entry tagged 00 11 holds one
// 90-byte card record per container: the host's 86-byte record, the byte length of its name (low
// byte first) and two zero bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "card/card_context.h"
#include "libapdu/libapdu.h"

namespace cmap {

inline const libapdu::CardPath kDirectoryPath{0x3F00, 0x3000, 0x3001};
inline const libapdu::CardPath kFilePath{0x3F00, 0x3000, 0x3001, 0x867F};
constexpr uint16_t kFileId = 0x867F;

constexpr size_t kHeaderBytes = 7;
constexpr size_t kTrailerBytes = 4;
constexpr size_t kEntryHeaderBytes = 5;
constexpr size_t kRecordBytes = sizeof(CONTAINER_MAP_RECORD);
constexpr size_t kCardRecordBytes = kRecordBytes + 4;

// The container-map entry: where it starts in the file and how long its value is.
struct MapEntry {
    size_t start = 0;
    size_t valueLength = 0;
    size_t ValueOffset() const { return start + kEntryHeaderBytes; }
};

// The first 00 11 entry whose value ends before `end`, walking from the end of the header.
std::optional<MapEntry> FindMapEntry(libapdu::ByteSpan file, size_t end);

// Reading paths: at least the header and not shorter than its length field says; else
// SCARD_E_UNEXPECTED.
void CheckLength(libapdu::ByteSpan file);
// The file is exactly as long as its length field says.
bool LengthMatches(libapdu::ByteSpan file);

// Replaces `containers` with the records of the map entry when it holds whole records; any other
// entry length leaves them untouched. SCARD_E_UNEXPECTED for a body of 1 to 5 bytes.
void Parse(libapdu::ByteSpan file, std::vector<ContainerEntry>& containers);

// The host's records as the map entry's value; a partial trailing record is ignored.
libapdu::ByteVector CardValue(libapdu::ByteSpan hostRecords);

// The file with the map entry's value replaced by `value` and the length fields adjusted.
libapdu::ByteVector Splice(libapdu::ByteSpan file, const MapEntry& entry, libapdu::ByteSpan value);

// The whole card file: select, size, read.
libapdu::ByteVector ReadFile(libapdu::IToken& token);

// Writes `hostRecords` into the card file, which is the selected file and holds `file`: in place when the
// value keeps its length, otherwise by creating the file again with the new size.
// SCARD_E_UNEXPECTED, nothing written, when the file has no map entry; SCARD_E_WRITE_TOO_MANY when
// the new file cannot fit; card failures pass as thrown.
void Merge(libapdu::IToken& token, libapdu::ByteSpan file, libapdu::ByteSpan hostRecords);

}  // namespace cmap
