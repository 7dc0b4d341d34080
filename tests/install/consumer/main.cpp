// An outside program built against the installed headers and library only: the README's writer
// and reader, in a private root, plus a record's text read back. Exits non-zero on a mismatch.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Mem/RootPath.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"

using namespace DravoCounters::FlexCounters2;

int main() {
    std::string root = (std::filesystem::temp_directory_path() / "vesk-consumer-XXXXXX").string();
    if (::mkdtemp(root.data()) == nullptr)
        return 2;
    Mem::RootPath::rootIs(root);
    auto traces = Pimbo::Platform::getDebugHandler("consumer");
    CounterEntrySimple e{CounterIndex(7)};
    e.packetsIs(12);
    e.octetsIs(1500);
    bool ok = Orlo::strepToValue<CounterEntrySimple>(valueToStrep(e), nullptr) == e &&
              std::string(e.veskString()) == "[key: 7] S 12, 1500";
    {
        Vesk::VeskWriter<CounterEntrySimpleOps> writer(
            *traces, "port1", Vesk::MapDescriptor(1024), CounterEntrySimpleOps{},
            "DravoCounters::FlexCounters2::CounterTableSimple");
        writer.initialize("start");
        writer.write(e, true);
        Vesk::VeskReader<CounterEntrySimpleOps> reader(*traces, "port1", CounterEntrySimpleOps{},
                                                       nullptr);
        bool found = false;
        CounterEntrySimple got;
        ok = ok && reader.initialize("start");
        if (ok)
            reader.lookup(CounterIndex(7), found, &got);
        ok = ok && found && got == e;
        reader.detach(false);
        ok = writer.cleanup() && ok;
    }
    std::filesystem::remove_all(root);
    std::printf("consumer: %s\n", ok ? "writer and reader agree" : "MISMATCH");
    return ok ? 0 : 1;
}
