// The kernel log as tests and tools read it.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace standin::log {

// Every complete line written with printk, oldest first, as written: a line
// keeps its level prefix ("<3>") and loses its newline.  A printk that does
// not end its line is continued by the next printk, unless that one starts
// with a level prefix, which ends the pending line first (the ring buffer
// never merges two leveled messages).
std::vector<std::string> lines();
// Position after the last line written so far.
std::size_t mark();
// Lines written since a mark (the pending, unfinished line is not included).
std::vector<std::string> since(std::size_t mark);
// Number of lines since mark that equal text exactly.
std::size_t count(std::size_t mark, const std::string& text);
// Drops every line; marks taken before are invalid afterwards.
void clear();
// Echo every line to stderr as it is written (also on with CG_PRINTK_ECHO=1).
void set_echo(bool on);

}  // namespace standin::log
