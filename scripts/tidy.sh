#!/bin/sh
# clang-tidy's checks of .clang-tidy (the length of functions, circles of
# includes) on the sources of modules/, host/ and lib/, two files at a time,
# with the compile database of a build; the ctest test structure.tidy.
#   scripts/tidy.sh SOURCE_DIR BUILD_DIR
# clang reads a copy of the database without the options only GCC knows.
set -eu
src=$1
build=$2
db=$(mktemp -d)
trap 'rm -rf "$db"' EXIT
sed -e 's/ -fvect-cost-model=[a-z]*//g' "$build/compile_commands.json" >"$db/compile_commands.json"
parts="$src/(modules|host|lib)/"
run-clang-tidy-19 -clang-tidy-binary clang-tidy-19 -p "$db" -j 2 -quiet "-header-filter=^$parts" "^$parts.*\.cpp$"
