// How korvo words each refusal of the library's reader, written once: the
// account (account.cpp) fills the texts in, and `korvo dissector` hands the
// same texts to the Wireshark dissector's Lua, which fills them in alike.
// {name} stands for one value of the refusal; numbers are written in decimal.
#ifndef KORVO_TOOL_REFUSAL_TEXTS_H
#define KORVO_TOOL_REFUSAL_TEXTS_H

#include <stdint.h>

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace korvo_tool {

struct RefusalText {
    const char *pcKey;
    const char *pcText;
};

// {len} the buffer's length; {last} the last position a table or vtable may
// take (len - 4); {label} "root" or the table's member path; {path} the member's path.
inline constexpr RefusalText kRefusalTexts[] = {
    {"short", "a buffer of {len} bytes is shorter than its 4-byte root uoffset"},
    {"no_table", "{label} table at {pos}: no table fits in a buffer of {len} bytes"},
    {"table_position", "{label} table at {pos} is out of range: a table starts at 4 to {last}"},
    {"vtable_position",
     "{label}: soffset {soffset} puts its vtable at {pos}, out of range: a vtable starts at 4 to "
     "{last}"},
    {"vtable_length", "{label} vtable: length {n} runs past the buffer end (at most {room})"},
    {"value_past_end", "{path}: its {width}-byte value at {pos} runs past the buffer end ({len})"},
    {"offset_past_end", "{path}: its uoffset at {pos} runs past the buffer end ({len})"},
    {"offset_past_4g", "{path}: uoffset {n} leads past 2^32"},
    {"vector_past_end", "{path}: its {what} at {pos} lies past the buffer end ({len})"},
    {"array_length", "{path}: count {n} is not the array's length {width}"},
    {"array_past_end", "{path}: its {width} bytes at {pos} run past the buffer end ({len})"},
    {"count_too_large", "{path}: count {n} is 2^30 or more"},
    {"offsets_past_end", "{path}: its {n} element uoffsets run past the buffer end ({len})"},
    {"array_too_large",
     "{path}: {n} elements of {width} bytes make an array of {bytes} bytes, 2^31 or more: "
     "refused before allocating"},
    {"no_memory",
     "{path}: {n} elements of {width} bytes make an array of {bytes} bytes: the allocation "
     "failed"},
    {"array_over_limit",
     "{path}: {n} elements of {width} bytes make an array of {bytes} bytes, more than korvo lets "
     "a buffer of {len} bytes allocate ({limit}): its element offsets share tables"},
};

using RefusalValue = std::variant<int64_t, std::string_view>;
struct RefusalArg {
    const char *pcName;
    RefusalValue value;
};

// The text of kRefusalTexts[pcKey] with its values filled in.
std::string RefusalReason(std::string_view key, std::initializer_list<RefusalArg> args);

}  // namespace korvo_tool

#endif
