#include "util/uuid.h"

#include <stdexcept>

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace quorvel {

Result<boost::uuids::uuid, std::string> parse_uuid(std::string_view text) {
    try {
        return boost::uuids::string_generator()(text.begin(), text.end());
    } catch (const std::exception& e) {
        return unexpected(std::string("UUID parsing failed: ") + e.what());
    }
}

std::string uuid_to_string(const boost::uuids::uuid& id) {
    return boost::uuids::to_string(id);
}

}  // namespace quorvel
