# Reads the cowguard command's own --help (CLI11's layout); sourced by the
# tests that hold the manual pages and the completion to the command.

# One line per subcommand: its name, then its aliases ("list info").
help_subcommands() {  # EXE
  "$1" --help | sed -n '/^Subcommands:/,/^$/p' | grep -E '^  [a-z]' |
    sed -E 's/^  //; s/  .*$//; s/,/ /g; s/  +/ /g'
}

# The options of the command, or of one of its subcommands, one a line:
# every name of each ("-o", "--output").
help_options() {  # EXE [SUBCOMMAND]
  "$@" --help | grep -E '^  -' | awk '{print $1}' | tr ',' '\n' | sed -E 's/[=:].*$//' | grep -E '^-'
}
