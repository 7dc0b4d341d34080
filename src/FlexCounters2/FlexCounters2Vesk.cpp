#include "FlexCounters2/FlexCounters2Vesk.h"

#include <sstream>

namespace DravoCounters::FlexCounters2 {

namespace {

// Record streps: printf formats filled through Orlo::format, the key's strep in %s and the
// counters in %llu, in the order of the fields.
constexpr const char* kSimpleFormat =
    "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {'key': %s, 'packets': %llu, "
    "'octets': %llu})";
constexpr const char* kNormalFormat =
    "Value('DravoCounters::FlexCounters2::CounterEntryNormal', ** {'key': %s, 'counterA': %llu, "
    "'counterB': %llu})";
constexpr const char* kBitmap64Format =
    "Value('DravoCounters::FlexCounters2::CounterEntryBitmap64', ** {'key': %s, 'bits': %llu})";

// The opening of each record strep, up to and including the brace.
constexpr const char* kSimplePrefix =
    "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {";
constexpr const char* kNormalPrefix =
    "Value('DravoCounters::FlexCounters2::CounterEntryNormal', ** {";
constexpr const char* kBitmap64Prefix =
    "Value('DravoCounters::FlexCounters2::CounterEntryBitmap64', ** {";

unsigned long long ull(uint64_t v) {
    return static_cast<unsigned long long>(v);
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

// ---- CounterEntrySimple ----

CounterEntrySimple::CounterEntrySimple(Orlo::String::IteratorConst& it,
                                       Orlo::String::IteratorConst end) {
    Orlo::needString(it, end, kSimplePrefix);
    Orlo::needString(it, end, "'key': ");
    key_ = Orlo::deserializeAttr<CounterIndex>(it, end, "key");
    Orlo::needString(it, end, ", 'packets': ");
    packets_ = Orlo::deserializeAttr<unsigned long long>(it, end, "packets");
    Orlo::needString(it, end, ", 'octets': ");
    octets_ = Orlo::deserializeAttr<unsigned long long>(it, end, "octets");
    Orlo::needString(it, end, "})");
}

Orlo::String CounterEntrySimple::veskString() const {
    std::ostringstream os;
    os << "[" << key_.veskString() << "] S " << packets_ << ", " << octets_;
    return Orlo::String(os.str());
}

Orlo::String valueToStrep(const CounterEntrySimple& v) {
    return Orlo::format(kSimpleFormat, valueToStrep(v.key()).c_str(), ull(v.packets()),
                        ull(v.octets()));
}

std::ostream& operator<<(std::ostream& os, const CounterEntrySimple& v) {
    return os << valueToStrep(v);
}

// ---- CounterEntryNormal ----

CounterEntryNormal::CounterEntryNormal(Orlo::String::IteratorConst& it,
                                       Orlo::String::IteratorConst end) {
    Orlo::needString(it, end, kNormalPrefix);
    Orlo::needString(it, end, "'key': ");
    key_ = Orlo::deserializeAttr<CounterIndex>(it, end, "key");
    Orlo::needString(it, end, ", 'counterA': ");
    counterA_ = Orlo::deserializeAttr<unsigned long long>(it, end, "counterA");
    Orlo::needString(it, end, ", 'counterB': ");
    counterB_ = Orlo::deserializeAttr<unsigned long long>(it, end, "counterB");
    Orlo::needString(it, end, "})");
}

Orlo::String CounterEntryNormal::veskString() const {
    std::ostringstream os;
    os << "[" << key_.veskString() << "] N " << counterA_ << ", " << counterB_;
    return Orlo::String(os.str());
}

Orlo::String valueToStrep(const CounterEntryNormal& v) {
    return Orlo::format(kNormalFormat, valueToStrep(v.key()).c_str(), ull(v.counterA()),
                        ull(v.counterB()));
}

std::ostream& operator<<(std::ostream& os, const CounterEntryNormal& v) {
    return os << valueToStrep(v);
}

// ---- CounterEntryWide ----

// The strep of a Wide record is the strep of its key, nothing around it.
CounterEntryWide::CounterEntryWide(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end)
    : key_(Orlo::deserializeAttr<CounterIndex>(it, end, "key")) {}

Orlo::String CounterEntryWide::veskString() const {
    std::ostringstream os;
    os << "[" << key_.veskString() << "] W ";
    return Orlo::String(os.str());
}

Orlo::String valueToStrep(const CounterEntryWide& v) {
    return valueToStrep(v.key());
}

std::ostream& operator<<(std::ostream& os, const CounterEntryWide& v) {
    return os << valueToStrep(v);
}

// ---- CounterEntryBitmap64 ----

CounterEntryBitmap64::CounterEntryBitmap64(Orlo::String::IteratorConst& it,
                                           Orlo::String::IteratorConst end) {
    Orlo::needString(it, end, kBitmap64Prefix);
    Orlo::needString(it, end, "'key': ");
    key_ = Orlo::deserializeAttr<CounterIndex>(it, end, "key");
    Orlo::needString(it, end, ", 'bits': ");
    bits_ = Orlo::deserializeAttr<unsigned long long>(it, end, "bits");
    Orlo::needString(it, end, "})");
}

Orlo::String CounterEntryBitmap64::veskString() const {
    std::ostringstream os;
    os << "[" << key_.veskString() << "] B " << std::hex << bits_;
    return Orlo::String(os.str());
}

Orlo::String valueToStrep(const CounterEntryBitmap64& v) {
    return Orlo::format(kBitmap64Format, valueToStrep(v.key()).c_str(), ull(v.bits()));
}

std::ostream& operator<<(std::ostream& os, const CounterEntryBitmap64& v) {
    return os << valueToStrep(v);
}

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
