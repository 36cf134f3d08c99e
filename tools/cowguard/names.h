// Names of the module's status codes, session states and commands, errno
// names, and one-line renderings of the records the module hands back.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "cowguard.h"
#include "stats.h"

namespace cowguard::tool {

// "CGD_OK", "CGD_ERR_INVALID", ...; "" for a code the module does not use.
std::string status_name(long code);
// The code of a status name; nullopt when unknown.
std::optional<long> status_by_name(const std::string& name);
// What a status code means, in a few words.
std::string status_meaning(long code);
// "CGD_STATE_STARTED", ...; "" for a value the module does not use.
std::string state_name(unsigned state);
// "ENOENT", ...; "E<n>" for a number without a name.
std::string errno_name(int err);
// The errno of an errno name; nullopt when unknown.
std::optional<int> errno_by_name(const std::string& name);
// "CGD_SNAPSHOT" for a known command number, "" otherwise.
std::string command_name(unsigned long cmd);

std::string format(const BlockSize& r);
std::string format(const State& r);
std::string format(const AutoMapState& r);
// The statistics record, several lines of name=value, each line ended.
std::string format(const Stats& r, const std::string& indent);
// "8:1".
std::string devname(std::uint32_t dev);

}  // namespace cowguard::tool
