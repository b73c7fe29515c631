#!/bin/sh
# help2man reads a manual page from this: the program's own --help and
# --version, as an installed copy prints them (its name without a folder, the
# collection in the user's data folder rather than beside this build).
"$FORTUNE_EXE" "$@" | sed -e "s|$FORTUNE_EXE|$(basename "$FORTUNE_EXE")|" \
    -e 's|^  .*/fortunes\.txt$|  ~/.local/share/fortune-collector/fortunes.txt|'
