#include <algorithm>
#include <cstdint>

#include "libapdu/appfs/fs_helix.h"

namespace libapdu {

namespace {

// A transfer whose end lies past what a 32-bit offset can address cannot lie inside any file.
bool Addressable(size_t size, uint32_t offset) {
    return size <= UINT32_MAX - offset;
}

}  // namespace

void CFSCommon::ReadFile(ByteVector& buffer, uint32_t offset) {
    const size_t piece = MaxChunk();
    if (piece == 0) HELIX_NOT_SUPPORTED("IAppFS::ReadFile");
    if (!Addressable(buffer.size(), offset))
        ThrowAPDUException(sw::kEndOfFile, u"IAppFS::ReadFile", __LINE__);
    for (size_t done = 0; done < buffer.size(); done += piece) {
        const size_t n = std::min(piece, buffer.size() - done);
        ByteVector chunk(n);
        ReadChunk(chunk, static_cast<uint32_t>(offset + done));
        if (chunk.size() != n) ThrowAPDUException(sw::kEndOfFile, u"IAppFS::ReadFile", __LINE__);
        std::copy(chunk.begin(), chunk.end(), buffer.begin() + static_cast<std::ptrdiff_t>(done));
    }
}

void CFSCommon::WriteFile(const ByteVector& data, uint32_t offset) {
    const size_t piece = MaxChunk();
    if (piece == 0) HELIX_NOT_SUPPORTED("IAppFS::WriteFile");
    if (!Addressable(data.size(), offset))
        ThrowAPDUException(sw::kNotEnoughMemory, u"IAppFS::WriteFile", __LINE__);
    for (size_t done = 0; done < data.size(); done += piece) {
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(done);
        const ByteVector chunk(from, from + static_cast<std::ptrdiff_t>(std::min(piece, data.size() - done)));
        WriteChunk(chunk, static_cast<uint32_t>(offset + done));
    }
}

}  // namespace libapdu
