// The container map file: any file parses or is refused with a status, every entry found lies
// inside the file, and host records merged into a file read back as the host gave them.
// Input: a count byte (0 to 7), that many 86-byte host records, then the card file.
#include <cstdint>
#include <cstring>
#include <vector>

#include "card/container_map.h"
#include "fuzz_check.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;

// The records the map entry of `file` holds, as the module reads them; nothing on refusal.
bool Read(ByteSpan file, std::vector<ContainerEntry>& containers) {
    try {
        cmap::CheckLength(file);
        cmap::Parse(file, containers);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t count = data[0] % 8;
    if (size - 1 < count * cmap::kRecordBytes) return 0;
    const ByteSpan records(data + 1, count * cmap::kRecordBytes);
    const ByteSpan file(records.end(), size - 1 - records.size);

    std::vector<ContainerEntry> before;
    const bool readable = Read(file, before);
    const auto entry = cmap::FindMapEntry(file, file.size);
    if (entry) FUZZ_REQUIRE(entry->ValueOffset() + entry->valueLength <= file.size);
    const auto parsed = cmap::FindMapEntry(file, file.size - (file.size < 4 ? file.size : 4));
    if (readable && parsed && parsed->valueLength % cmap::kCardRecordBytes == 0)
        FUZZ_REQUIRE(before.size() == parsed->valueLength / cmap::kCardRecordBytes);

    const ByteVector value = cmap::CardValue(records);
    FUZZ_REQUIRE(value.size() == count * cmap::kCardRecordBytes);
    // Merge's own view of the file decides where the records go; a file that the module reads
    // whole and where that is the entry it reads must give them back.
    if (!entry || !readable || !cmap::LengthMatches(file) || !parsed || parsed->start != entry->start)
        return 0;
    if (file.size - entry->valueLength + value.size() > 0xFFFF) return 0;
    const ByteVector merged = cmap::Splice(file, *entry, value);
    FUZZ_REQUIRE(cmap::LengthMatches(merged));
    // An empty entry right before the trailer leaves a 5-byte body, which the reader refuses as a
    // fragment: the format cannot say "no containers" without filler behind the entry.
    if (merged.size() - cmap::kHeaderBytes - cmap::kTrailerBytes < 6) return 0;
    std::vector<ContainerEntry> after;
    FUZZ_REQUIRE(Read(merged, after));
    if (count == 0) return 0;
    FUZZ_REQUIRE(after.size() == count);
    for (size_t i = 0; i < count; ++i)
        FUZZ_REQUIRE(
            std::memcmp(&after[i].record, records.data + i * cmap::kRecordBytes, cmap::kRecordBytes) == 0);
    return 0;
}
