// The record format of the module's own card objects (certificate objects, private key files,
// the container map): a 7-byte header whose bytes 4-5 count header and entries, tagged entries
// (tag, attribute, two-byte length, value) with 0xFF filler up to fixed widths, and a 4-byte
// trailer holding the cardcf freshness counters.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "card/card_context.h"
#include "libapdu/libapdu.h"

class CardObjectWriter {
public:
    explicit CardObjectWriter(libapdu::ByteVector header) : m_bytes(std::move(header)) {}

    // Filler follows a value shorter than `width` up to that width; a longer value goes whole.
    void Entry(uint16_t tag, uint8_t attribute, libapdu::ByteSpan value, size_t width = 0);
    void Entry(uint16_t tag, uint8_t attribute, std::initializer_list<uint8_t> value);

    // Sets the header's length and appends the trailer. SCARD_E_WRITE_TOO_MANY when the object
    // would not fit a card file.
    libapdu::ByteVector Finish(libapdu::ByteSpan trailer);

private:
    libapdu::ByteVector m_bytes;
};

// Bytes 2-5 of cardcf, from the module's cache or else from the card file.
libapdu::ByteVector FreshnessTrailer(libapdu::IAppFS& fs, const libapdu::ByteVector& cachedCardcf);

// The name of container `slot` mod 32 as the host recorded it, in the current locale's multibyte
// form; nothing when the list has no record there.
std::optional<libapdu::ByteVector> RecordedContainerName(const std::vector<ContainerEntry>& containers,
                                                         uint8_t slot);
