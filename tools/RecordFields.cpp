// The fields of a record type from its registered description (RecordFields.h).
#include "RecordFields.h"

#include "ToolError.h"

#include <fmt/format.h>

#include <iterator>

namespace VeskTool {

RecordFields::RecordFields(const std::string& typeName) : typeName_(typeName) {
    const std::optional<Orlo::OrloTypeBase> type = Orlo::typeNamed(typeName);
    if (!type || Orlo::describeType(*type).kind != Orlo::kKindValue) {
        throw ToolError(kTable, fmt::format("wrong record type: no registered module describes "
                                            "a record type '{}'",
                                            typeName));
    }
    type_ = *type;
    std::vector<std::string> others;
    std::vector<Orlo::OrloAttr> otherAttrs;
    const Orlo::TypeDescription description = Orlo::describeType(type_);
    for (const Orlo::AttributeDescription& a : description.attributes) {
        if (!a.readable() || !a.state())
            continue;
        if (a.type ? Orlo::describeType(*a.type).size != sizeof(uint64_t)
                   : a.typeCode != Orlo::kBuiltinU64) {
            throw ToolError(kTable, fmt::format("record type {}: field {} of type {} is not a "
                                                "64-bit word, which this tool cannot show",
                                                typeName, a.name, a.typeName));
        }
        if (a.fixed() && names_.empty()) {
            names_.push_back(a.name);
            attrs_.push_back(description.attr(a));
            continue;
        }
        if (a.writable())
            counters_.push_back(others.size() + 1);
        others.push_back(a.name);
        otherAttrs.push_back(description.attr(a));
    }
    if (names_.empty())
        throw ToolError(kTable, fmt::format("record type {} has no key attribute", typeName));
    names_.insert(names_.end(), others.begin(), others.end());
    attrs_.insert(attrs_.end(), otherAttrs.begin(), otherAttrs.end());
    ops_ = &Orlo::typeOps(type_);
    if (ops_->genericIfAttributeOp == nullptr)
        throw ToolError(kTable, fmt::format("record type {} has no attribute operation", typeName));
}

std::vector<uint64_t> RecordFields::read(const void* record) const {
    std::vector<uint64_t> words(names_.size());
    read(record, words.data());
    return words;
}

void RecordFields::read(const void* record, uint64_t* words) const {
    for (size_t i = 0; i < names_.size(); ++i) {
        // Operation 0 only reads the record.
        const int status = ops_->genericIfAttributeOp(&words[i], const_cast<void*>(record),
                                                      attrs_[i], 0, nullptr, nullptr);
        if (status != 0) {
            throw ToolError(kTable, fmt::format("record type {}: field {} cannot be read "
                                                "(operation 0 answered {})",
                                                typeName_, names_[i], status));
        }
    }
}

std::string RecordFields::json(const void* record) const {
    const std::vector<uint64_t> words = read(record);
    std::string out = "{";
    for (size_t i = 0; i < words.size(); ++i)
        out += fmt::format("{}{}: {}", i == 0 ? "" : ", ", jsonString(names_[i]), words[i]);
    return out + "}";
}

void RecordFields::appendLine(std::string& out, const void* record) const {
    uint64_t words[16];
    std::vector<uint64_t> more;
    uint64_t* w = words;
    if (names_.size() > std::size(words)) {
        more.resize(names_.size());
        w = more.data();
    }
    read(record, w);
    fmt::format_to(std::back_inserter(out), "{}", w[0]);
    for (size_t i = 1; i < names_.size(); ++i)
        fmt::format_to(std::back_inserter(out), "{}{}={}", i == 1 ? ": " : " ", names_[i], w[i]);
}

namespace {
RecordText chosenText = RecordText::line;
}  // namespace

void recordTextIs(RecordText text) {
    chosenText = text;
}

RecordText recordText() {
    return chosenText;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += {'\\', c};
        else if (static_cast<unsigned char>(c) < 0x20)
            out += fmt::format("\\u{:04x}", int(c));
        else
            out += c;
    }
    return out + "\"";
}

}  // namespace VeskTool
