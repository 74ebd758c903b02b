#include "core/time_zone.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace tamrin {
namespace {

using std::chrono::seconds;

// The bounds date::time_zone gives the first and the last range of every zone.
const date::sys_seconds kFirstInstant = date::sys_days(date::year::min() / date::January / 1);
const date::sys_seconds kLastInstant = date::sys_days(date::year::max() / date::December / 31);

// Reads the big-endian fields of a TZif file in order; throws when the bytes end early.
class Reader {
 public:
  Reader(std::string_view bytes, const std::string& name) : bytes_(bytes), name_(name) {}

  std::string_view take(std::size_t count) {
    if (count > bytes_.size()) throw std::runtime_error("truncated zone file for " + name_);
    const std::string_view taken = bytes_.substr(0, count);
    bytes_.remove_prefix(count);
    return taken;
  }
  void skip(std::size_t count) { take(count); }
  std::int64_t integer(std::size_t width) {
    std::uint64_t value = 0;
    for (const char c : take(width)) value = value << 8 | static_cast<unsigned char>(c);
    if (width < 8 && (value >> (width * 8 - 1)) != 0) value |= ~std::uint64_t{0} << (width * 8);
    return static_cast<std::int64_t>(value);
  }
  std::size_t count() {
    const std::int64_t value = integer(4);
    if (value < 0) throw std::runtime_error("malformed zone file for " + name_);
    return static_cast<std::size_t>(value);
  }

 private:
  std::string_view bytes_;
  const std::string& name_;
};

struct Counts {
  std::size_t utIndicators, standardIndicators, leaps, transitions, types, characters;
};

// The magic, version and counts of one header; returns the version byte.
char readHeader(Reader& in, Counts& counts, const std::string& name) {
  if (in.take(4) != "TZif") throw std::runtime_error("not a zone file: " + name);
  const char version = in.take(1)[0];
  in.skip(15);
  counts = {in.count(), in.count(), in.count(), in.count(), in.count(), in.count()};
  return version;
}

}  // namespace

TimeZone TimeZone::parse(std::string name, std::string_view bytes) {
  Reader in(bytes, name);
  Counts counts{};
  std::size_t timeWidth = 4;
  if (readHeader(in, counts, name) != '\0') {
    // Version 2 and later repeat the data with 64-bit times after the 32-bit block.
    in.skip(counts.transitions * 5 + counts.types * 6 + counts.characters + counts.leaps * 8 +
            counts.standardIndicators + counts.utIndicators);
    readHeader(in, counts, name);
    timeWidth = 8;
  }
  if (counts.leaps != 0) throw std::runtime_error("zone file with leap seconds: " + name);
  if (counts.types == 0) throw std::runtime_error("zone file without types: " + name);

  std::vector<Transition> transitions(counts.transitions);
  for (Transition& t : transitions) {
    t.at = std::max(date::sys_seconds(seconds(in.integer(timeWidth))), kFirstInstant);
  }
  for (Transition& t : transitions) {
    t.type = static_cast<unsigned char>(in.take(1)[0]);
    if (t.type >= counts.types) throw std::runtime_error("malformed zone file for " + name);
  }
  std::vector<Type> types(counts.types);
  std::vector<std::size_t> abbreviationAt(counts.types);
  for (std::size_t i = 0; i < counts.types; ++i) {
    types[i].offset = seconds(in.integer(4));
    types[i].isDst = in.take(1)[0] != 0;
    abbreviationAt[i] = static_cast<unsigned char>(in.take(1)[0]);
  }
  const std::string_view characters = in.take(counts.characters);
  for (std::size_t i = 0; i < counts.types; ++i) {
    if (abbreviationAt[i] > characters.size()) {
      throw std::runtime_error("malformed zone file for " + name);
    }
    const std::string_view rest = characters.substr(abbreviationAt[i]);
    types[i].abbreviation = std::string(rest.substr(0, rest.find('\0')));
  }

  // Before the first transition the first standard-time type holds (the first type when all
  // are daylight time).
  if (transitions.empty() || transitions.front().at != kFirstInstant) {
    const auto standard =
        std::find_if(types.begin(), types.end(), [](const Type& t) { return !t.isDst; });
    const std::size_t first =
        standard == types.end() ? 0 : static_cast<std::size_t>(standard - types.begin());
    transitions.insert(transitions.begin(), Transition{kFirstInstant, first});
  }
  // A transition that changes nothing visible is no boundary.
  const auto same = [&types](const Transition& a, const Transition& b) {
    const Type& x = types[a.type];
    const Type& y = types[b.type];
    return x.offset == y.offset && x.abbreviation == y.abbreviation && x.isDst == y.isDst;
  };
  transitions.erase(std::unique(transitions.begin(), transitions.end(), same), transitions.end());
  return TimeZone(std::move(name), std::move(types), std::move(transitions));
}

date::sys_info TimeZone::rangeBefore(std::vector<Transition>::const_iterator next) const {
  const Transition& start = next[-1];
  const Type& type = types_[start.type];
  return date::sys_info{.begin = start.at,
                        .end = next != transitions_.end() ? next->at : kLastInstant,
                        .offset = type.offset,
                        .save = std::chrono::minutes(type.isDst ? 1 : 0),
                        .abbrev = type.abbreviation};
}

date::sys_info TimeZone::info(date::sys_seconds t) const {
  auto next = std::upper_bound(transitions_.begin(), transitions_.end(), t,
                               [](date::sys_seconds x, const Transition& tr) { return x < tr.at; });
  if (next == transitions_.begin()) ++next;  // before the earliest day: its first range
  return rangeBefore(next);
}

date::local_info TimeZone::info(date::local_seconds t) const {
  // The first transition whose instant, read on the clock it ends, lies after `t`.
  auto next = std::upper_bound(
      transitions_.begin(), transitions_.end(), t,
      [this](date::local_seconds x, const Transition& tr) {
        return date::sys_seconds(x.time_since_epoch()) - types_[tr.type].offset < tr.at;
      });
  if (next == transitions_.begin()) ++next;
  date::local_info result{};
  result.result = date::local_info::unique;
  result.first = rangeBefore(next);
  const auto asSys = [t](const date::sys_info& range) {
    return date::sys_seconds((t - range.offset).time_since_epoch());
  };
  if (asSys(result.first) < result.first.begin + date::days(1) &&
      std::prev(next) != transitions_.begin()) {
    // Near the start of its range: `t` may also be read on the clock of the range before.
    result.second = rangeBefore(std::prev(next));
    if (asSys(result.second) < result.second.end) {
      result.result = date::local_info::ambiguous;
      std::swap(result.first, result.second);
    } else {
      result.second = {};
    }
  } else if (asSys(result.first) >= result.first.end && next != transitions_.end()) {
    // Past the end of its range on its own clock: `t` may lie in the gap before the next one.
    result.second = rangeBefore(std::next(next));
    if (asSys(result.second) < result.second.begin) {
      result.result = date::local_info::nonexistent;
    } else {
      result.second = {};
    }
  }
  return result;
}

date::local_seconds TimeZone::toLocal(date::sys_seconds t) const {
  return date::local_seconds((t + info(t).offset).time_since_epoch());
}

}  // namespace tamrin
