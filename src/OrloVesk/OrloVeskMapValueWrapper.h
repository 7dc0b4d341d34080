// Presents a record type to the map templates: the record's key is read through fwkKey(),
// which calls the record's key accessor.
#pragma once

namespace OrloVesk {

template <class Record, class Key, const Key& (Record::*KeyAccessor)() const>
struct OrloVeskMapValueWrapper {
    using Value = Record;
    static const Key& fwkKey(const Record& r) { return (r.*KeyAccessor)(); }
    static const char* typeName() { return Record::typeName(); }
};

}  // namespace OrloVesk
