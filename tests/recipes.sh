#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs each recipe of the README's Recipes section, as the README writes it,
# on the example photograph, and checks that it does what its text promises.
#
#   tests/recipes.sh README.md DIR_OF_CONEMASK EXAMPLES_DIR
#
# A recipe whose tool is missing (ImageMagick, GNU parallel, ffmpeg) is skipped with a
# note; the script then exits 77, which CTest reports as skipped.
set -euo pipefail
readme=$(realpath "$1")
export PATH="$(realpath "$2"):$PATH"
examples=$(realpath "$3")
work=$(mktemp -d)
# Every recipe runs in a process group of its own, led by GNU timeout, which
# ends the whole group when the recipe outlives its bound; what a recipe
# leaves running in its group is ended when it ends, and every group (and the
# ssh server) when this script ends, on a failure or a signal.
recipe_group="" server_group=""
end_all() {
    local group
    for group in $recipe_group $server_group; do kill -KILL -- "-$group" 2>/dev/null || true; done
    rm -rf "$work"
}
trap end_all EXIT
trap 'exit 143' TERM INT HUP
cd "$work"

# bounded SECONDS COMMAND...: runs COMMAND in its own process group; its
# status is COMMAND's, 124 (or 137) when it ran out of time.
bounded() {
    local seconds=$1 status=0
    shift
    timeout -k 5 "$seconds" "$@" &
    recipe_group=$!
    wait "$recipe_group" || status=$?
    kill -KILL -- "-$recipe_group" 2>/dev/null || true
    recipe_group=""
    return $status
}
timed_out() { [ "$1" -eq 124 ] || [ "$1" -eq 137 ]; }
# A recipe is short on the example, yet emulated, or on a loaded machine, it
# may take many times as long: no recipe has a bound of its own, each may use
# what is left of the time ctest gives this script (CONEMASK_RECIPES_SECONDS),
# less half a minute to report a recipe that hangs before ctest ends it.
deadline=$((SECONDS + ${CONEMASK_RECIPES_SECONDS:-600} - 30))
# The seconds to the deadline, at least one: timeout takes 0 as no bound.
time_left() { echo $((deadline > SECONDS ? deadline - SECONDS : 1)); }
run_recipe() { bounded "$(time_left)" bash "$@"; }

# The sh blocks of the Recipes section: `recipe N` is the Nth one's path.
. "$(dirname "$0")/readme_blocks.sh"
readme_blocks "$readme" "$work"
recipe() { readme_block Recipes "$1"; }

skipped=0
fail() { echo "recipe $1: $2"; exit 1; }
have() {
    command -v "$1" >/dev/null && return 0
    recipe "$2" >/dev/null
    echo "note: $1 is not installed; recipe $2 skipped"
    skipped=1
    return 1
}
size_of() { stat -c %s "$1"; }
# Pixel (column, row) of field.rgb, and the rounded mean of a region's
# pixels, as "red green blue".
pixel_of() { od -An -tu1 -j $((3 * ($2 * 600 + $1))) -N 3 field.rgb | xargs; }
mean_of() {
    local x=$1 y=$2 width=$3 height=$4 row
    for ((row = y; row < y + height; ++row)); do
        od -An -tu1 -v -w3 -j $((3 * (row * 600 + x))) -N $((3 * width)) field.rgb
    done | awk '{ r += $1; g += $2; b += $3; n++ }
                END { printf "%d %d %d\n", int(r / n + 0.5), int(g / n + 0.5), int(b / n + 0.5) }'
}

# The example photograph, as a user's field.jpg and as the raster it becomes.
cp "$examples/coffee.rgb" field.rgb
if have convert 1; then
    convert -size 600x400 -depth 8 rgb:field.rgb field.jpg
    rm field.rgb
    [ "$(run_recipe "$(recipe 1)")" = "400 600" ] || fail 1 "did not print the rows and columns"
    [ "$(size_of field.rgb)" -eq 720000 ] || fail 1 "field.rgb is not 400 x 600 x 3 bytes"
