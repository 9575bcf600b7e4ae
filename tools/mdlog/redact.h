// The log again with every value that could be secret hidden, for a log that must leave the
// machine without a PIN in it. Hidden bytes are written "xx" in place, so the log keeps its
// shape and mdlog still reads it; command headers, lengths and status words stay.
//
// What is hidden, per command:
// - VERIFY in clear (a PIN, a biometric session value): the data.
// - VERIFY protected: the data. The cryptogram's key is SHA-1 of the PIN, and with the card's
//   challenge (logged) its second block checks a guessed PIN offline.
// - EXTERNAL AUTHENTICATE: the administrator's answer.
// - set PIN value, and every secure-messaging wrapped command (PIN changes, key imports): the data.
// - opening of a secure session: the answer (the session keys, masked).
// - key agreement and PERFORM SECURITY OPERATION decipher: the answer (the agreed secret, the
//   deciphered key), GET RESPONSE rounds of it included.
// - a command mdlog cannot name: its data, since nothing says what it is.
// - a line mdlog cannot read: the whole line.
#pragma once

#include <ostream>
#include <string>

#include "mdlog/log_lines.h"

namespace mdlog {

class Redactor {
public:
    explicit Redactor(std::ostream& out) : m_out(out) {}
    void Add(const Line& line);

private:
    std::ostream& m_out;
    bool m_secretAnswer = false;
};

}  // namespace mdlog
