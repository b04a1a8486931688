#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs each recipe of the README's Recipes section, as the README writes it,
# on the example photograph, and checks that it does what its text promises.
#
#   tests/recipes.sh README.md DIR_OF_CONEMASK EXAMPLES_DIR
#
# A recipe whose tool is missing (ImageMagick, GNU parallel) is skipped with a
# note; the script then exits 77, which CTest reports as skipped.
set -euo pipefail
readme=$(realpath "$1")
export PATH="$(realpath "$2"):$PATH"
examples=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The sh blocks of the Recipes section, in order: recipe1.sh, recipe2.sh, ...
awk '/^## / { in_recipes = ($0 == "## Recipes") }
     in_recipes && /^```sh$/ { file = "recipe" ++n ".sh"; next }
     /^```$/ { file = "" }
     file != "" { print > file }' "$readme"
recipes=(recipe*.sh)
expected=7
[ ${#recipes[@]} -eq $expected ] || { echo "found ${#recipes[@]} recipes, expected $expected: add a row here"; exit 1; }

skipped=0
fail() { echo "recipe $1: $2"; exit 1; }
have() {
    command -v "$1" >/dev/null && return 0
    echo "note: $1 is not installed; recipe $2 skipped"
    skipped=1
    return 1
}
size_of() { stat -c %s "$1"; }

# The example photograph, as a user's field.jpg and as the raster it becomes.
cp "$examples/coffee.rgb" field.rgb
if have convert 1; then
    convert -size 600x400 -depth 8 rgb:field.rgb field.jpg
    rm field.rgb
    [ "$(bash recipe1.sh)" = "400 600" ] || fail 1 "did not print the rows and columns"
    [ "$(size_of field.rgb)" -eq 720000 ] || fail 1 "field.rgb is not 400 x 600 x 3 bytes"
fi

[ -z "$(bash recipe2.sh)" ] || fail 2 "complained about a raster of the right size"
head -c 719999 field.rgb >short.rgb && mv field.rgb whole.rgb && mv short.rgb field.rgb
[ "$(bash recipe2.sh)" = "field.rgb is not 400 x 600" ] || fail 2 "did not notice a short raster"
mv whole.rgb field.rgb

conemask 180 40 15 0.12 10 field 400 600 >/dev/null
if have convert 3; then
    bash recipe3.sh
    [ "$(identify -format '%w %h' mask.png)" = "600 400" ] || fail 3 "mask.png is not 600 x 400"
fi
if have convert 4; then
    bash recipe4.sh
    [ "$(identify -format '%w %h' side.png)" = "1200 400" ] || fail 4 "side.png is not 1200 x 400"
fi

# A batch: one line ends in a blank, which must not join it to the next. Then
# a batch with a missing raster, which must fail.
batch() {
    local number=$1
    rm -f ./*.raw
    printf 'a 400 600 \nb 400 600\nc 400 600\n' >list.txt
    bash "recipe$number.sh" || fail "$number" "failed on a good list"
    for base in a b c; do
        [ "$(size_of $base.raw)" -eq 480000 ] || fail "$number" "$base.raw is not a whole mask"
    done
    printf 'a 400 600\nmissing 400 600\nb 400 600\n' >list.txt
    if bash "recipe$number.sh" 2>/dev/null; then
        fail "$number" "succeeded with a missing raster"
    fi
}
for base in a b c; do cp field.rgb $base.rgb; done
batch 5
if have parallel 6; then
    batch 6
fi
# Several machines: GNU parallel checks the options and prints each command
# without running it.
if have parallel 7; then
    printf 'a 400 600 \nb 400 600\n' >list.txt
    printf '2/user@node1\n:\n' >nodes.txt
    sed 's/^parallel /parallel --dry-run /' recipe7.sh >dry-run.sh
    [ "$(bash dry-run.sh | grep -c '^conemask 60 120 40 0.1 20 [ab] 400 600 > /dev/null$')" -eq 2 ] ||
        fail 7 "the dry run did not print the two commands"
fi

[ $skipped -eq 0 ] || exit 77
echo "all $expected recipes ran"
