#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tamrin {

// Runs `executable` (an absolute path, no shell) with `arguments`, standard output and
// standard error merged into one pipe, and waits for it. Returns the output, decoded as
// UTF-8 with U+FFFD for invalid bytes and trimmed of white space and line breaks, when the
// command exits with status 0. Otherwise throws TamrinError packetFilter whose detail is that
// output or, when it is empty, "<executable> exited <status>" (or "<executable> killed by
// signal <n>" for a command ended by a signal). A command that cannot be started throws
// std::system_error. Blocks until the command has closed its output and exited, or until
// `timeLimit` has passed: then the command is killed and the detail says it did not finish.
// How long a system command may run before it is killed: a tool that hangs must not hold the
// daemon (and its lock) for ever.
inline constexpr std::chrono::milliseconds kSystemCommandTimeLimit{60000};

std::string runSystemCommand(const std::string& executable,
                             const std::vector<std::string>& arguments,
                             std::chrono::milliseconds timeLimit = kSystemCommandTimeLimit);

class SealedExecutable;

// runSystemCommand for a sealed copy made earlier: the file it came from may since have lost
// its mode or been removed. Messages name the program by that file's path.
std::string runSystemCommand(const SealedExecutable& program,
                             const std::vector<std::string>& arguments,
                             std::chrono::milliseconds timeLimit = kSystemCommandTimeLimit);

// The packet-filter tool: libexec/tamrin-pfctl of the bundle that holds the running program,
// found as ../libexec/tamrin-pfctl from the directory of /proc/self/exe.
const std::filesystem::path& packetFilterExecutable();

// Where the packet-filter controller keeps its token and rules files: /var/lib/tamrin.
const std::filesystem::path& defaultPacketFilterDirectory();

}  // namespace tamrin
