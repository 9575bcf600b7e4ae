#include "card/pin_policy.h"

#include <algorithm>
#include <cstring>

#include "libapdu/token/failure.h"

namespace pinpolicy {

namespace {

constexpr size_t kRecordHeader = 3;
constexpr size_t kHistoryHeader = 6;
constexpr size_t kEntrySize = 20;
constexpr size_t kEntryLengthAt = 1;
constexpr size_t kLastWrittenAt = 3;
constexpr size_t kValidAt = 5;
constexpr std::time_t kSecondsPerDay = 86400;

// Where the value of the first matching record sits.
struct Place {
    size_t offset = 0;
    size_t length = 0;
    bool found = false;
};

template <class Match>
Place Locate(ByteSpan records, uint16_t tag, Match&& match) {
    size_t at = 0;
    while (records.size - at >= kRecordHeader) {
        const auto recordTag = static_cast<uint16_t>(records[at] << 8 | records[at + 1]);
        const size_t length = records[at + 2];
        if (length > records.size - at - kRecordHeader) break;
        if (recordTag == tag && match(length)) return {at + kRecordHeader, length, true};
        at += kRecordHeader + length;
    }
    return {};
}

// The leading decimal digits of the date value, as year * 10000 + month * 100 + day.
std::time_t LocalMidnight(const ByteVector& date) {
    long number = 0;
    for (uint8_t c : date) {
        if (c < '0' || c > '9') break;
        number = number * 10 + (c - '0');
    }
    std::tm midnight{};
    midnight.tm_year = static_cast<int>(number / 10000) - 1900;
    midnight.tm_mon = static_cast<int>(number / 100 % 100) - 1;
    midnight.tm_mday = static_cast<int>(number % 100);
    midnight.tm_isdst = 0;
    // Windows' conversion has no time before 1970; keep both platforms alike.
    if (midnight.tm_year < 70) return -1;
    return std::mktime(&midnight);
}

[[noreturn]] void Refuse() {
    ThrowStatus(SCARD_E_UNEXPECTED);
}

}  // namespace

ByteVector Find(ByteSpan records, uint16_t tag) {
    const Place place = Locate(records, tag, [](size_t) { return true; });
    if (!place.found) return {};
    return ByteVector(records.data + place.offset, records.data + place.offset + place.length);
}

void Update(ByteVector& records, uint16_t tag, ByteSpan value) {
    const Place place = Locate(records, tag, [&](size_t length) { return length == value.size; });
    if (place.found) std::copy(value.begin(), value.end(), records.begin() + static_cast<long>(place.offset));
}

bool AdminChallengeRecordEnabled(ByteSpan policy) {
    const ByteVector value = Find(policy, kAdminChallenge);
    return value.size() == 7 && value[5] == 1;
}

bool AdminChallengeLeads(ByteSpan policy) {
    return policy.size > 8 && policy[0] == 0x02 && policy[1] == 0xC0 && policy[2] == 0x07 &&
           policy[8] == 0x01;
}

uint8_t HistoryDepth(ByteSpan policy) {
    const ByteVector value = Find(policy, kHistoryDepth);
    return value.empty() ? 0 : value.back();
}

bool Expired(ByteSpan policy, ByteSpan state, std::time_t now) {
    const ByteVector age = Find(policy, kMaximumAge);
    const std::time_t days = age.size() < 4
                                 ? 0
                                 : static_cast<std::time_t>(uint32_t{age[0]} << 24 | uint32_t{age[1]} << 16 |
                                                            uint32_t{age[2]} << 8 | uint32_t{age[3]});
    if (days == 0) return false;
    return now > LocalMidnight(Find(state, kLastChange)) + days * kSecondsPerDay;
}

ByteVector StateAfterChange(const std::tm& today) {
    char date[9] = {};
    if (std::strftime(date, sizeof date, "%Y%m%d", &today) != 8) Refuse();
    static constexpr uint8_t kRecords[] = {0x02, 0xC4, 0x01, 0x00, 0x02, 0xC7, 0x08};
    ByteVector state(kStateSize);
    std::copy(std::begin(kRecords), std::end(kRecords), state.begin());
    std::copy(date, date + 8, state.begin() + sizeof kRecords);
    return state;
}

void Remember(ByteVector& history, uint8_t depth, ByteSpan digest) {
    if (history.size() != kHistoryHeader + kEntrySize * depth || digest.size != kEntrySize) Refuse();
    const size_t valid = std::min<size_t>(history[kValidAt], depth);
    for (size_t i = 0; i < valid; ++i) {
        if (std::equal(digest.begin(), digest.end(),
                       history.begin() + static_cast<long>(kHistoryHeader + kEntrySize * i)))
            Refuse();
    }
    uint8_t& last = history[kLastWrittenAt];
    uint8_t& count = history[kValidAt];
    if (last > depth || count > depth) Refuse();
    history[kEntryLengthAt] = kEntrySize;
    last = last == depth ? 1 : static_cast<uint8_t>(last + 1);
    if (count < depth) ++count;
    std::copy(digest.begin(), digest.end(),
              history.begin() + static_cast<long>(kHistoryHeader + kEntrySize * (last - 1)));
}

}  // namespace pinpolicy
