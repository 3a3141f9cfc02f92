// Plain mail addresses (no display name, no brackets, no comments), shared by the configuration
// loader, the API and the IPC codec so that all of them accept the same addresses.
#pragma once

#include <string_view>

namespace vrk {

// True for 1..255 bytes, none below 33 or equal to 127, none of < > , ; " ( ), and exactly one
// '@' that is neither the first nor the last byte. Bytes of 128 and above are allowed.
bool mail_address_valid(std::string_view text);

}  // namespace vrk
