#include "mdhost/json.h"

#include <gtest/gtest.h>

namespace mdhost {
namespace {

TEST(JsonQuote, EscapesQuotesBackslashesAndEveryByteOutsidePrintableAscii) {
    EXPECT_EQ(JsonQuote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonQuote(std::string("\n\x01\xC3\xA9", 4)), "\"\\u000a\\u0001\\u00c3\\u00a9\"");
}

TEST(JsonWriter, NestsObjectsAndArraysWithCommasOnlyBetweenItems) {
    JsonWriter json;
    json.BeginObject().String("a", "x").BeginArray("list").String("y").Number(nullptr, 2).EndArray();
    json.BeginObject("empty").EndObject().Bool("t", true).Null("n").EndObject();
    EXPECT_EQ(json.Text(),
              "{\n  \"a\": \"x\",\n  \"list\": [\n    \"y\",\n    2\n  ],\n  \"empty\": {},\n"
              "  \"t\": true,\n  \"n\": null\n}\n");
}

}  // namespace
}  // namespace mdhost
