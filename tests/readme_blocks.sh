# SPDX-License-Identifier: MIT
# The README's sh blocks, for the scripts that run them as written
# (.ci/readme, tests/recipes.sh). Each script names the blocks it runs by
# their section and their place in it, and at the end checks that it ran,
# or knowingly left, every block of the sections it owns: a block added to
# the README fails the script that owns its section until it says how to run it.
#
#   . tests/readme_blocks.sh
#   readme_blocks README.md DIR    extracts the blocks under DIR
#   readme_block SECTION N         the path of the Nth block of the "## SECTION"
#                                  section, which counts as run
#   readme_blocks_elsewhere SECTION
#                                  every block of SECTION counts as run (another
#                                  script runs them)
#   readme_blocks_all_run [SECTION...]
#                                  fails, naming them, if any block (of these
#                                  sections; of all without one) was never asked for

readme_blocks() {
    readme_blocks_dir=$2/readme-blocks
    mkdir -p "$readme_blocks_dir"
    : >"$readme_blocks_dir/run"
    # index: one line a block, "N<TAB>SECTION"; the block in <slug>-N.sh.
    awk -v dir="$readme_blocks_dir" '
        function slug(s) { s = tolower(s); gsub(/[^a-z0-9]+/, "-", s); return s }
        /^## / { section = substr($0, 4); n = 0 }
        /^```sh$/ { file = dir "/" slug(section) "-" ++n ".sh"; print n "\t" section > (dir "/index"); next }
        /^```$/ { file = "" }
        file != "" { print > file }' "$1"
    touch "$readme_blocks_dir/index"
}

readme_block_file() {
    local slug
    slug=$(printf '%s' "$1" | tr 'A-Z' 'a-z' | sed 's/[^a-z0-9][^a-z0-9]*/-/g')
    echo "$readme_blocks_dir/$slug-$2.sh"
}

readme_block() {
    local file
    file=$(readme_block_file "$1" "$2")
    if [ ! -f "$file" ]; then
        echo "README.md has no sh block $2 under \"## $1\"" >&2
        exit 1
    fi
    printf '%s\t%s\n' "$2" "$1" >>"$readme_blocks_dir/run"
    echo "$file"
}

readme_blocks_elsewhere() {
    awk -F '\t' -v section="$1" '$2 == section' "$readme_blocks_dir/index" >>"$readme_blocks_dir/run"
}

readme_blocks_all_run() {
    local section missing=""
    for section in "${@:-}"; do
        missing+=$'\n'$(awk -F '\t' -v section="$section" '
            NR == FNR { run[$0] = 1; next }
            (section == "" || $2 == section) && !($0 in run) { printf "  block %s under \"## %s\"\n", $1, $2 }' \
            "$readme_blocks_dir/run" "$readme_blocks_dir/index")
    done
    missing=$(printf '%s' "$missing" | sed '/^$/d')
    if [ -n "$missing" ]; then
        echo "README.md has sh blocks that nothing runs; say how to run each in the script that owns its section:"
        echo "$missing"
        return 1
    fi
}
