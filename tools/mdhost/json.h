// A small JSON writer: objects and arrays in the order the caller writes them, so that the
// output keeps the same keys in the same order run after run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mdhost {

class JsonWriter {
public:
    JsonWriter& BeginObject(const char* key = nullptr);
    JsonWriter& EndObject();
    JsonWriter& BeginArray(const char* key = nullptr);
    JsonWriter& EndArray();

    JsonWriter& String(const char* key, const std::string& value);
    JsonWriter& Number(const char* key, uint64_t value);
    JsonWriter& Bool(const char* key, bool value);
    JsonWriter& Null(const char* key);
    // Array elements.
    JsonWriter& String(const std::string& value) { return String(nullptr, value); }

    // The document, indented by two spaces, with a final line feed.
    std::string Text() const { return m_text + "\n"; }

private:
    void Key(const char* key);
    void Open(const char* key, char bracket);
    void Close(char bracket);

    std::string m_text;
    std::vector<bool> m_hasItems;  // per open container: whether an item was written
};

// `text` as a JSON string literal, quotes included; bytes that are not printable ASCII become
// \u escapes of their byte value, so the output is ASCII whatever the card holds.
std::string JsonQuote(const std::string& text);

}  // namespace mdhost
