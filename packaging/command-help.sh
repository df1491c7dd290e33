#!/bin/sh
# Writes a help2man include file with a COMMANDS section: the --help text of every
# command that 'PROGRAM --help' lists (lines "  NAME ..." under "Commands:"), so the
# man page holds each command's options exactly as the program prints them.
#   command-help.sh PROGRAM OUTPUT
set -eu
program=$1 output=$2
name=$(basename "$program")
commands=$("$program" --help | awk '/^Commands:/ { on = 1; next } on && /^[^ ]/ { on = 0 }
                                     on && /^  [a-z]/ { print $1 }')
[ -n "$commands" ] || { echo "command-help.sh: '$program --help' lists no commands" >&2; exit 1; }
{
  echo "[COMMANDS]"
  for command in $commands; do
    echo ".SS \"$name $command\""
    echo ".nf"
    # Roff: backslashes and hyphens literal, no line taken for a request.
    "$program" "$command" --help | sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"
    echo ".fi"
  done
} >"$output.tmp"
mv "$output.tmp" "$output"
