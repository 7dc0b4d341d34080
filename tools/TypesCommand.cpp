// vesk types: the module descriptions registered with the runtime, decoded from their bytes
// (Orlo::describeModule): per type its index, name, kind, size, parent and constructor
// argument, and its attributes with identifier, name, access and type.
#include "Commands.h"

#include "Orlo/Module.h"
#include "Output.h"
#include "RecordFields.h"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

namespace VeskTool {

namespace {

std::string attributeType(const Orlo::AttributeDescription& a) {
    if (!a.collection())
        return a.typeName;
    return fmt::format("collection of {} keyed by {}.{}", a.typeName, a.keyTypeName,
                       a.keyAttributeName);
}

std::string orNone(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string typeJson(size_t module, const Orlo::TypeDescription& t) {
    auto orNull = [](const std::string& text) { return text.empty() ? "null" : jsonString(text); };
    std::string out = fmt::format(
        "{{\"module\": {}, \"index\": {}, \"name\": {}, \"kind\": \"{}\", \"size\": {}, "
        "\"parent\": {}, \"constructorArgument\": ",
        module, t.type.typeIndex, jsonString(t.name), t.polymorphic() ? "entity" : "value", t.size,
        orNull(t.parentName));
    out += t.ctorArgName.empty()
               ? "null"
               : fmt::format("{{\"name\": {}, \"type\": {}}}", jsonString(t.ctorArgName),
                             jsonString(t.ctorArgTypeName));
    out += ", \"attributes\": [";
    for (size_t i = 0; i < t.attributes.size(); ++i) {
        const Orlo::AttributeDescription& a = t.attributes[i];
        out += fmt::format("{}{{\"id\": {}, \"name\": {}, \"access\": \"{}\", \"type\": {}",
                           i == 0 ? "" : ", ", a.id, jsonString(a.name), a.access(),
                           jsonString(a.typeName));
        if (a.collection())
            out += fmt::format(", \"keyType\": {}, \"keyAttribute\": {}", jsonString(a.keyTypeName),
                               jsonString(a.keyAttributeName));
        out += "}";
    }
    return out + "]}";
}

// One module as a table: a line per type, each followed by its attributes, indented under the
// type's name and aligned across the module.
std::string typesTable(const std::vector<Orlo::TypeDescription>& types) {
    std::vector<std::vector<std::string>> typeRows{
        {"INDEX", "TYPE", "KIND", "SIZE", "PARENT", "CONSTRUCTOR"}};
    std::vector<std::vector<std::string>> attributeRows{{"ID", "ATTRIBUTE", "ACCESS", "TYPE"}};
    for (const Orlo::TypeDescription& t : types) {
        typeRows.push_back(
            {std::to_string(t.type.typeIndex), t.name, t.polymorphic() ? "entity" : "value",
             std::to_string(t.size), orNone(t.parentName),
             t.ctorArgName.empty() ? "-" : t.ctorArgName + ": " + t.ctorArgTypeName});
        for (const Orlo::AttributeDescription& a : t.attributes)
            attributeRows.push_back({std::to_string(a.id), a.name, a.access(), attributeType(a)});
    }
    const std::vector<std::string> typeLines = columnLines(typeRows);
    const std::vector<std::string> attributeLines = columnLines(attributeRows);
    const std::string indent(typeLines[0].find("TYPE"), ' ');
    std::string out = typeLines[0] + "\n" + indent + attributeLines[0] + "\n";
    size_t next = 1;
    for (size_t i = 0; i < types.size(); ++i) {
        out += typeLines[i + 1] + "\n";
        for (size_t n = 0; n < types[i].attributes.size(); ++n)
            out += indent + attributeLines[next++] + "\n";
    }
    return out;
}

}  // namespace

int runTypes(bool json) {
    const std::vector<const Orlo::OrloModule*>& modules = Orlo::registeredModules();
    std::string out;
    for (size_t m = 0; m < modules.size(); ++m) {
        const std::vector<Orlo::TypeDescription> types = Orlo::describeModule(*modules[m]);
        if (json) {
            for (const Orlo::TypeDescription& t : types)
                out += typeJson(m, t) + "\n";
        } else {
            out += fmt::format("{}module {}: {} types\n", m == 0 ? "" : "\n", m, types.size());
            out += typesTable(types);
        }
    }
    writeOutput(out);
    return kOk;
}

void addTypesCommand(ToolLine& line) {
    auto json = std::make_shared<bool>(false);
    CLI::App* types =
        line.add("types",
                 "Print the types the library registered with the runtime, decoded from its module "
                 "description: kind, size, parent, constructor argument and attributes",
                 [json] { return runTypes(*json); });
    types->add_flag("--json", *json, "One JSON object per type");
}

}  // namespace VeskTool
