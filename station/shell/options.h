#pragma once
// The station's command line. It is searched, not tokenised: a flag keyword
// counts wherever its text occurs (case-sensitive, upper case only), and a
// valued option is the text right after its key. So "SERVERPORT=9000" alone
// also switches on the server role, and a keyword inside another option's
// value counts too; operators rely on writing options in any order.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "station/shell/station_settings.h"

namespace station {

// Most characters a valued option yields; longer values are cut.
inline constexpr std::size_t maxOptionValueLength = 256;

// The value of a valued option, or nothing when neither key occurs.
// `upperKey` ("LOGIN=") is searched first; only when it is absent is
// `lowerKey` ("login=") searched. The value starts right after the key:
// - first character '"': everything after it up to the next '"' or the end;
// - otherwise: up to the next blank (' ') or the end.
// At most maxOptionValueLength characters are returned. A key followed by
// nothing (or by a blank) gives an empty value, which is not "absent".
std::optional<std::string> findOptionValue(std::string_view commandLine, std::string_view upperKey,
                                           std::string_view lowerKey);

// Decimal number at the start of `text`: leading white space is skipped,
// then an optional sign and the leading digits are read; no digits give 0.
// A value beyond the 32-bit range saturates at INT32_MIN / INT32_MAX.
std::int32_t optionNumber(std::string_view text);

// Fills `settings` from `commandLine` (the text after the program name).
// Must run before any other thread exists: it writes the plain text fields.
// Roles: "SERVER", then "CLIENT" (the client role wins when both occur),
// then "REALTIME", "UDPSEND", "NOWINDOW"; last the Icecast push
// ("ICECAST=", with "ICECASTNAME=" and "ICECASTBITRATE=" read only with it),
// in every role.
void processOptions(std::string_view commandLine, StationSettings& settings);

// Values no run can mean: a SERVERPORT= or CLIENTPORT= outside 1 … 65535,
// a TIMECLOSE= below 0, a MAXCONNECT= outside 1 … 20 (each only where its
// role reads it), an ICECAST= URL that does not parse, an ICECASTBITRATE=
// outside 6 … 64 (with ICECAST=). The first one found as a one-line text
// naming the option ("SERVERPORT= must be 1 to 65535, not 65616"; a URL's
// password masked), or nothing. The program refuses to start on it;
// processOptions itself never fails.
std::optional<std::string> optionRangeError(std::string_view commandLine);

// The command line as processOptions expects it: argv[1] … argv[argc − 1]
// joined with single blanks. A shell has already removed the user's quotes,
// so `NAME="A B"` must reach the program as one argument holding the quotes
// (e.g. 'NAME="A B"') to keep its blank.
std::string joinArguments(int argc, const char* const* argv);

} // namespace station
