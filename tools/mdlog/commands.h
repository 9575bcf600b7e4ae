// The commands of the log by name, their answers decoded, and what of them is secret. The
// names follow the module's own builders (commands_helix.h): a command the module cannot send
// has no name here.
#pragma once

#include <cstdint>
#include <string>

#include "mdlog/log_lines.h"

namespace mdlog {

// What --redact hides of an exchange.
enum class Secret : uint8_t {
    None,
    CommandData,   // the data field of the command
    ResponseData,  // the answer's data (status word kept), and the rest fetched by GET RESPONSE
};

struct CommandInfo {
    std::string name;  // "READ BINARY 18 bytes at 0"; "unknown command 80 FF 00 00" when not ours
    bool known = false;
    bool chained = false;  // not the last piece of a chain
    bool wrapped = false;  // secure messaging
    uint8_t ins = 0;
    Secret secret = Secret::None;
};

CommandInfo DescribeCommand(const Bytes& command);

// "9000 success", "6A82 file or application not found, normalised 6A82", with the FCP of a
// select answer: `ins` is the instruction whose answer this is (for GET RESPONSE, the command
// that began the exchange).
std::string DescribeResponse(uint8_t ins, const Bytes& response);

// The instruction of GET RESPONSE, whose answers belong to the command before it.
constexpr uint8_t kInsGetResponse = 0xC0;

// The status word of a response; 0 when it is shorter than two bytes.
uint16_t StatusWord(const Bytes& response);

std::string HexText(const uint8_t* data, size_t size, const char* separator = " ");
inline std::string HexText(const Bytes& bytes, const char* separator = " ") {
    return HexText(bytes.data(), bytes.size(), separator);
}

}  // namespace mdlog
