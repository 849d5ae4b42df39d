// The zones the embedded DNS server answers from, and the answering rules. A catalog is built
// whole (see server::State::update_catalog) and never changed afterwards, so query tasks read it
// without a lock for as long as they hold their shared handle.
//
// Answers, for one query:
// - an EDNS version above 0: BADVERS; an opcode other than QUERY: NOTIMP; a question count other
//   than 1: FORMERR;
// - a name under no zone: REFUSED, unless the catalog has a root forwarder, which covers every
//   name outside the other zones and asks upstream for it (see forward.h);
// - a name in a non-authoritative zone (the forwarder is one) without RD: REFUSED (RA);
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
class ForwardAuthority;

class Catalog {
  public:
    // Adds or replaces the zone for the authority's origin.
    void upsert(std::shared_ptr<const InMemoryAuthority> authority);
    // Sets the root zone: the forwarder for every name outside the other zones.
    void upsert_root(std::shared_ptr<const ForwardAuthority> forwarder);
    // The zones, the root forwarder included.
    std::size_t zone_count() const { return zones_.size() + (forwarder_ ? 1 : 0); }
    const std::shared_ptr<const ForwardAuthority>& forwarder() const { return forwarder_; }

    // The zone whose origin is the closest enclosing name of `name` (wire format, lower case);
    // null when only the root forwarder, if any, covers it.
    const InMemoryAuthority* find(std::span<const uint8_t> name) const;

    struct Answer {
        // By the rules above; its answer records point into this catalog.
        MessageResponse response;
        // Set when the root forwarder takes the query: `response` then has everything but what
        // the upstream gives (see complete_forwarded_response).
        bool forward = false;
    };
    Answer answer(const MessageRequest& request) const;

    // Answers `request` through `handler`: at once from a zone, or, for the root forwarder, from
    // a lookup that goes on in a task of its own with the handler detached. A failing handler is
    // logged; the result is what was sent, the header of the response still to come from
    // upstream, or a SERVFAIL header when nothing could be sent.
    ResponseInfo handle_request(const MessageRequest& request, ResponseHandler& handler) const;

  private:
    std::vector<std::shared_ptr<const InMemoryAuthority>> zones_;
    std::shared_ptr<const ForwardAuthority> forwarder_;
};

}  // namespace quorvel::agent::dns
