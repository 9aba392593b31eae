// The inactivity rule that rides on each ping answer: a client that reports
// more idle seconds than InactivityTimeout allows is disconnected or sent to
// the inactivity channel.
#pragma once

#include <cstdint>

namespace kestrune {

class Connection;
class Protocol;

inline constexpr std::uint16_t kRefuseInactive = 42;

enum InactivityAction : int { kInactivityDisconnect = 0, kInactivityMove = 1 };

// The timeout in seconds for `minutes` from the properties; 0 when the rule
// is off (0 or below). Computed in 64 bits so a huge value cannot wrap.
std::uint64_t InactivityLimitSeconds(int minutes);

// Applies the rule to a client that reported `idleSeconds`.
void ApplyInactivity(Protocol& protocol, Connection& connection, std::uint32_t idleSeconds);

}  // namespace kestrune
