// Uses the installed headers and library the way an outside program does: builds the key and
// each record, prints their streps and short forms, reads the streps back, and checks that bad
// text is refused. Exits non-zero on the first mismatch.
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Pimbo/Debug.h"

using namespace DravoCounters::FlexCounters2;

namespace {

int failures = 0;

void expectText(const char* what, const std::string& actual, const std::string& expected) {
    std::printf("%s: %s\n", what, actual.c_str());
    if (actual != expected) {
        std::fprintf(stderr, "MISMATCH %s:\n  got      %s\n  expected %s\n", what, actual.c_str(),
                     expected.c_str());
        ++failures;
    }
}

void expectTrue(const char* what, bool ok) {
    if (!ok) {
        std::fprintf(stderr, "FAILED %s\n", what);
        ++failures;
    }
}

// Prints the value's texts, compares them with the expected ones and reads the strep back.
template <class T>
void check(const char* name, const T& value, const std::string& strep,
           const std::string& shortForm) {
    expectText(name, std::string(valueToStrep(value)), strep);
    expectText(name, std::string(value.veskString()), shortForm);
    std::ostringstream os;
    os << value;
    expectTrue(name, !os.str().empty());
    try {
        const T back = Orlo::strepToValue<T>(valueToStrep(value), nullptr);
        expectTrue(name, back == value);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FAILED %s: its strep did not parse back: %s\n", name, e.what());
        ++failures;
    }
}

// Bad text must raise an exception that a generic caller can catch as std::exception.
template <class T>
void expectRejected(const char* name, const std::string& text) {
    try {
        Orlo::strepToValue<T>(Orlo::String(text), nullptr);
        std::fprintf(stderr, "FAILED %s: accepted \"%s\"\n", name, text.c_str());
        ++failures;
    } catch (const std::exception& e) {
        std::printf("%s rejected: %s\n", name, e.what());
    }
}

}  // namespace

int main() {
    const CounterIndex key(7);
    check("CounterIndex", key, "7", "key: 7");

    CounterEntrySimple simple(key);
    simple.packetsIs(12);
    simple.octetsIs(1500);
    check("CounterEntrySimple", simple,
          "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {'key': 7, 'packets': 12, "
          "'octets': 1500})",
          "[key: 7] S 12, 1500");

    CounterEntryNormal normal(key);
    normal.counterAIs(1);
    normal.counterBIs(18446744073709551615ull);
    check("CounterEntryNormal", normal,
          "Value('DravoCounters::FlexCounters2::CounterEntryNormal', ** {'key': 7, 'counterA': 1, "
          "'counterB': 18446744073709551615})",
          "[key: 7] N 1, 18446744073709551615");

    check("CounterEntryWide", CounterEntryWide(key), "7", "[key: 7] W ");

    CounterEntryBitmap64 bitmap(key);
    bitmap.bitsIs(255);
    check("CounterEntryBitmap64", bitmap,
          "Value('DravoCounters::FlexCounters2::CounterEntryBitmap64', ** {'key': 7, 'bits': "
          "255})",
          "[key: 7] B ff");

    expectRejected<CounterIndex>("CounterIndex", "7 ");
    expectRejected<CounterEntrySimple>(
        "CounterEntrySimple",
        "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {'key':7, 'packets': 12, "
        "'octets': 1500})");
    expectRejected<CounterEntryNormal>("CounterEntryNormal", std::string(valueToStrep(simple)));
    expectRejected<CounterEntryWide>("CounterEntryWide", std::string(valueToStrep(bitmap)));
    expectRejected<CounterEntryBitmap64>("CounterEntryBitmap64",
                                         std::string(valueToStrep(bitmap)) + " ");

    // The placeholder map compiled into the library answers as an empty table.
    auto handler = Pimbo::Platform::getDebugHandler("consumer");
    Vesk::VeskDummy<CounterEntrySimpleOps> dummy(*handler, "consumer/counter",
                                                 CounterEntrySimpleOps(), nullptr, false);
    bool found = true;
    const CounterEntrySimple* none = dummy.lookup(key, found, nullptr);
    expectTrue("VeskDummy lookup", !found && none != nullptr && *none == CounterEntrySimple());
    try {
        dummy.write(simple, true);
        std::fprintf(stderr, "FAILED VeskDummy accepted a write\n");
        ++failures;
    } catch (const std::exception& e) {
        std::printf("VeskDummy refused: %s\n", e.what());
    }

    if (failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("consumer: all checks passed\n");
    return 0;
}
