#include "libapdu/appfs/fs_helix.h"

namespace libapdu {

void CFSCommon::ReadFile(ByteVector& buffer, uint32_t offset) {
    const size_t piece = MaxChunk();
    for (size_t done = 0; done < buffer.size(); done += piece) {
        ByteVector chunk(std::min(piece, buffer.size() - done));
        ReadChunk(chunk, static_cast<uint32_t>(offset + done));
        std::copy(chunk.begin(), chunk.end(), buffer.begin() + static_cast<std::ptrdiff_t>(done));
    }
}

void CFSCommon::WriteFile(const ByteVector& data, uint32_t offset) {
    const size_t piece = MaxChunk();
    for (size_t done = 0; done < data.size(); done += piece) {
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(done);
        const ByteVector chunk(from, from + static_cast<std::ptrdiff_t>(std::min(piece, data.size() - done)));
        WriteChunk(chunk, static_cast<uint32_t>(offset + done));
    }
}

}  // namespace libapdu
