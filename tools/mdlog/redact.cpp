#include "mdlog/redact.h"

#include <cstring>

#include "libapdu/token/apdu.h"
#include "mdlog/commands.h"

namespace mdlog {

namespace {

// Where the bytes of a dump line start: just after " bytes): ".
size_t DumpStart(const std::string& text) {
    const size_t at = text.find(" bytes): ");
    return at == std::string::npos ? text.size() : at + 9;
}

void Hide(std::string& text, size_t first, size_t count) {
    const size_t start = DumpStart(text);
    for (size_t i = first; i < first + count; ++i) {
        const size_t at = start + 3 * i;
        if (at + 1 >= text.size()) return;
        text[at] = 'x';
        text[at + 1] = 'x';
    }
}

// The data field's place in a command: after the header and the one- or three-byte Lc.
void HideCommandData(std::string& text, const Bytes& command) {
    try {
        const libapdu::ApduParts parts =
            libapdu::SplitApdu(libapdu::ByteSpan(command.data(), command.size()));
        if (parts.data.empty()) return;
        const size_t offset = command[4] == 0 && command.size() > 7 ? 7 : 5;
        Hide(text, offset, parts.data.size());
    } catch (...) {
        // A command of no known form: all but the header.
        if (command.size() > 4) Hide(text, 4, command.size() - 4);
    }
}

}  // namespace

void Redactor::Add(const Line& line) {
    std::string text = line.text;
    switch (line.kind) {
        case LineKind::Unreadable:
            text = "(mdlog --redact: line " + std::to_string(line.number) +
                   " could not be read and was left out)";
            break;
        case LineKind::Command: {
            const CommandInfo info = DescribeCommand(line.bytes);
            if (!info.known || info.secret == Secret::CommandData) HideCommandData(text, line.bytes);
            // GET RESPONSE fetches the rest of the answer before it; anything else starts anew.
            if (info.ins != kInsGetResponse)
                m_secretAnswer = info.secret == Secret::ResponseData || !info.known;
            break;
        }
        case LineKind::Response:
            if (m_secretAnswer && line.bytes.size() > 2) Hide(text, 0, line.bytes.size() - 2);
            break;
        case LineKind::TransmitError:
            m_secretAnswer = false;
            break;
        default:
            break;
    }
    m_out << text << '\n';
}

}  // namespace mdlog
