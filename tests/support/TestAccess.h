// The one door through which tests look inside a class: each class that tests must look into
// names its accessor here as its friend (`friend struct FooTestAccess;`).
#pragma once

#include "Ruxa/RuxaReader.h"
#include "Vesk/VeskWriter.h"

#include <cstdint>

namespace Vesk {

struct VeskWriterTestAccess {
    // A directWrite or directUpdate is open (not yet committed).
    template <class Ops>
    static bool directOpen(const VeskWriter<Ops>& w) {
        return w.directOpen();
    }
    // How long a grow, shrink or bucket resize runs between yields to the critical tasks.
    template <class Ops>
    static void criticalTaskPeriodIs(VeskWriter<Ops>& w, double seconds) {
        w.criticalTaskPeriodIs(seconds);
    }
};

}  // namespace Vesk

namespace Ruxa {

struct RuxaReaderTestAccess {
    // Makes the entry at (buffer, position) the one the reader is applying.
    template <class Slot>
    static void currentIs(RuxaReader<Slot>& reader, uint32_t buffer, uint32_t position) {
        reader.currentIs(buffer, position);
    }
};

}  // namespace Ruxa
