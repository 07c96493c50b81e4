#!/bin/sh
# Writes a help2man include file for a program: the --help of each subcommand it
# lists under "Subcommands:", so that its man page shows their options too; the
# packaged config file when it takes --config; and where to read further.
# Usage: subcommands.sh PROGRAM OUTPUT
set -eu
program=$1
out=$2
name=$(basename "$program")
help=$("$program" --help)
subcommands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p')
: > "$out"
if [ -n "$subcommands" ]; then
  echo '[SUBCOMMANDS]' >> "$out"
  for s in $subcommands; do
    printf '.SS "%s %s"\n.nf\n' "$name" "$s" >> "$out"
    # roff: backslashes doubled, a line starting with . or ' kept as text.
    "$program" "$s" --help | sed -e 's/\\/\\\\/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" >> "$out"
    printf '.fi\n' >> "$out"
  done
fi
if printf '%s\n' "$help" | grep -q -- '--config'; then
  printf '[FILES]\n.TP\n.I /etc/quorvel/%s.conf\n' "$name" >> "$out"
  printf 'the configuration the packaged systemd unit reads (%s \\-\\-config FILE); every option\n' "$name" >> "$out"
  printf 'is in it, commented out under its help line.\n' >> "$out"
fi
printf '[SEE ALSO]\n.BR quorvel (1),\n.BR quorvel-decode (1),\n.BR quorvel-gen (1)\n.PP\n' >> "$out"
printf '/usr/share/doc/quorvel/README.md\n' >> "$out"