fi

if have convert 2; then
    expected_colours="$(pixel_of 300 200)
$(mean_of 300 200 40 30)"
    [ "$(run_recipe "$(recipe 2)")" = "$expected_colours" ] || fail 2 "did not print $expected_colours"
fi

[ -z "$(run_recipe "$(recipe 3)")" ] || fail 3 "complained about a raster of the right size"
head -c 719999 field.rgb >short.rgb && mv field.rgb whole.rgb && mv short.rgb field.rgb
[ "$(run_recipe "$(recipe 3)")" = "field.rgb is not 400 x 600" ] || fail 3 "did not notice a short raster"
mv whole.rgb field.rgb

conemask 60 120 40 0.1 20 field 400 600 >/dev/null
if have convert 4; then
    run_recipe "$(recipe 4)" || fail 4 "failed"
    [ "$(identify -format '%w %h' mask.png)" = "600 400" ] || fail 4 "mask.png is not 600 x 400"
    mv mask.png from-files.png
fi
if have convert 5; then
    run_recipe "$(recipe 5)" || fail 5 "failed"
    [ "$(identify -format '%w %h' side.png)" = "1200 400" ] || fail 5 "side.png is not 1200 x 400"
fi

# Through pipes: the same picture as through files. Then conemask failing
# after it has opened both pipes (a raster too short for 500 rows), and
# before it opens either (a stand-in that fails at once): neither may hang.
if have convert 6; then
    mkdir pipes && cp field.jpg pipes/ && cd pipes
    run_recipe "$(recipe 6)" || fail 6 "failed on a good photograph"
    [ "$(compare -metric AE mask.png ../from-files.png null: 2>&1)" = 0 ] || fail 6 "drew another mask"
    [ ! -e field.rgb ] && [ ! -e field.raw ] || fail 6 "left its pipes behind"
    sed 's/^rows=400 /rows=500 /' "$(recipe 6)" >too-many-rows.sh
    status=0
    run_recipe too-many-rows.sh >/dev/null 2>&1 || status=$?
    [ $status -ne 0 ] || fail 6 "succeeded on a short raster"
    ! timed_out $status || fail 6 "hung when conemask failed midway"
    mkdir stand-in && printf '#!/bin/sh\nexit 1\n' >stand-in/conemask && chmod +x stand-in/conemask
    status=0
    PATH="$PWD/stand-in:$PATH" run_recipe "$(recipe 6)" || status=$?
    [ $status -ne 0 ] || fail 6 "succeeded when conemask failed"
    ! timed_out $status || fail 6 "hung when conemask failed at once"
    cd ..
fi

