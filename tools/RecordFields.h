// The fields of a record type as its registered module description names them, so that the
// commands show a record of any type without code of their own for it. Of the type's attributes,
// in description order: the key is the readable attribute of the value's state that is fixed
// once the record exists; the fields are the key, then every other readable attribute of the
// value's state; the counters (what `vesk watch` follows) are the writable fields. Each field is
// read as one 64-bit word with attribute operation 0 on a record that a reader copied.
#pragma once

#include "Orlo/Module.h"

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace VeskTool {

class RecordFields {
  public:
    // The record type named `typeName` (a slot header's valueType). Throws ToolError(kTable) when
    // no registered module describes it, or it has no key, or a field is not a 64-bit word.
    explicit RecordFields(const std::string& typeName);

    // The key first, then the other fields.
    const std::vector<std::string>& names() const { return names_; }
    // The positions in names() of the counters.
    const std::vector<size_t>& counters() const { return counters_; }
    // The words of names() in `record`, a copy of a record of the type; into `words`, which
    // holds names().size() of them.
    std::vector<uint64_t> read(const void* record) const;
    void read(const void* record, uint64_t* words) const;
    // The record as one JSON object: {"key": 7, "packets": 12, "octets": 1500}.
    std::string json(const void* record) const;
    // Appends the record's short line: its key, then each field by name ("7: packets=12
    // octets=1500"; a record without fields is its key alone).
    void appendLine(std::string& out, const void* record) const;

  private:
    Orlo::OrloTypeBase type_;
    std::string typeName_;
    std::vector<std::string> names_;
    std::vector<Orlo::OrloAttr> attrs_;  // in the order of names_, resolved once
    const Orlo::TypeOps* ops_ = nullptr;
    std::vector<size_t> counters_;
};

// How the commands print a record without --json: its short line (RecordFields::appendLine),
// or its strep (--strep). One choice for the whole process, made before any command runs.
enum class RecordText { line, strep };
void recordTextIs(RecordText text);
RecordText recordText();

// Appends the line dump, get and follow print for `record`: its JSON object when `fields` is
// given, else its short line or its strep (recordText()).
template <class Value>
void appendRecordLine(std::string& out, const std::optional<RecordFields>& fields,
                      const Value& record) {
    if (fields) {
        out += fields->json(&record);
    } else if (recordText() == RecordText::strep) {
        std::ostringstream line;
        line << record;
        out += line.str();
    } else {
        static const RecordFields named(Value::typeName());
        named.appendLine(out, &record);
    }
    out += '\n';
}

// `text` as a JSON string, quoted and escaped.
std::string jsonString(const std::string& text);

}  // namespace VeskTool
