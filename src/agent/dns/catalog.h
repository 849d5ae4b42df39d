// The zones the embedded DNS server answers from, and the answering rules. A catalog is built
// whole (see server::State::update_catalog) and never changed afterwards, so query tasks read it
// without a lock for as long as they hold their shared handle.
//
// Answers, for one query:
// - an EDNS version above 0: BADVERS; an opcode other than QUERY: NOTIMP; a question count other
//   than 1: FORMERR;
// - a name under no zone: REFUSED; a name in a non-authoritative zone without RD: REFUSED (RA);
// - in the zone, with RA and without AA: the host's A records (type A or ANY); NOERROR without
//   records (NODATA) for other types of an existing name and for the zone's own name; NXDOMAIN
//   for any other name.
// Every response copies the query's id, opcode, RD and CD and echoes its questions; a query with
// an OPT record gets one back with the payload size raised to at least 512.
#pragma once

#include "agent/dns/message.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::agent::dns {

inline constexpr uint32_t kRecordTtl = 10;

enum class ZoneType {
    Primary,
    // Served but not authoritative: answers carry no AA flag and need RD.
    External,
};

// An in-memory zone of A records directly below its origin.
class InMemoryAuthority {
  public:
    // `origin` in wire format, lower case.
    InMemoryAuthority(std::vector<uint8_t> origin, ZoneType zone_type);

    // Adds an A record for the single label `host` (lower case) below the origin; an address the
    // name already has adds nothing. False when the name is not a valid label.
    bool upsert(std::string_view host, Ipv4Addr addr);

    const std::vector<uint8_t>& origin() const { return origin_; }
    ZoneType zone_type() const { return zone_type_; }
    std::size_t record_count() const;

    enum class Lookup { Found, NoData, NxDomain };
    // Looks `name` (wire format, lower case, under the origin) up for `query_type`; Found fills
    // `records`.
    Lookup lookup(std::span<const uint8_t> name, uint16_t query_type,
                  std::span<const Ipv4Addr>& records) const;

  private:
    std::vector<uint8_t> origin_;
    ZoneType zone_type_;
    // Looked up by the query's label without copying it.
    struct LabelHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view label) const {
            return std::hash<std::string_view>{}(label);
        }
    };
    boost::unordered_flat_map<std::string, std::vector<Ipv4Addr>, LabelHash, std::equal_to<>>
        hosts_;
};

class ResponseHandler;

class Catalog {
  public:
    // Adds or replaces the zone for the authority's origin.
    void upsert(std::shared_ptr<const InMemoryAuthority> authority);
    std::size_t zone_count() const { return zones_.size(); }

    // The zone whose origin is the closest enclosing name of `name` (wire format, lower case).
    const InMemoryAuthority* find(std::span<const uint8_t> name) const;

    // The response to `request` by the rules above. Its answer records point into this catalog.
    MessageResponse answer(const MessageRequest& request) const;

    // Answers `request` through `handler`. A failing handler is logged; the result is what was
    // sent, or a SERVFAIL header when nothing could be.
    ResponseInfo handle_request(const MessageRequest& request, ResponseHandler& handler) const;

  private:
    std::vector<std::shared_ptr<const InMemoryAuthority>> zones_;
};

}  // namespace quorvel::agent::dns
