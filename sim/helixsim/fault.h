// A fault to inject into a simulated card, and its spelling on a command line (helix-sim's and
// mdhost's --fault). Apart from the card so that a host can check the spelling without the model.
#pragma once

#include <cstdint>
#include <string>

namespace helixsim {

// Fault injection. Commands are numbered from 1 in the order the card receives them (GET
// RESPONSE included) since the card was created or loaded.
struct Fault {
    enum class Kind {
        StatusWord,    // answer command N with `sw` and no data, without executing it
        ResetBefore,   // the card is reset (power cycle) before command N; N is not answered
        ResetAfter,    // command N is executed and answered, then the card is reset
        RemoveBefore,  // the card leaves the reader before command N
        RemoveAfter,   // command N is executed and answered, then the card leaves the reader
        Tear,          // power is lost in the middle of command N (UPDATE BINARY or CREATE FILE)
    };
    Kind kind = Kind::StatusWord;
    uint32_t command = 0;
    uint16_t sw = 0x6F00;
    uint32_t tearBytes = 0;  // Tear: bytes of an UPDATE BINARY that reach the EEPROM
};

// KIND:N with KIND reset-before, reset-after, remove-before or remove-after; sw:N:XXXX (a hex
// status word) or tear:N:BYTES. N is 1 or more. Throws std::invalid_argument whose words follow
// the option's name ("--fault wants ...").
Fault ParseFault(const std::string& text);

}  // namespace helixsim
