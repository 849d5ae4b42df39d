// Network identifiers: UUIDs read from their text form.
#pragma once

#include <string>
#include <string_view>

#include <boost/uuid/uuid.hpp>

#include "util/result.h"

namespace quorvel {

// Reads a UUID in any text form the UUID library accepts (hyphenated or not, optionally in
// braces). A failure is "UUID parsing failed: " followed by the parser's message.
Result<boost::uuids::uuid, std::string> parse_uuid(std::string_view text);

// The hyphenated lower-case form.
std::string uuid_to_string(const boost::uuids::uuid& id);

}  // namespace quorvel
