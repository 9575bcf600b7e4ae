// A cursor over untrusted bytes that cannot run past the end. Every parse of card answers, TLV
// data, container maps and records goes through it; a short read raises the failure the caller
// chose when it made the reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libapdu/token/bytes.h"
#include "libapdu/token/failure.h"

namespace libapdu {

// What a parse raises when the data runs short or is malformed.
class Failure {
public:
    // A bare status code (int32_t), as the card module throws them; Status(0) is the integer 0.
    static Failure Status(DWORD code) { return Failure(Kind::Status, code); }
    // A CAPDUException with the status word; `where` names the parsing operation.
    static Failure Apdu(uint16_t sw, const char16_t* where) { return Failure(Kind::Apdu, sw, where); }
    // A CAException with the code.
    static Failure Channel(DWORD code) { return Failure(Kind::Channel, code); }

    [[noreturn]] void Raise() const;

private:
    enum class Kind { Status, Apdu, Channel };
    Failure(Kind kind, DWORD code, const char16_t* where = nullptr)
        : m_kind(kind), m_code(code), m_where(where) {}
    Kind m_kind;
    DWORD m_code;
    const char16_t* m_where;
};

class Reader {
public:
    Reader(ByteSpan data, Failure failure) : m_data(data), m_failure(failure) {}

    size_t Position() const { return m_pos; }
    size_t Remaining() const { return m_data.size - m_pos; }
    bool AtEnd() const { return m_pos == m_data.size; }

    uint8_t U8();
    uint16_t U16BE();
    uint32_t U32BE();
    // Big-endian unsigned value of `count` bytes (1 to 4).
    uint32_t UnsignedBE(size_t count);
    uint8_t PeekU8() const;
    ByteSpan Take(size_t count);
    void Skip(size_t count) { (void)Take(count); }
    ByteSpan Rest() { return Take(Remaining()); }

    // Raises the reader's failure: for malformed data found by the caller.
    [[noreturn]] void Fail() const { m_failure.Raise(); }
    void Require(bool condition) const {
        if (!condition) Fail();
    }

private:
    ByteSpan m_data;
    Failure m_failure;
    size_t m_pos = 0;
};

}  // namespace libapdu
