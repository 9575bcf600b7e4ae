#include "mdhost/json.h"

#include <cstdio>

namespace mdhost {

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || byte > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

void JsonWriter::Key(const char* key) {
    if (!m_hasItems.empty()) {
        if (m_hasItems.back()) m_text.push_back(',');
        m_hasItems.back() = true;
        m_text.push_back('\n');
        m_text.append(2 * m_hasItems.size(), ' ');
    }
    if (key != nullptr) {
        m_text += JsonQuote(key);
        m_text += ": ";
    }
}

void JsonWriter::Open(const char* key, char bracket) {
    Key(key);
    m_text.push_back(bracket);
    m_hasItems.push_back(false);
}

void JsonWriter::Close(char bracket) {
    const bool hadItems = !m_hasItems.empty() && m_hasItems.back();
    if (!m_hasItems.empty()) m_hasItems.pop_back();
    if (hadItems) {
        m_text.push_back('\n');
        m_text.append(2 * m_hasItems.size(), ' ');
    }
    m_text.push_back(bracket);
}

JsonWriter& JsonWriter::BeginObject(const char* key) {
    Open(key, '{');
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}

JsonWriter& JsonWriter::BeginArray(const char* key) {
    Open(key, '[');
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::String(const char* key, const std::string& value) {
    Key(key);
    m_text += JsonQuote(value);
    return *this;
}

JsonWriter& JsonWriter::Number(const char* key, uint64_t value) {
    Key(key);
    m_text += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(const char* key, bool value) {
    Key(key);
    m_text += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null(const char* key) {
    Key(key);
    m_text += "null";
    return *this;
}

}  // namespace mdhost
