#include "simhost/helix_sim_host.h"

#include <sys/stat.h>

#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "channel/pcsc.h"
#include "helixsim/card.h"
#include "libapdu/token/failure.h"
#include "pcsc/sim_readers.h"

namespace {

const char* const kReader = "Helix Embedded 0";
constexpr DWORD kProtocolsT0T1 = 3;

thread_local std::string t_lastError;

DWORD Fail(DWORD code, const std::string& words) {
    t_lastError = words;
    return code;
}

std::string HexCode(DWORD code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

// The one place where failures of the simulator and of the token library become codes.
DWORD Guarded(const char* what, const std::function<DWORD()>& work) {
    t_lastError.clear();
    try {
        return work();
    } catch (const CAException& e) {
        return Fail(e.Code(), std::string(what) + ": the card or channel answered " + HexCode(e.Code()));
    } catch (const StatusCode code) {
        return Fail(static_cast<DWORD>(code), std::string(what) + ": " + HexCode(static_cast<DWORD>(code)));
    } catch (const std::bad_alloc&) {
        return Fail(SCARD_E_NO_MEMORY, std::string(what) + ": out of memory");
    } catch (const std::invalid_argument& e) {
        return Fail(SCARD_E_INVALID_PARAMETER, std::string(what) + ": " + e.what());
    } catch (const std::exception& e) {
        return Fail(SCARD_F_INTERNAL_ERROR, std::string(what) + ": " + e.what());
    } catch (...) {
        return Fail(SCARD_F_UNKNOWN_ERROR, std::string(what) + ": unknown failure");
    }
}

bool FileExists(const char* path) {
    struct stat info {};
    return path != nullptr && path[0] != 0 && ::stat(path, &info) == 0;
}

std::unique_ptr<helixsim::HelixCard> MakeCard(const char* profile, const char* imagePath) {
    if (FileExists(imagePath)) return helixsim::HelixCard::Load(imagePath);
    const std::string name = profile == nullptr || profile[0] == 0 ? "default" : profile;
    return std::make_unique<helixsim::HelixCard>(helixsim::ProfileByName(name));
}

}  // namespace

extern "C" {

DWORD HelixSimOpenCard(const char* profile, const char* imagePath, SCARDCONTEXT* context, SCARDHANDLE* card) {
    return Guarded("open the embedded card", [&] {
        if (context == nullptr || card == nullptr)
            return Fail(SCARD_E_INVALID_PARAMETER, "no handle to fill");
        helixsim::Readers& readers = helixsim::Readers::Instance();
        readers.InsertCard(kReader, MakeCard(profile, imagePath));
        DWORD rv = pcsc::EstablishContext(context);
        if (rv != SCARD_S_SUCCESS) return Fail(rv, "establish a context: " + HexCode(rv));
        DWORD protocol = 0;
        rv = pcsc::Connect(*context, kReader, card, &protocol);
        if (rv != SCARD_S_SUCCESS) {
            (void)pcsc::ReleaseContext(*context);
            return Fail(rv, "connect to the embedded card: " + HexCode(rv));
        }
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimCloseCard(SCARDCONTEXT context, SCARDHANDLE card, const char* imagePath) {
    return Guarded("close the embedded card", [&] {
        (void)pcsc::Disconnect(card, pcsc::kLeaveCard);
        (void)pcsc::ReleaseContext(context);
        helixsim::Readers& readers = helixsim::Readers::Instance();
        const std::unique_ptr<helixsim::HelixCard> taken = readers.TakeCard(kReader);
        readers.RemoveReader(kReader);
        if (taken == nullptr) return Fail(SCARD_E_NO_SMARTCARD, "no embedded card to close");
        if (imagePath != nullptr && imagePath[0] != 0) taken->Save(imagePath);
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimStatus(SCARDHANDLE card, BYTE* atr, DWORD* atrLength, DWORD* protocol) {
    return Guarded("card status", [&] { return pcsc::Status(card, protocol, atr, atrLength); });
}

DWORD HelixSimReconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) {
    return Guarded("reconnect", [&] { return pcsc::Reconnect(card, initialization, protocol); });
}

DWORD HelixSimResetCard(void) {
    return Guarded("reset the embedded card", [&] {
        helixsim::Readers::Instance().ResetCard(kReader);
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimCommandCount(DWORD* count) {
    return Guarded("count the card's commands", [&] {
        if (count == nullptr) return Fail(SCARD_E_INVALID_PARAMETER, "nowhere to put the count");
        size_t n = 0;
        const bool present = helixsim::Readers::Instance().WithCard(
            kReader, [&](helixsim::HelixCard& c) { n = c.CommandLog().size(); });
        if (!present) return Fail(SCARD_E_NO_SMARTCARD, "no embedded card");
        *count = static_cast<DWORD>(n);
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimAddFault(const char* fault) {
    return Guarded("add a fault to the embedded card", [&] {
        if (fault == nullptr) return Fail(SCARD_E_INVALID_PARAMETER, "no fault given");
        helixsim::Fault added;
        try {
            added = helixsim::ParseFault(fault);
        } catch (const std::invalid_argument& e) {
            return Fail(SCARD_E_INVALID_PARAMETER, std::string("the fault ") + e.what());
        }
        bool counted = true;
        const bool present = helixsim::Readers::Instance().WithCard(kReader, [&](helixsim::HelixCard& c) {
            const uint32_t received = c.CommandsReceived();
            counted = added.command <= std::numeric_limits<uint32_t>::max() - received;
            if (!counted) return;
            added.command += received;
            c.AddFault(added);
        });
        if (!present) return Fail(SCARD_E_NO_SMARTCARD, "no embedded card");
        if (!counted)
            return Fail(SCARD_E_INVALID_PARAMETER, std::string("fault \"") + fault + "\" is too far off");
        return SCARD_S_SUCCESS;
    });
}

const char* HelixSimLastError(void) {
    return t_lastError.c_str();
}

}  // extern "C"
