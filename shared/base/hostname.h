#pragma once
// The one rule for a host name, wherever one is accepted: the provider's accounts, its dyndns2 endpoint and
// the service's dyndns2 configuration. Letters, digits and inner hyphens in labels of 1 to 63 characters,
// at least two labels, 253 characters at most, no final dot. Case is not significant: the provider compares
// names without it (SQLite's NOCASE, ASCII as here) and keeps them as they were written.

#include <string>
#include <string_view>

namespace hostname {

inline constexpr size_t kMaxLength = 253;
inline constexpr size_t kMaxLabel = 63;
// What the rule asks for, for error messages.
inline constexpr const char* kRule =
    "letters, digits and inner hyphens in labels of 1 to 63 characters, at least two labels, 253 characters at most";

bool IsHostName(std::string_view name);
// `text` as a host name: one final dot (the absolute form some clients send) is dropped. False when what
// remains breaks the rule.
bool FromText(std::string_view text, std::string& name);

}  // namespace hostname
