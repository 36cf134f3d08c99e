// The console's input on a terminal: libedit's line editor, with the history
// of the lines typed in this session.
#include <cstdlib>
#include <memory>

#include <editline/readline.h>

#include "console.h"

namespace cowguard::tool {

EditLineInput::EditLineInput(std::FILE* in, std::FILE* out, std::string prompt)
    : out_(out), prompt_(std::move(prompt)) {
  rl_readline_name = "cowguard";  // the program name for ~/.editrc
  rl_instream = in;
  rl_outstream = out;
  // A new editor on these streams, with an empty history.
  rl_initialize();
  using_history();
}

EditLineInput::~EditLineInput() { clear_history(); }

std::optional<std::string> EditLineInput::next() {
  std::unique_ptr<char, decltype(&std::free)> line(readline(prompt_.c_str()), &std::free);
  if (!line) {
    // End of input (^D): the next prompt of the shell starts on its own line.
    std::fputs("\n", out_);
    std::fflush(out_);
    return std::nullopt;
  }
  std::string s(line.get());
  // Blank lines and a line repeated right after itself are not kept twice.
  if (s.find_first_not_of(" \t") != std::string::npos && s != last_) {
    add_history(s.c_str());
    last_ = s;
  }
  return s;
}

}  // namespace cowguard::tool
