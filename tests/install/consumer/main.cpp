// An outside program built against the installed headers and library only: the README's writer
// and reader, in a private root, a record's text read back, and a table made and written through
// the registered module description alone. Exits non-zero on a mismatch.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FlexCounters2/CounterTables.h"
#include "Orlo/Module.h"
#include "Plinth/RootPath.h"
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
    // The runtime's view: the module found by its table's name, decoded from its bytes, and a
    // table created and written through its operation records.
    const auto tableType = Orlo::typeNamed("DravoCounters::FlexCounters2::CounterTableSimple");
    ok = ok && tableType && Orlo::registeredModules().size() == 1 &&
         Orlo::describeModule(*Orlo::registeredModules()[0]).size() == 10;
    if (ok) {
        Orlo::Ptr<Orlo::Entity> table = Orlo::newEntity(*tableType, "generic");
        CounterEntrySimple got;
        const CounterIndex key(7);
        ok = Orlo::attributeOp(*tableType, "counter", 1, nullptr, table.get(), nullptr, &e) == 0 &&
             Orlo::attributeOp(*tableType, "counter", 0, &got, table.get(), &key) == 0 && got == e;
    }
    std::filesystem::remove_all(root);
    std::printf("consumer: %s\n", ok ? "writer and reader agree" : "MISMATCH");
    return ok ? 0 : 1;
}
