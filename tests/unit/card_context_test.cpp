// The card context as the host reaches it through the entry, over the scripted card: where its card work sits
// relative to the card transaction.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hex.h"
#include "platform/minidriver.h"
#include "scripted_card.h"

namespace {

const char* const kSelectApplet = "00A404000CA000000164505249534D0001";
const char* const kSelectApplicationDirectory = "80A4080C063F0030003002 00";
// The application directory guarded by the user PIN (object 20): no biometric kind.
const char* const kApplicationFcp = "620D 8302 3002 8701 38 8604 0020 0020 9000";

std::vector<BYTE> g_atr{0x3B, 0x80, 0x80, 0x01, 0x01};
WCHAR g_cardName[] = u"Helix";

LPVOID WINAPI Alloc(SIZE_T size) {
    return std::malloc(size);
}
LPVOID WINAPI ReAlloc(LPVOID p, SIZE_T size) {
    return std::realloc(p, size);
}
void WINAPI Free(LPVOID p) {
    std::free(p);
}

CARD_DATA Record() {
    CARD_DATA record{};
    record.dwVersion = CARD_DATA_VERSION_SEVEN;
    record.pbAtr = g_atr.data();
    record.cbAtr = static_cast<DWORD>(g_atr.size());
    record.pwszCardName = g_cardName;
    record.pfnCspAlloc = Alloc;
    record.pfnCspReAlloc = ReAlloc;
    record.pfnCspFree = Free;
    record.hSCardCtx = 1;
    record.hScard = ScriptedCard::kHandle;
    return record;
}

Script Creation() {
    return {{kSelectApplet, "9000"}, {kSelectApplicationDirectory, kApplicationFcp}};
}

std::vector<std::string> Events(std::initializer_list<const char*> events) {
    std::vector<std::string> out;
    for (const char* e : events) out.push_back(e[0] == 'b' || e[0] == 'e' ? e : ToHex(Hex(e)));
    return out;
}

}  // namespace

// The card's answers change what is sent, never the transaction around it.
TEST(ContextCreation, TalksToTheCardInsideOneTransactionWhateverItAnswers) {
    struct Case {
        const char* what;
        Script script;
        DWORD status;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"recognised", Creation(), SCARD_S_SUCCESS,
         Events({"begin", kSelectApplet, kSelectApplicationDirectory, "end"})},
        {"applet missing",
         {{kSelectApplet, "6A82"}},
         SCARD_E_UNKNOWN_CARD,
         Events({"begin", kSelectApplet, "end"})},
        // A card that cannot say how it guards its application is taken as PIN-only.
        {"biometric query refused",
         {{kSelectApplet, "9000"}, {kSelectApplicationDirectory, "6F00"}},
         SCARD_S_SUCCESS,
         Events({"begin", kSelectApplet, kSelectApplicationDirectory, "end"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedCard card(c.script);
        CARD_DATA record = Record();
        ASSERT_EQ(CardAcquireContext(&record, 0), c.status);
        EXPECT_EQ(card.Events(), c.events);
        if (c.status == SCARD_S_SUCCESS) {
            EXPECT_EQ(record.pfnCardDeleteContext(&record), SCARD_S_SUCCESS);
        }
    }
}
