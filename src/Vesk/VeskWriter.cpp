// The writer's code that is not per record type: the cinder ids this process hands out and
// the owner a table's files record.
#include "Vesk/VeskWriterImpl.h"

#include <atomic>

namespace Vesk {

uint16_t nextCinderCounter() {
    static std::atomic<uint16_t> counter{0};
    uint16_t c = ++counter;
    if (c == 0)
        c = ++counter;  // never hand out a zero half
    return c;
}

Plinth::CinderId localCinderId(uint32_t pid) {
    const Plinth::CinderId id(uint16_t(pid), 0);
    return id.isNone() ? Plinth::CinderId(0, 1) : id;
}

Plinth::CinderId nextCinderId(Plinth::CinderId id) {
    const uint16_t second = uint16_t(id.second() + 1);
    return Plinth::CinderId(id.first(), second == 0 ? uint16_t(1) : second);
}

std::string recordedOwner(const Plinth::OwnerFile& ownerFile) {
    return ownerFile.validate() ? ownerFile.conduitInfo().socketName : std::string("unknown");
}

}  // namespace Vesk
