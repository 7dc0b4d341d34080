// ToolError: what a `vesk` command reports when it cannot do its job. The message is one line
// that names the problem first ("no such table", "not a table", "permission denied", "writer
// absent", "bad number", "wrong record type", ...) and then the table, file or value involved;
// main prints it after the command's name and exits with the status.
#pragma once

#include "VeskBase/AttachFailure.h"

#include <stdexcept>
#include <string>

namespace VeskTool {

// Exit statuses of every command.
enum Status : int {
    kOk = 0,
    // A key that `get` did not find, a fault that `check` found, a bad record the demo saw.
    kFound = 1,
    // The command line: an unknown option, a bad number, a bad table name.
    kUsage = 2,
    // The table: missing, not a table, unreadable, of another record type, no live writer...
    kTable = 3,
    // The output: stdout could not be written (a full file system, /dev/full).
    kOutput = 4,
};

class ToolError : public std::runtime_error {
  public:
    // reason: why a table could not be read, when the message is about that (the reason's text
    // is the message's first words), for front ends that answer with the reason as a value.
    ToolError(Status status, const std::string& message,
              Vesk::AttachFailure reason = Vesk::AttachFailure::none)
        : std::runtime_error(message), status_(status), reason_(reason) {}

    Status status() const { return status_; }
    Vesk::AttachFailure reason() const { return reason_; }

  private:
    Status status_;
    Vesk::AttachFailure reason_;
};

// The ToolError of a table that cannot be read: "<reason text>: <message>", status kTable.
inline ToolError tableError(const Vesk::TableUnreadableException& e) {
    return ToolError(kTable, std::string(Vesk::attachFailureText(e.reason())) + ": " + e.msg(),
                     e.reason());
}

}  // namespace VeskTool
