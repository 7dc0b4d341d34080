#include "FlexCounters2/RecordDescription.h"

#include <sstream>
#include <string>

namespace DravoCounters::FlexCounters2 {

namespace {

unsigned long long ull(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

// The opening of a record's strep, up to and including the brace.
template <CounterRecord T>
std::string strepOpening() {
    return std::string("Value('") + T::typeName() + "', ** {";
}

template <CounterRecord T>
Orlo::String recordStrep(const T& v) {
    if constexpr (kRecordFields<T>.empty()) {
        return valueToStrep(v.key());
    } else {
        std::string text = strepOpening<T>() + "'key': " + valueToStrep(v.key()).str();
        for (const RecordField<T>& f : kRecordFields<T>)
            text += std::string(", '") + f.name + "': " + std::to_string((v.*f.get)());
        return Orlo::String(text + "})");
    }
}

// Reads the strep at `it` and advances `it` past it.
template <CounterRecord T>
T parsedRecord(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end) {
    if constexpr (kRecordFields<T>.empty()) {
        return T(Orlo::deserializeAttr<CounterIndex>(it, end, "key"));
    } else {
        Orlo::needString(it, end, strepOpening<T>().c_str());
        Orlo::needString(it, end, "'key': ");
        T v(Orlo::deserializeAttr<CounterIndex>(it, end, "key"));
        for (const RecordField<T>& f : kRecordFields<T>) {
            Orlo::needString(it, end, (std::string(", '") + f.name + "': ").c_str());
            (v.*f.set)(Orlo::deserializeAttr<unsigned long long>(it, end, f.name));
        }
        Orlo::needString(it, end, "})");
        return v;
    }
}

template <CounterRecord T>
Orlo::String recordVeskString(const T& v) {
    std::ostringstream os;
    os << "[" << v.key().veskString() << "] " << RecordDescription<T>::kLetter << " ";
    const char* separator = "";
    for (const RecordField<T>& f : kRecordFields<T>) {
        os << separator << (f.hex ? std::hex : std::dec) << (v.*f.get)();
        separator = ", ";
    }
    return Orlo::String(os.str());
}

}  // namespace

// ---- CounterIndex ----

CounterIndex::CounterIndex(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end)
    : value_(Orlo::deserializeAttr<unsigned long long>(it, end, "value")) {}

Orlo::String CounterIndex::veskString() const {
    std::ostringstream os;
    os << "key: " << value_;
    return Orlo::String(os.str());
}

Orlo::String valueToStrep(const CounterIndex& v) {
    return Orlo::valueToStrep(ull(v.value()));
}

std::ostream& operator<<(std::ostream& os, const CounterIndex& v) {
    return os << v.value();
}

// ---- the records, from their descriptions ----

#define FLEXCOUNTERS2_RECORD_TEXT(NAME)                                       \
    CounterEntry##NAME::CounterEntry##NAME(Orlo::String::IteratorConst& it,   \
                                           Orlo::String::IteratorConst end)   \
        : CounterEntry##NAME(parsedRecord<CounterEntry##NAME>(it, end)) {}    \
    Orlo::String CounterEntry##NAME::veskString() const {                     \
        return recordVeskString(*this);                                       \
    }                                                                         \
    Orlo::String valueToStrep(const CounterEntry##NAME& v) {                  \
        return recordStrep(v);                                                \
    }                                                                         \
    std::ostream& operator<<(std::ostream& os, const CounterEntry##NAME& v) { \
        return os << recordStrep(v);                                          \
    }
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_RECORD_TEXT)

}  // namespace DravoCounters::FlexCounters2

namespace Orlo {

template <>
DravoCounters::FlexCounters2::CounterIndex
deserializeAttr<DravoCounters::FlexCounters2::CounterIndex>(String::IteratorConst& it,
                                                            String::IteratorConst end,
                                                            const char* attrName) {
    try {
        return DravoCounters::FlexCounters2::CounterIndex(it, end);
    } catch (const RangeException& e) {
        rethrowFromDeserializeAttr(e, attrName);
    }
}

}  // namespace Orlo
