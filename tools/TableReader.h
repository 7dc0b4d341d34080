// Attaching the library's lock-free reader to a table for the commands that read records.
#pragma once

#include "Pimbo/Exception.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "ToolError.h"
#include "Vesk/VeskReader.h"

#include <fmt/format.h>

#include <memory>
#include <string>

namespace VeskTool {

// A reader of the table `probe` looked at, attached. The files are checked as a reader would
// before the reader maps them; while a live writer is still completing them (a table being
// created or re-formatted) the attach is retried for up to two seconds. Throws ToolError:
// "writer absent" when no writer runs and the files cannot be read, otherwise the reason the
// files do not validate.
template <class Ops>
std::unique_ptr<Vesk::VeskReader<Ops>> attachReader(const TableProbe& probe) {
    std::string reason;
    bool writerAlive = probe.writerAlive;
    const double deadline = monotonicSeconds() + 2.0;
    for (TableProbe now = probe;;) {
        if (now.validate(reason)) {
            auto reader = std::make_unique<Vesk::VeskReader<Ops>>(toolHandler(), probe.name.c_str(),
                                                                  Ops{}, nullptr);
            try {
                if (reader->initialize("vesk"))
                    return reader;
                reason = "the files changed while the reader attached";
            } catch (const Pimbo::Exception& e) {
                reason = e.msg();
            }
        }
        writerAlive = now.writerAlive;
        if (!writerAlive || monotonicSeconds() > deadline || !sleepUnlessStopped(0.05))
            break;
        now = probeTable(probe.name);
    }
    if (!writerAlive) {
        throw ToolError(kTable, fmt::format("writer absent: table '{}' has no live writer and its "
                                            "files cannot be read: {}",
                                            probe.name, reason));
    }
    throw ToolError(kTable, fmt::format("cannot read table '{}': {}", probe.name, reason));
}

}  // namespace VeskTool