# A batch: one line ends in a blank, which must not join it to the next. Then
# a batch with a missing raster, which must fail.
# batch N SCRIPT: recipe N, as SCRIPT runs it.
batch() {
    local number=$1 script=$2
    rm -f ./*.raw
    printf 'a 400 600 \nb 400 600\nc 400 600\n' >list.txt
    run_recipe "$script" || fail "$number" "failed on a good list"
    for base in a b c; do
        [ "$(size_of $base.raw)" -eq 480000 ] || fail "$number" "$base.raw is not a whole mask"
    done
    printf 'a 400 600\nmissing 400 600\nb 400 600\n' >list.txt
    if run_recipe "$script" 2>/dev/null; then
        fail "$number" "succeeded with a missing raster"
    fi
}
for base in a b c; do cp field.rgb $base.rgb; done
batch 7 "$(recipe 7)"
if have parallel 8; then
    batch 8 "$(recipe 8)"
fi

# A folder of photographs for conemask-image: each mask must be conemask's
# mask of the photograph's raster (field.raw, from field.jpg); then a folder
# with a photograph cut short, which must fail the batch.
# photo_batch N SCRIPT: recipe N, as SCRIPT runs it.
photo_batch() {
    local number=$1 script=$2
    rm -rf photos && mkdir photos
    conemask 60 120 40 0.1 20 field 400 600 >/dev/null
    for base in a b c; do cp field.jpg photos/$base.jpg; done
    (cd photos && run_recipe "$script") || fail "$number" "failed on good photographs"
    for base in a b c; do
        cmp -s photos/$base.raw field.raw || fail "$number" "photos/$base.raw is not the photograph's mask"
    done
    head -c 1000 field.jpg >photos/broken.jpg
    if (cd photos && run_recipe "$script" 2>/dev/null); then
        fail "$number" "succeeded with a broken photograph"
    fi
}
# A cross build without the target's JPEG and PNG libraries has no
# conemask-image: its recipes are left out, not counted as skipped.
built_image() {
    command -v conemask-image >/dev/null && return 0
    recipe "$1" >/dev/null
    echo "note: this build has no conemask-image; recipe $1 left out"
    return 1
}
if built_image 9 && have convert 9 && have parallel 9; then
    photo_batch 9 "$(recipe 9)"
fi

# Several machines: an ssh server on loopback only, at a port of its own,
# with keys made here, beside this machine (":"). Only root may start it
# here; it is stopped on the way out, and the batch is bounded in time.
if have parallel 10 && have /usr/sbin/sshd 10 && have ssh-keygen 10; then
    if [ "$(id -u)" -ne 0 ]; then
        recipe 10 >/dev/null
        recipe 11 >/dev/null
        echo "note: not root, so no ssh server; recipes 10 and 11 skipped"
        skipped=1
    else
        ssh-keygen -q -t ed25519 -N '' -f host_key
        ssh-keygen -q -t ed25519 -N '' -f client_key
        cp client_key.pub authorized_keys
        port=$((20000 + RANDOM % 20000))
        # The sessions find this build's conemask, as a node finds its own
        # (and, cross-built, the libraries qemu-user runs it with).
        cat >sshd_config <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
SetEnv PATH=$PATH${QEMU_LD_PREFIX:+ QEMU_LD_PREFIX=$QEMU_LD_PREFIX}
EOF
        mkdir -p /run/sshd
        # In the foreground (-D), in a process group of its own that ends with
        # this script, and at the latest at its deadline. It has started once
        # it has written its pid, and failed once it has ended.
        timeout -k 5 "$(time_left)" /usr/sbin/sshd -D -f "$work/sshd_config" -E "$work/sshd.log" \
            </dev/null >/dev/null 2>&1 &
        server_group=$!
        until [ -s sshd.pid ] || ! kill -0 "$server_group" 2>/dev/null; do sleep 0.1; done
        [ -s sshd.pid ] || fail 10 "sshd did not start: $(cat sshd.log)"
        printf '2/ssh -p %s -i %s -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR root@127.0.0.1\n:\n' \
            "$port" "$work/client_key" >nodes.txt
        batch 10 "$(recipe 10)"
        grep -q 'Accepted publickey for root' sshd.log || fail 10 "no job went over ssh"
        echo "recipe 10: $(grep -c 'Accepted publickey' sshd.log) ssh sessions to 127.0.0.1:$port; every mask whole, a missing raster failed the batch"
        if built_image 11 && have convert 11; then
            sessions=$(grep -c 'Accepted publickey' sshd.log)
            sed 's/nodes\.txt/..\/nodes.txt/' "$(recipe 11)" >recipe11-here.sh
            photo_batch 11 "$PWD/recipe11-here.sh"
            [ "$(grep -c 'Accepted publickey' sshd.log)" -gt "$sessions" ] || fail 11 "no job went over ssh"
            echo "recipe 11: every photograph's mask made over ssh and here; a broken photograph failed the batch"
        fi
    fi
fi

# A video: two seconds of ffmpeg's test pattern, 20 frames of 320 x 240,
# as filmed and as a phone stores a clip filmed on its side: the frames as
# coded, with the turn that shows them upright in the container. Each row:
# its name, the turn in the container (degrees counterclockwise), ffmpeg's
# filter that turns a coded frame as it is shown, and the size shown. The
# mask video must have every frame at the size shown, and a frame's mask must
# be the program's mask of that frame as shown, turned here by the filter.
videos=(
    "upright          0  null              320 240"
    "quarter         90  transpose=cclock  240 320"
    "three-quarter  -90  transpose=clock   240 320"
)
# video_row NAME ROTATION FILTER COLS ROWS
video_row() {
    local name=$1 rotation=$2 filter=$3 cols=$4 rows=$5 frames frame=13
    mkdir "$name" && cd "$name"
    ffmpeg -v error -i ../filmed.mp4 -c copy -metadata:s:v:0 rotate=$rotation field.mp4
    run_recipe "$(recipe 12)" || fail 12 "failed on the $name video"
    [ ! -e field.rgb ] && [ ! -e field.raw ] || fail 12 "left its pipes behind"
    frames=$(ffprobe -v error -count_frames -select_streams v:0 -of default=noprint_wrappers=1:nokey=1 \
                     -show_entries stream=width,height,nb_read_frames mask.mkv | xargs)
    [ "$frames" = "$cols $rows 20" ] || fail 12 "the $name video's mask.mkv is $frames, not $cols $rows 20 (width height frames)"
    ffmpeg -v error -i ../filmed.mp4 -vf "select=eq(n\,$frame),$filter" -frames:v 1 -f rawvideo -pix_fmt rgb24 alone.rgb
    conemask 60 120 40 0.1 20 alone $rows $cols >/dev/null
    ffmpeg -v error -i mask.mkv -vf "select=eq(n\,$frame)" -frames:v 1 -f rawvideo -pix_fmt gray16le from-video.raw
    [ "$(od -An -v -tu2 alone.raw | tr -s ' ' '\n' | grep -c '^[1-9]')" -gt 0 ] || fail 12 "frame $frame selects nothing: no test"
    cmp -s alone.raw from-video.raw || fail 12 "the $name video's frame $frame: its mask is not the program's mask of that frame as shown"
    echo "recipe 12, $name video: 20 frames of $cols x $rows masked into mask.mkv; frame $frame equals the program's mask of it as shown"
    cd ..
}
# Then a video shorter than its count (conemask fails midway) and a conemask
# that fails at once: neither may hang.
if have ffmpeg 12 && have ffprobe 12; then
    mkdir video && cd video
    ffmpeg -v error -f lavfi -i testsrc=duration=2:size=320x240:rate=10 -pix_fmt yuv420p filmed.mp4
    for row in "${videos[@]}"; do
        # shellcheck disable=SC2086 # a row is its words
        video_row $row
    done
    cd upright
    sed 's/^cols=\$1 rows=\$2 rate=\$3 frames=\$4$/cols=$1 rows=$2 rate=$3 frames=$(($4 + 5))/' "$(recipe 12)" >too-many-frames.sh
    ! cmp -s too-many-frames.sh "$(recipe 12)" || fail 12 "its first line is not cols=\$1 rows=\$2 rate=\$3 frames=\$4: no test"
    status=0
    run_recipe too-many-frames.sh >/dev/null 2>&1 || status=$?
    [ $status -ne 0 ] || fail 12 "succeeded on a video shorter than its count"
    ! timed_out $status || fail 12 "hung when conemask failed midway"
    mkdir stand-in && printf '#!/bin/sh\nexit 1\n' >stand-in/conemask && chmod +x stand-in/conemask
    status=0
    PATH="$PWD/stand-in:$PATH" run_recipe "$(recipe 12)" >/dev/null 2>&1 || status=$?
    [ $status -ne 0 ] || fail 12 "succeeded when conemask failed"
    ! timed_out $status || fail 12 "hung when conemask failed at once"
    cd ../..
fi

readme_blocks_all_run Recipes
[ $skipped -eq 0 ] || exit 77
echo "every recipe ran"
