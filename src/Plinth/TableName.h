// The rule for the names a table's path is made of: every component of a table name, every
// directory a listing of tables shows. A name that passes can be printed on a terminal, in a
// line of a log and in a label of an exposition as it is: valid UTF-8, no control character
// (C0, DEL or C1), no character that reorders or hides the text around it (the bidirectional
// controls and the line and paragraph separators), not "." or "..", no '/', at most 255 bytes.
#pragma once

#include <string>
#include <string_view>

namespace Mem {

// Why `component` may not name a table's directory ("a control character", "not valid
// UTF-8", ...), or nullptr when it may.
const char* tableNameProblem(std::string_view component);

// `text` with every byte that the rule above refuses written as an escape ("\x1b", "\u202e"),
// for messages that must show a name that was refused.
std::string escapedName(std::string_view text);

}  // namespace Mem
