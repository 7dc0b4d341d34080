// The runtime reaches the library's values and tables through the registered module only: the
// bytes decode into the documented description, and values and tables work through their
// operation records without the test naming a C++ type; `vesk types` prints the same decoding.
#include "FlexCounters2/CounterTables.h"
#include "Orlo/Module.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>

namespace {

using Orlo::OrloAttr;
using Orlo::OrloType;
const std::string kNs = "DravoCounters::FlexCounters2::";
const char* const kRecords[] = {"Simple", "Normal", "Wide", "Bitmap64"};
using CounterIndexValue = DravoCounters::FlexCounters2::CounterIndex;

OrloType type(const std::string& name) {
    const auto t = Orlo::typeNamed(kNs + name);
    EXPECT_TRUE(t.has_value()) << name;
    return t.value_or(OrloType{});
}
uint16_t u16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// A decoded type on one line: name, kind, flag byte, size, parent (and the raw parent and
// constructor-argument words), constructor argument, then "id name type flags access" per
// attribute. Value types are written without their namespace.
std::string render(const Orlo::TypeDescription& t, const uint8_t* raw) {
    std::string text = fmt::format("{} {:02X} {:02X} {} {} {:04X}/{} {}: {}", t.name, t.kind,
                                   t.flags, t.kind == 1 ? t.size : 0, t.parentName, u16(raw + 8),
                                   u16(raw + 10), t.ctorArgName, t.ctorArgTypeName);
    for (const auto& a : t.attributes) {
        text += fmt::format(" | {} {} {} {:02X} {:02X} {:02X} {}", a.id, a.name, a.typeName,
                            a.flags[0], a.flags[1], a.flags[2], a.access());
        if (a.collection())
            text += fmt::format(" by {}.{}", a.keyTypeName, a.keyAttributeName);
    }
    size_t at;
    while ((at = text.find(kNs)) != std::string::npos)
        text.erase(at, kNs.size());
    return text;
}

TEST(ModuleDescription, DecodesToDocumentedTables) {
    const auto& modules = Orlo::registeredModules();
    const Orlo::OrloModule& m = DravoCounters::FlexCounters2::flexCounters2VeskModule;
    ASSERT_EQ(std::count(modules.begin(), modules.end(), &m), 1);
    ASSERT_EQ(m.numTypes, 10u);
    const std::string key =
        " | 2 key CounterIndex 00 2C 01 read | 3 counterIndex CounterIndex 00 "
        "28 00 read";
    auto counter = [](int id, const char* name) {
        return fmt::format(" | {} {} U64 00 1C 01 read, write", id, name);
    };
    auto veskString = [](int id) {
        return fmt::format(" | {} veskString Orlo::String 10 08 00 call", id);
    };
    std::vector<std::string> expected = {
        "CounterIndex 01 F8 8  FFFF/5 value: U64 | 2 value U64 00 2C 01 read" + veskString(3),
        "CounterEntrySimple 01 F0 24  FFFF/1 key: CounterIndex" + key + counter(4, "packets") +
            counter(5, "octets") + veskString(6),
        "CounterEntryNormal 01 F0 24  FFFF/1 key: CounterIndex" + key + counter(4, "counterA") +
            counter(5, "counterB") + veskString(6),
        "CounterEntryWide 01 F0 8  FFFF/1 key: CounterIndex" + key + veskString(4),
        "CounterEntryBitmap64 01 F0 16  FFFF/1 key: CounterIndex" + key + counter(4, "bits") +
            veskString(5),
        "CounterTableBase 40 F0 0 Orlo::Entity FFFD/3 name: Orlo::String"};
    for (const char* record : kRecords)
        expected.push_back(fmt::format(
            "CounterTable{} 40 F0 0 CounterTableBase 0005/3 name: Orlo::String | 258 counter "
            "CounterEntry{} 01 5C 01 read, write by CounterIndex.key | 259 counterControl "
            "OrloVesk::CollectionControl 20 5C 01 read, write",
            record, record));
    const std::vector<Orlo::TypeDescription> types = Orlo::describeModule(m);
    // Names and type references are decoded where the rendering uses them (attribute and
    // collection types, parents), so every entry of both tables is checked through it.
    ASSERT_EQ(types.size(), 10u);
    for (uint16_t i = 0; i < 10; ++i) {
        EXPECT_EQ(render(types[i], m.typeRecords + 16 * i), expected[i]);
        EXPECT_EQ(types[i].type, (OrloType{&m, i}));
        EXPECT_EQ(m.typeRecords[16 * i + 5] & 1, 1) << "bit 8 of the size word of " << i;
        EXPECT_EQ(types[i].type.isDerived(OrloType{Orlo::runtimeModule, 0}), i >= 5) << i;
    }
    EXPECT_TRUE(types[6].attribute("counter") == &types[6].attributes[0] &&
                types[6].attribute("bits") == nullptr);
    const Orlo::TypeOps& base = m.typeOps[5];  // its attribute operation only
    EXPECT_TRUE(!base.newEntityForDir && !base.reserved && !base.methods &&
                !base.genericIfConstructFromCtorArgs && base.genericIfAttributeOp &&
                !base.genericIfIterator);
}

// An aligned buffer for any value of the module, and the generic calls on it.
struct alignas(8) Buffer {
    unsigned char bytes[32] = {};
    void* p() { return bytes; }
};
int op(const OrloType& t, const char* attribute, uint32_t code, void* result, void* p,
       const void* other = nullptr, const void* input = nullptr) {
    return Orlo::attributeOp(t, attribute, code, result, p, other, input);
}
int whole(const OrloType& t, uint32_t code, void* result, void* p, const void* other) {
    return Orlo::typeOps(t).genericIfAttributeOp(result, p, OrloAttr{}, code, other, nullptr);
}

// Construct from the key 7, set the first counter to 12 through operation 1, read it back,
// print, parse the text back and compare: the same value. Only the key hashes and orders.
TEST(ValueReflection, RoundTrips) {
    const std::pair<const char*, std::string> rows[] = {
        {"CounterIndex", "7"},
        {"CounterEntrySimple",
         "Value('" + kNs + "CounterEntrySimple', ** {'key': 7, 'packets': 12, 'octets': 0})"},
        {"CounterEntryNormal",
         "Value('" + kNs + "CounterEntryNormal', ** {'key': 7, 'counterA': 12, 'counterB': 0})"},
        {"CounterEntryWide", "7"},
        {"CounterEntryBitmap64",
         "Value('" + kNs + "CounterEntryBitmap64', ** {'key': 7, 'bits': 12})"},
    };
    const uint64_t seven = 7, twelve = 12;
    Buffer key;
    Orlo::constructFromCtorArgs(type("CounterIndex"), key.p(), &seven);
    for (const auto& [name, strep] : rows) {
        SCOPED_TRACE(name);
        const OrloType t = type(name);
        const bool isKey = t == type("CounterIndex");
        const Orlo::GenericIfMethods& m = *Orlo::typeOps(t).methods;
        Buffer v, parsed, word, veskString;
        Orlo::constructFromCtorArgs(t, v.p(), isKey ? &seven : key.p());
        const Orlo::TypeDescription d = Orlo::describeType(t);
        const auto counter = std::find_if(d.attributes.begin(), d.attributes.end(),
                                          [](const auto& a) { return a.writable(); });
        if (counter != d.attributes.end()) {
            EXPECT_EQ(op(t, counter->name.c_str(), 1, nullptr, v.p(), nullptr, &twelve), 0);
            EXPECT_EQ(op(t, counter->name.c_str(), 0, word.p(), v.p()), 0);
            EXPECT_EQ(std::memcmp(word.p(), &twelve, 8), 0);
        }
        const Orlo::String text = m.genericIfStrRep(v.p(), t);
        EXPECT_EQ(text, strep);
        m.genericIfStrepToValue(parsed.p(), text, t);
        bool equal = false;
        EXPECT_TRUE(whole(t, 12, &equal, v.p(), parsed.p()) == 0 && equal);
        EXPECT_EQ(whole(t, 13, &equal, v.p(), parsed.p()), isKey ? 0 : 1)
            << "records have no order";
        if (isKey)
            EXPECT_EQ(m.genericIfHash(v.p(), t), Orlo::hashSingleAttr(0, 7));
        else
            EXPECT_THROW(m.genericIfHash(v.p(), t), Orlo::UnhashableException);
        EXPECT_EQ(op(t, "veskString", 10, veskString.p(), v.p()), 0);
        auto* shortForm = static_cast<Orlo::String*>(veskString.p());
        EXPECT_NE(shortForm->str().find("key: 7"), std::string::npos) << *shortForm;
        std::destroy_at(shortForm);
        m.genericIfDestruct(v.p());
    }
}

// The calls a value refuses (status 1 or 2, or an exception), and the answers of the whole-value
// operations that depend on the value.
TEST(ValueReflection, RefusalsAndWholeValueOperations) {
    const OrloType index = type("CounterIndex"), simple = type("CounterEntrySimple");
    const CounterIndexValue three{3}, five{5};
    Buffer zero, octets, result;
    Orlo::typeOps(simple).methods->genericIfConstruct(zero.p(), nullptr);
    Orlo::typeOps(simple).methods->genericIfConstruct(octets.p(), nullptr);
    const uint64_t word = 9;
    ASSERT_EQ(op(simple, "octets", 1, nullptr, octets.p(), nullptr, &word), 0);
    for (const char* attribute : {"key", "counterIndex"}) {  // read only
        EXPECT_EQ(op(simple, attribute, 1, nullptr, octets.p(), nullptr, &word), 1) << attribute;
        EXPECT_EQ(op(simple, attribute, 0, result.p(), octets.p()), 0) << attribute;
        EXPECT_EQ(std::memcmp(result.p(), zero.p(), 8), 0) << attribute << " changed";
    }
    bool answer = true;
    EXPECT_TRUE(whole(simple, 11, &answer, zero.p(), nullptr) == 0 && !answer) << "all zero";
    EXPECT_TRUE(whole(simple, 11, &answer, octets.p(), nullptr) == 0 && answer) << "octets set";
    EXPECT_TRUE(whole(index, 13, &answer, (void*)&three, &five) == 0 && answer) << "3 < 5";
    const OrloAttr fifth =
        Orlo::describeType(simple).attr(Orlo::describeType(simple).attributes[3]);
    ASSERT_EQ(fifth.attributeId(), 5u);
    EXPECT_EQ(Orlo::typeOps(type("CounterEntryWide"))
                  .genericIfAttributeOp(result.p(), zero.p(), fifth, 0, nullptr, nullptr),
              2)
        << "identifier 5 is not one of the wide record's";
    const auto& methods = *Orlo::typeOps(simple).methods;
    EXPECT_EQ(methods.genericIfVoidPtrIs(zero.p(), simple, simple), zero.p());
    EXPECT_THROW(methods.genericIfVoidPtrIs(zero.p(), simple, index), Orlo::TypeException);
    EXPECT_THROW(Orlo::attributeOp(simple, "bits", 0, result.p(), zero.p()), Orlo::TypeException);
}

// A table made, written, read, iterated and emptied through its operation records only.
TEST(TableReflection, OperationRecords) {
    VeskTest::TestRoot root;
    const auto same = [](Buffer a, Buffer b) { return std::memcmp(a.p(), b.p(), 32) == 0; };
    for (const char* record : kRecords) {
        SCOPED_TRACE(record);
        const OrloType t = type(std::string("CounterTable") + record);
        const OrloType r = type(std::string("CounterEntry") + record);
        const Orlo::Ptr<Orlo::Entity> table = Orlo::newEntity(t, "T");
        Orlo::Entity* p = table.get();
        Buffer keyBuf;
        // The answer of operation `code` on the counter of `key`, which must do it (status 0).
        auto counterOp = [&](uint32_t code, uint64_t key, const void* input = nullptr) {
            Buffer got;
            Orlo::constructFromCtorArgs(type("CounterIndex"), keyBuf.p(), &key);
            EXPECT_EQ(op(t, "counter", code, got.p(), p, keyBuf.p(), input), 0) << code;
            return got;
        };
        EXPECT_FALSE(Orlo::GenericIterator(t, "counter", p).valid());
        std::vector<Buffer> records(3);
        for (uint64_t k = 1; k <= 3; ++k) {
            Orlo::constructFromCtorArgs(type("CounterIndex"), keyBuf.p(), &k);
            Orlo::constructFromCtorArgs(r, records[k - 1].p(), keyBuf.p());
            counterOp(1, k, records[k - 1].p());
        }
        EXPECT_TRUE(*static_cast<bool*>(counterOp(5, 2).p()));
        EXPECT_TRUE(same(counterOp(0, 2), records[1])) << "operation 0 read back another record";
        EXPECT_EQ(*static_cast<uint32_t*>(counterOp(3, 0).p()), 3u);
        EXPECT_EQ(*static_cast<uint32_t*>(counterOp(4, 0).p()), 0u);
        std::set<uint64_t> keys;
        for (Orlo::GenericIterator it(t, "counter", p); it.valid(); it.next()) {
            Buffer got;
            it.key(keyBuf.p());
            keys.insert(*static_cast<uint64_t*>(keyBuf.p()));
            it.element(got.p());
            EXPECT_EQ(std::memcmp(got.p(), keyBuf.p(), 8), 0) << "element and key disagree";
        }
        EXPECT_EQ(keys, (std::set<uint64_t>{1, 2, 3}));
        EXPECT_TRUE(same(counterOp(2, 2), records[1])) << "operation 2 answered another record";
        EXPECT_FALSE(*static_cast<bool*>(counterOp(5, 2).p()));
        EXPECT_TRUE(same(counterOp(0, 2), Buffer{})) << "an absent key reads as the zero record";
        EXPECT_EQ(op(t, "counter", 6, nullptr, p, keyBuf.p()), 1);

        using Control = Orlo::Ptr<OrloVesk::CollectionControl>;
        Control control;
        EXPECT_TRUE(op(t, "counterControl", 0, &control, p) == 0 && control);
        EXPECT_EQ(op(t, "counterControl", 1, nullptr, p, nullptr, &control), 0);
        EXPECT_EQ(op(t, "counterControl", 2, nullptr, p), 1);
        EXPECT_THROW(Orlo::GenericIterator(t, "counterControl", p), Orlo::TypeException);
        // The whole table (no attribute) is no attribute of a table, nor of the base.
        for (const OrloType& of : {t, type("CounterTableBase")})
            EXPECT_EQ(Orlo::typeOps(of).genericIfAttributeOp(nullptr, p, {}, 0, nullptr, nullptr),
                      2);
        const void* args[] = {nullptr};
        EXPECT_THROW(Orlo::typeOps(t).newEntityForDir("U", args), Orlo::NewEntityArgsException);
        EXPECT_EQ(Orlo::typeOps(t).methods->genericIfVoidPtrIs(p, t, type("CounterTableBase")), p);
    }
}

// `vesk types` prints the module as this process decodes it: aligned columns (here joined by
// '|'), and one JSON object per type.
TEST(VeskTypesProcess, TypesPrintsTheDecodedModule) {
    auto vesk = [](const std::string& options) {
        VeskTest::Child tool([&](VeskTest::Child& self) {
            FILE* out = ::popen((VESK_TOOL_PATH " types" + options).c_str(), "r");
            std::string text(1 << 20, '\0');  // fread reads until the end or this much
            text.resize(out != nullptr ? std::fread(text.data(), 1, text.size(), out) : 0);
            self.send(text);
            return out != nullptr && ::pclose(out) == 0 ? 0 : 1;
        });
        EXPECT_EQ(tool.wait(), 0) << options;
        return tool.rest();
    };
    const std::string table = vesk(""), json = vesk(" --json");
    const std::string simple = kNs + "CounterEntrySimple", index = kNs + "CounterIndex";
    const uint32_t size = Orlo::describeType(type("CounterTableSimple")).size;
    auto column = [&](const std::string& what) {
        return table.find(what) - table.rfind('\n', table.find(what));
    };
    EXPECT_TRUE(column("TYPE") == column(simple) && column("TYPE") == column("258")) << table;
    const std::string joined = std::regex_replace(table, std::regex("  +"), "|");
    for (const std::string& block :
         {"\n1|" + simple + "|value|24|-|key: " + index + "\n|2|key|read|" + index +
              "\n|3|counterIndex|read|" + index +
              "\n|4|packets|read, write|U64\n|5|octets|read, write|U64\n|6|veskString|call|"
              "Orlo::String\n",
          fmt::format("\n6|{0}CounterTableSimple|entity|{1}|{0}CounterTableBase|name: "
                      "Orlo::String\n|258|counter|read, write|collection of {2} keyed by "
                      "{3}.key\n|259|counterControl|read, write|OrloVesk::CollectionControl\n",
                      kNs, size, simple, index)})
        EXPECT_NE(joined.find(block), std::string::npos) << block << "\nnot in:\n" << joined;
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 10 + 1) << json;  // + the channel's
    EXPECT_NE(json.find(fmt::format(
                  "\n{{\"module\": 0, \"index\": 6, \"name\": \"{0}CounterTableSimple\", \"kind\": "
                  "\"entity\", \"size\": {1}, \"parent\": \"{0}CounterTableBase\", "
                  "\"constructorArgument\": {{\"name\": \"name\", \"type\": \"Orlo::String\"}}, "
                  "\"attributes\": [{{\"id\": 258, \"name\": \"counter\", \"access\": \"read, "
                  "write\", \"type\": \"{2}\", \"keyType\": \"{3}\", \"keyAttribute\": \"key\"}}, "
                  "{{\"id\": 259, \"name\": \"counterControl\", \"access\": \"read, write\", "
                  "\"type\": \"OrloVesk::CollectionControl\"}}]}}\n",
                  kNs, size, simple, index)),
              std::string::npos)
        << json;
}

}  // namespace
