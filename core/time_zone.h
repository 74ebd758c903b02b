#pragma once

#include <date/tz.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tamrin {

// One zone of the system's zone database, read from its own compiled (TZif) file. It answers
// exactly as date::time_zone does over the same file in its OS-database mode: the rules of the
// last transition hold for ever after it (the file's footer rule is not read).
class TimeZone {
 public:
  // Parses the contents of a TZif file (versions 1 to 4) for the zone `name`. Throws
  // std::runtime_error for bytes that are not a whole TZif file, or one with leap seconds.
  static TimeZone parse(std::string name, std::string_view bytes);

  const std::string& name() const { return name_; }

  // The offset, abbreviation and validity range in force at `t`.
  date::sys_info info(date::sys_seconds t) const;
  // Whether the local time `t` exists once, twice or not at all, with the ranges around it.
  date::local_info info(date::local_seconds t) const;
  date::local_seconds toLocal(date::sys_seconds t) const;

 private:
  struct Type {
    std::chrono::seconds offset;
    bool isDst = false;
    std::string abbreviation;
  };
  struct Transition {
    date::sys_seconds at;
    std::size_t type = 0;
  };

  TimeZone(std::string name, std::vector<Type> types, std::vector<Transition> transitions)
      : name_(std::move(name)), types_(std::move(types)), transitions_(std::move(transitions)) {}
  // The range that starts at the transition before `next`.
  date::sys_info rangeBefore(std::vector<Transition>::const_iterator next) const;

  std::string name_;
  std::vector<Type> types_;
  // Ascending; the first is at the earliest representable day, so every instant has one.
  std::vector<Transition> transitions_;
};

}  // namespace tamrin
