#!/bin/sh
# The formatting step of scripts/test in a checkout whose machine has no git:
# run with a PATH that holds only the tools the step needs. Status 77 (a skip)
# when clang-format is not installed.
set -eu
source_dir=$1
clang_format=$(command -v clang-format) || { echo "clang-format is not installed"; exit 77; }
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
for tool in bash env dirname find xargs; do
    ln -s "$(command -v "$tool")" "$bin/$tool"
done
ln -s "$clang_format" "$bin/clang-format"
if PATH=$bin command -v git >/dev/null 2>&1; then
    echo "git is still on the test's PATH"
    exit 1
fi
PATH=$bin "$source_dir/scripts/check-format"
echo "formatting checked without git"
