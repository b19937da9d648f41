#pragma once
// Country names to ISO 3166-1 alpha-2 codes, for the server list's Country
// column ("Germany" is DE; the first two letters would say GE, Georgia).
#include <string>

namespace vnxrelay {

// The code of a country given by its English name (case and blanks around
// it ignored; a few common other names too) or by its code; empty when
// unknown.
std::string countryCode(const std::string& country);

}  // namespace vnxrelay
