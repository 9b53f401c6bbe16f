#!/usr/bin/env bash
# Drives the dialog program kestrixw.exe under Wine on a virtual X screen, as a user would, from
# the release archive unpacked into a fresh folder (its it2xm.exe and mod2xm.exe convert the
# corpus IT and S3M): takes a screenshot of each page, checks every control against the dialog
# templates of src/gui/win32/kestrixw.rc, converts examples/demo.xm (the output name following the
# input chosen with Browse..., which starts in the user's documents, the log window beside the
# dialog), lists a Buzz song given as input, shows why a text named .it is no module, answers No
# and then Yes to the question before a song is replaced, converts a multi-selection into a folder
# and three dropped files as batches and answers "No to all", kills the conversion of a large
# module and a batch and converts again, opens the help page and the About box, transforms a song
# and lists its generators; then checks the layout again at 150% and 200% (Wine's LogPixels).
# Screenshots go to BUILD/gui-test/shots.
#   usage: scripts/test-gui.sh MINGW_BUILD_DIR [NATIVE_KESTRIX]
# The archive is made (cmake --build MINGW_BUILD_DIR --target package) when it is not there.
# NATIVE_KESTRIX (optional) re-reads the written songs; without it kestrix.exe does, under Wine.
# Exits 0 with a note when wine, Xvfb or xdotool are missing or cannot run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inner ]; then
    build=$(cd "${1:?usage: test-gui.sh MINGW_BUILD_DIR [NATIVE_KESTRIX]}" && pwd)
    for tool in xvfb-run xdotool import python3 unzip; do
        command -v $tool >/dev/null || { echo "gui test skipped: $tool is not installed"; exit 0; }
    done
    [ -f "$build/kestrixw.exe" ] || { echo "gui test: no $build/kestrixw.exe"; exit 1; }
    source "$root/scripts/wine-env.sh"
    wine_prepare "$build" || { echo "gui test skipped: $wine_skip"; exit 0; }
    start=$(date +%s)
    timeout 30 xvfb-run -a -s "-screen 0 1600x1200x24" true >/dev/null 2>&1 ||
        { echo "gui test skipped: Xvfb cannot start"; exit 0; }
    zip=$(ls "$build"/kestrix-*-win64.zip 2>/dev/null | head -1)
    if [ -z "$zip" ]; then
        cmake --build "$build" --target package >/dev/null || { echo "gui test: the release archive cannot be made"; exit 1; }
        zip=$(ls "$build"/kestrix-*-win64.zip | head -1)
    fi
    native=""
    [ -n "${2:-}" ] && native=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    timeout 420 xvfb-run -a -s "-screen 0 1600x1200x24" bash "$0" --inner "$build" "$native" "$zip"
    status=$?
    timeout 10 wineserver -k 2>/dev/null
    echo "== gui test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - start )) s"
    exit $status
fi

# --- inside the virtual screen ---
build=$2
native=${3:-}
zip=$4
work="$build/gui-test"
shots="$work/shots"
rm -rf "$work"; mkdir -p "$work/files" "$work/app" "$shots"
files="$work/files"
log="$work/test.log"
# The programs as a user has them: the release archive unpacked into a fresh folder.
unzip -q "$zip" -d "$work/app" || { echo "  cannot unpack $zip"; exit 1; }
app=$(ls -d "$work"/app/kestrix-*-win64)
echo "== gui test: programs from $(basename "$zip"): $(cd "$app" && ls | tr '\n' ' ')"
cp "$root/examples/demo.xm" "$files/"
python3 "$root/tests/gui/make_big_xm.py" "$files/big.xm" 255 48 || exit 1
corpus=${KESTRIX_CORPUS_DIR:-$root/../shared/corpus}
corpus_it=$(ls "$corpus"/it/*.it 2>/dev/null | head -1)
corpus_s3m=$(ls "$corpus"/s3m/*.s3m 2>/dev/null | head -1)
corpus_mid=$(ls "$corpus"/midi/*.mid 2>/dev/null | head -1)
# The options the test starts from: the ones kestrix.ini holds by default (the log window at
# 10,10, 500 x 400, where it would cover the dialog).
printf 'dotsplit= 1\ndowave= 2\ndopfun= 0\nlwind_x=10\nlwind_y=10\nlwind_dx=500\nlwind_dy=400\n' > "$files/kestrix.ini"
failures=0
fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Waits (up to $2 seconds) for a line matching $1 after line $mark of the test log.
mark=0
set_mark() { mark=$(wc -l < "$log" 2>/dev/null || echo 0); }
wait_log() {
    local until=$(( $(now_ms) + ${2:-5} * 1000 ))
    while [ "$(now_ms)" -lt $until ]; do
        tail -n +$((mark + 1)) "$log" 2>/dev/null | grep -E "$1" >/dev/null && return 0
        sleep 0.05
    done
    return 1
}
# Screen centre of a control, from the controls the program listed.
center() {
    awk -v id="$1" '$2 == "control" && $3 == id { print int(($12 + $14) / 2), int(($13 + $15) / 2); exit }' "$log"
}
click() { xdotool mousemove $(center "$1") click 1; }
rect_of() { awk -v id="$1" '$2 == "control" && $3 == id { print $12, $13, $14, $15; exit }' "$log"; }
# True when the rectangles "l t r b" $1 and $2 overlap.
overlap() {
    read -r al at ar ab <<<"$1"; read -r bl bt br bb <<<"$2"
    [ "$al" -lt "$br" ] && [ "$bl" -lt "$ar" ] && [ "$at" -lt "$bb" ] && [ "$bt" -lt "$ab" ]
}
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
tab() {
    read -r l t r _ < <(awk '$2 == "control" && $3 == 1010 { print $12, $13, $14, $15; exit }' "$log")
    local w=$(( (r - l) / 5 ))
    set_mark
    xdotool mousemove $(( l + w * $1 + w / 2 )) $(( t - 12 )) click 1
    wait_log "^[0-9]+ tab $1\$" 15 || fail "tab $1 was not selected"
}
type_into() {
    click "$1"
    xdotool key --clearmodifiers End shift+Home BackSpace
    xdotool type --delay 2 "$2"
}
# Presses key $2 on the window titled $1 (a regular expression) until the test log shows $3: a
# box that has just come up may not take its first key, and Wine may show one box as two windows
# of that title.
press_on_box() {
    local try box boxes
    for try in 1 2 3 4 5 6; do
        boxes=$(xdotool search --onlyvisible --name "$1")
        for box in $boxes; do
            xdotool windowfocus "$box" key "$2" 2>/dev/null
            wait_log "$3" 1 && return 0
        done
        [ -n "$boxes" ] || { wait_log "$3" 1 && return 0; }
    done
    return 1
}
# Waits for the message box with text $1, takes a screenshot, and presses Return on it.
answer_message() {
    wait_log "message \"[^\"]*\" \"$1\"" "${2:-20}" || { fail "no message \"$1\""; return 1; }
    sleep 0.3
    import -window root "$shots/$3.png"
    press_on_box '^(KESTRIX Message|Error|About kestrixw)$' Return "message closed" || fail "message \"$1\" did not close"
}
# Waits for the question "$1 exists. Replace it?" and answers it with the key $2 (y or n).
answer_question() {
    wait_log "question \"$1 exists. Replace it\?\"" 10 || { fail "no question before replacing $1"; return 1; }
    sleep 0.3
    import -window root "$shots/question-$2.png"
    press_on_box '^KESTRIX Message$' "$2" "answer $([ "$2" = y ] && echo yes || echo no)" ||
        fail "the question on $1 took no answer"
}
reread() {
    if [ -n "$native" ]; then
        (cd "$files" && "$native" --list "$1" +v) >"$work/reread-${1//\//_}.txt" 2>&1
    else
        (cd "$files" && timeout 60 wine "$app/kestrix.exe" --list "$1" +v) >"$work/reread-${1//\//_}.txt" 2>&1
    fi || { fail "the reader refused $1 (see $work/reread-$1.txt)"; return; }
    echo "  $1 re-read by the song reader: $(grep -oE 'machines: [0-9]+' "$work/reread-${1//\//_}.txt" | head -1)"
}

# Wine's screen scale, LogPixels (96 for 100%); a program started afterwards takes it.
set_dpi() {
    local hex
    hex=$(printf '%08x' "$1")
    printf '%s\n' 'REGEDIT4' '' '[HKEY_CURRENT_USER\Control Panel\Desktop]' "\"LogPixels\"=dword:$hex" '' \
        '[HKEY_CURRENT_CONFIG\Software\Fonts]' "\"LogPixels\"=dword:$hex" >"$work/dpi.reg"
    timeout 60 wine regedit /S "$(winpath "$work/dpi.reg")"
}

cd "$files" || exit 1
wineserver -p
set_dpi 96
export KESTRIX_GUI_TEST_LOG="$log"
wine "$app/kestrixw.exe" 2>"$work/wine-stderr.txt" &
program=$!
wait_log "controls end" 60 || { echo "  the dialog did not start (see $work/wine-stderr.txt)"; exit 1; }
dialog=$(xdotool search --sync --onlyvisible --name '^ KESTRIX Fileconverter v3e$' | head -1)
xdotool windowfocus "$dialog"

echo "== gui test: controls"
python3 "$root/tests/gui/check_controls.py" "$root/src/gui/win32/kestrixw.rc" "$log" || fail "control check"

echo "== gui test: pages"
names=(basics extended midi transform machine)
for k in 4 3 2 1 0; do
    tab $k
    import -window root "$shots/page-$k-${names[$k]}.png"
    echo "  screenshot $shots/page-$k-${names[$k]}.png"
done

set_mark
xdotool windowfocus "$dialog" key ctrl+Tab
wait_log "^[0-9]+ tab 1\$" 15 || fail "Ctrl+Tab did not select the next page"
set_mark
xdotool key ctrl+shift+Tab
wait_log "^[0-9]+ tab 0\$" 15 || fail "Ctrl+Shift+Tab did not select the page before"
echo "  Ctrl+Tab and Ctrl+Shift+Tab switch pages"

echo "== gui test: Convert"
# The input through "Browse...": the file dialog takes a typed full name; the output name follows.
set_mark
click 304
if wait_log 'file dialog "Select Module' 10; then
    tail -n +$((mark + 1)) "$log" | grep -qE 'file dialog "Select Module[^"]*" in "[^"]*Documents"' &&
        echo "  the first Browse... starts in the user's documents" ||
        fail "the first Browse... did not start in the user's documents: $(grep -o 'file dialog "Select Module.*' "$log" | tail -1)"
    box=$(timeout 10 xdotool search --sync --onlyvisible --name '^Select Module \(MOD/XM\) or MIDI-File$' | head -1)
    sleep 0.3
    xdotool windowfocus "$box" type --delay 2 "$(winpath "$files/demo.xm")"
    xdotool key Return
    wait_log 'file dialog chose ".*demo.xm" for 110' 10 && echo "  Browse... $(grep -oE 'chose "[^"]*"' "$log" | tail -1)" ||
        { fail "Browse... did not fill the input file"; type_into 110 demo.xm; }
    wait_log "output name \".*files.demo\.bmx\"" 5 && echo "  the output name followed: $(grep -oE 'output name "[^"]*"' "$log" | tail -1)" ||
        { fail "the output name did not follow the input"; type_into 111 demo.bmx; }
else
    fail "Browse... opened no file dialog"
    type_into 110 demo.xm
    type_into 111 demo.bmx
fi
set_mark
click 302
wait_log 'log window "Conversion Log" open' 10 || fail "no log window"
placed=$(tail -n +$((mark + 1)) "$log" | grep -m1 -oE 'log window "Conversion Log" open rect -?[0-9]+ -?[0-9]+ -?[0-9]+ -?[0-9]+' | grep -oE -- '-?[0-9]+ -?[0-9]+ -?[0-9]+ -?[0-9]+$')
opened=$(( $(tail -n +$((mark + 1)) "$log" | grep -m1 'log window "Conversion Log" open' | cut -d' ' -f1) - $(tail -n +$((mark + 1)) "$log" | grep -m1 'command 302' | cut -d' ' -f1) ))
for id in 110 111; do
    overlap "$placed" "$(rect_of $id)" && fail "the log window ($placed) covers control $id ($(rect_of $id))"
done
echo "  log window at $placed, clear of the Input and Output boxes, open $opened ms after Convert"
answer_message "Conversion finished!" 30 convert-finished && reread demo.bmx
# The log window's lines since the mark ("log line" entries of the test log).
log_lines() { tail -n +$((mark + 1)) "$log" | grep -oE 'log line ".*"$' | sed -E 's/^log line "(.*)"$/\1/'; }

echo "== gui test: a Buzz song as input, a file that is no module"
type_into 110 demo.bmx
set_mark
click 302
answer_message "Conversion finished!" 30 listed-song
log_lines | grep -qx "machines: 5" && log_lines | grep -qxF '"Jeskola Tracker" 1 1 5    ; machines.ini has it' &&
    echo "  demo.bmx listed: its machines and their libraries as machines.ini lines" ||
    fail "demo.bmx was not listed with its machines: $(log_lines | head -5 | tr '\n' '|')"
printf 'this is a text, no module\n' > "$files/bad.it"
type_into 110 bad.it
type_into 111 bad.bmx
set_mark
click 302
answer_message "Error occured!" 30 bad-it
reason=$(log_lines | grep -m1 '^Error: ')
[ "$reason" = "Error: it2xm: cannot read bad.it: not a module format this program knows" ] &&
    echo "  bad.it: the log window says $reason" || fail "bad.it's converter reason is not in the log window: ${reason:-none}"

echo "== gui test: Replace"
# A corpus IT and S3M through the archive's it2xm.exe and mod2xm.exe; an existing song is replaced
# only after Yes.
if [ -n "$corpus_it" ] && [ -n "$corpus_s3m" ]; then
    cp "$corpus_it" "$files/tune.it"
    cp "$corpus_s3m" "$files/tune.s3m"
    chmod u+w "$files"/tune.*
    echo "an older song" > "$files/tune.bmx"
    type_into 110 tune.it
    type_into 111 tune.bmx
    set_mark
    click 302
    answer_question tune.bmx n
    sleep 0.5
    tail -n +$((mark + 1)) "$log" | grep -q "job start" && fail "No started the job"
    [ "$(cat "$files/tune.bmx")" = "an older song" ] || fail "No changed tune.bmx"
    set_mark
    click 302
    answer_question tune.bmx y
    answer_message "Conversion finished!" 60 convert-it && reread tune.bmx
    [ "$(head -c 4 "$files/tune.bmx")" = Buzz ] && echo "  $(basename "$corpus_it"): No kept the old tune.bmx, Yes replaced it"
    type_into 110 tune.s3m
    type_into 111 tune-s3m.bmx
    set_mark
    click 302
    answer_message "Conversion finished!" 60 convert-s3m && reread tune-s3m.bmx
else
    echo "  IT and S3M skipped: no corpus at $corpus"
fi

echo "== gui test: a MIDI file without waves"
# No XI folder and no SoundFont: the dialog says so and asks first; the song ends without waves.
if [ -n "$corpus_mid" ]; then
    cp "$corpus_mid" "$files/tune.mid"
    type_into 110 tune.mid
    type_into 111 tune-mid.bmx
    set_mark
    click 302
    if wait_log 'question "The song will have no waves: ' 10; then
        press_on_box '^KESTRIX Message$' y "answer yes" || fail "the question on the waves took no answer"
        answer_message "Conversion finished without waves!" 60 midi-without-waves && reread tune-mid.bmx
        log_lines | grep -q '^MIDI waves: no waves: ' && echo "  the log window said where the waves come from: nowhere" ||
            fail "the log window did not say where the MIDI waves come from"
    else
        fail "no question before a MIDI conversion without waves"
    fi
else
    echo "  skipped: no corpus at $corpus"
fi

echo "== gui test: many files"
drop() { timeout 20 wine "$build/kxdrop.exe" " KESTRIX Fileconverter v3e" "$@" || fail "kxdrop could not drop $*"; }
# The question before a batch replaces songs, answered with key $2: y "Yes to all", n "No to all".
answer_batch() {
    wait_log 'question "[0-9]+ of the songs exist' 15 || { fail "no question before the batch replaced songs"; return 1; }
    sleep 0.3
    import -window root "$shots/batch-question-$2.png"
    press_on_box '^KESTRIX Message$' "$2" "answer $([ "$2" = y ] && echo yes || echo no) to all" ||
        fail "the batch question took no answer"
}
# Two files picked together in Browse..., their songs into the folder the Output File box names.
cp "$files/demo.xm" "$files/one.xm"
cp "$files/demo.xm" "$files/two.xm"
type_into 111 'songs\'
set_mark
click 304
if wait_log 'file dialog "Select Module' 10; then
    box=$(timeout 10 xdotool search --sync --onlyvisible --name '^Select Module \(MOD/XM\) or MIDI-File$' | head -1)
    sleep 0.3
    xdotool windowfocus "$box" type --delay 2 "$(winpath "$files")\\"
    xdotool key Return
    sleep 0.5
    xdotool type --delay 2 '"one.xm" "two.xm"'
    xdotool key Return
    wait_log 'file dialog chose 2 files for 110' 10 || fail "Browse... did not take two files"
else
    fail "Browse... opened no file dialog"
fi
set_mark
click 302
answer_message "2 converted" 60 batch-selection
[ -f "$files/songs/one.bmx" ] && [ -f "$files/songs/two.bmx" ] && reread songs/one.bmx &&
    echo "  a multi-selection: $(log_lines | grep -c '^ok  ') songs in songs\\" || fail "the multi-selection's songs are not in songs\\"
# Three files dropped on the dialog: converted at once, each song beside its module, one line
# each (a converter's notes under their file's line) and a summary.
third=demo.xm
if [ -n "$corpus_s3m" ]; then third=tune.s3m; fi
cp "$files/demo.xm" "$files/d1.xm"
cp "$files/demo.xm" "$files/d2.xm"
dropped=("$(winpath "$files/d1.xm")" "$(winpath "$files/d2.xm")" "$(winpath "$files/$third")")
rm -f "$files/${third%.*}.bmx"
type_into 111 ""
set_mark
drop "${dropped[@]}"
answer_message "3 converted" 60 batch-drop
[ "$(log_lines | grep -c '^ok  ')" = 3 ] && [ -f "$files/d1.bmx" ] && [ -f "$files/d2.bmx" ] && reread d1.bmx &&
    echo "  three dropped files converted: $(log_lines | grep -v '^$' | tail -1)" || fail "the dropped files: $(log_lines | tr '\n' '|')"
if [ "$third" = tune.s3m ]; then
    log_lines | grep -A1 '^ok  .*tune.s3m' | grep -q '^    Warning: mod2xm: ' && echo "  tune.s3m's converter notes under its line" ||
        fail "no converter notes under tune.s3m's line"
fi
# Dropped again: "No to all" keeps every song as it was.
echo "an older song" > "$files/d1.bmx"
set_mark
drop "${dropped[@]}"
answer_batch "3 of the songs exist" n
answer_message "0 converted, 3 not converted" 30 batch-no-to-all
[ "$(cat "$files/d1.bmx")" = "an older song" ] && echo "  \"No to all\" kept the songs" || fail "\"No to all\" changed d1.bmx"

echo "== gui test: Help and About"
set_mark
click 303
if wait_log 'help "' 10; then
    target=$(tail -n +$((mark + 1)) "$log" | grep -m1 -oE 'help "[^"]*"' | sed -E 's/^help "(.*)"$/\1/')
    [ "$target" = "$(winpath "$app/kestrix-help.html")" ] || fail "Help opened $target, not the archive's kestrix-help.html"
    [ -s "$app/kestrix-help.html" ] && grep -q '<title>kestrix' "$app/kestrix-help.html" || fail "no help page in the archive"
    sleep 1
    tail -n +$((mark + 1)) "$log" | grep -q 'message "Error"' && { fail "Help reported an error"; answer_message ".*" 5 help-error; }
    echo "  Help opened $target"
else
    fail "Help opened nothing"
fi
set_mark
xdotool windowfocus "$dialog" key alt+space
sleep 0.5
import -window root "$shots/window-menu.png"
xdotool key Up Return # the menu's last entry
if wait_log 'message "About kestrixw" "kestrixw [0-9]' 5; then
    answer_message 'kestrixw [^"]*' 5 about
    echo "  About: $(grep -oE 'message "About kestrixw" "[^\]*' "$log" | head -1 | cut -d'"' -f4)"
else
    fail "the window menu's About showed no version"
    xdotool key Escape
fi

echo "== gui test: Kill"
# With "Log to file" every row is listed: the log window gets a flood of text while the dialog
# must stay responsive, and the job runs long enough to be killed.
tab 1
click 188
tab 0
type_into 110 big.xm
type_into 111 big.bmx
# What the folder holds apart from the log file asked for.
listing() { ls -A "$files" | grep -vx kestrix.log | sort; }
echo "an older song" > "$files/big.bmx" # a killed conversion leaves it as it was
before=$(listing)
set_mark
click 302
answer_question big.bmx y
wait_log 'log window "Conversion Log" open' 10 || fail "no log window"
# Responsive: the dialog takes a page switch while the job runs (a dialog whose thread the job
# held would take it only after the job).
t0=$(now_ms)
tab 1
echo "  the dialog switched pages in $(( $(now_ms) - t0 )) ms while the job ran"
scratch=$(cd "$files" && ls -- *.part 2>/dev/null | tr '\n' ' ')
click 214
if wait_log 'job report "Error occured!" killed' 15; then
    echo "  killed while it wrote ${scratch:-no scratch file}"
elif grep -q 'job report "Conversion finished!"' <(tail -n +$((mark + 1)) "$log"); then
    fail "the conversion ended before Kill"
    answer_message "Conversion finished!" 10 kill-too-late
else
    fail "the job did not end after Kill"
fi
wait_log "job ended" 5 || fail "the worker did not end"
sleep 0.2
import -window root "$shots/kill-done.png"
gap=$(tail -n +$((mark + 1)) "$log" | grep -oE "waited at most [0-9]+" | grep -oE "[0-9]+$")
echo "  while the job ran the dialog waited at most ${gap:-?} ms for its messages"
after=$(listing)
[ "$before" = "$after" ] || fail "files changed by the killed job: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]' | tr '\n' ' ')"
[ "$(cat "$files/big.bmx")" = "an older song" ] || fail "the killed job changed the song it would have replaced"
[ "$before" = "$after" ] && echo "  killed; no file left behind, the older song unchanged"
# A batch of two large modules, killed: every job of it ends, no file is left behind.
cp "$files/big.xm" "$files/big2.xm"
before=$(listing)
tab 0
type_into 111 ""
tab 1
set_mark
drop "$(winpath "$files/big.xm")" "$(winpath "$files/big2.xm")"
answer_batch "1 of the songs exists" y
wait_log 'log window "Conversion Log" open' 10 || fail "no log window for the batch"
sleep 0.5
click 214
if wait_log 'job report "[^"]*" killed' 20; then
    echo "  the batch killed: $(grep -oE 'job report "[^"]*" killed' "$log" | tail -1)"
else
    fail "the batch did not end after Kill"
fi
wait_log "job ended" 10 || fail "the batch's worker did not end"
after=$(listing)
[ "$before" = "$after" ] && [ "$(cat "$files/big.bmx")" = "an older song" ] && echo "  no file left behind by the batch" ||
    fail "files changed by the killed batch: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]' | tr '\n' ' ')"
rm -f "$files/big2.xm"
set_mark
click 214
answer_message "No thread running" 10 kill-idle
set_mark
click 215
answer_message "Error running buzz.exe \\(tried [^;]*buzz.exe; edit buzz_path in kestrix.ini[^\"]*" 10 no-buzz
click 188
# The user moves the log window (over a corner of the dialog, clear of the controls the test
# clicks): the Extended page shows the new place, and the next log window opens there.
read -r ll lt _ < <(grep -oE 'log window "Conversion Log" open rect -?[0-9]+ -?[0-9]+' "$log" | tail -1 | awk '{print $(NF-1), $NF}')
set_mark
# Dragged by its caption, as a user does.
xdotool mousemove $((ll + 150)) $((lt + 10)) mousedown 1 sleep 0.2 mousemove $((150 + 420)) $((10 + 360)) sleep 0.2 mouseup 1
sleep 0.3
import -window root "$shots/log-moved.png"
wait_log "log window moved to 420 360" 5 || fail "moving the log window was not noticed"
tab 0
type_into 110 demo.xm
type_into 111 demo2.bmx
set_mark
click 302
wait_log 'log window "Conversion Log" open rect 420 360 ' 10 && echo "  the log window opened where the user moved it" ||
    fail "the log window did not open where the user moved it: $(grep -o 'log window "Conversion Log" open rect.*' "$log" | tail -1)"
answer_message "Conversion finished!" 30 convert-after-kill && reread demo2.bmx

echo "== gui test: Transform and Machine"
if grep -q "not available in this version" "$root/src/transform/merge.cpp" 2>/dev/null; then
    echo "  skipped: this version has no merge or transformation"
else
    tab 3
    type_into 114 demo.bmx
    click 442
    click 418
    type_into 419 2
    type_into 116 morphix.bmx
    set_mark
    click 312
    answer_message "Transformation finished!" 30 transform-finished && reread morphix.bmx
    tab 4
    set_mark
    click 315
    if wait_log "^[0-9]+ generators [1-9]" 10; then
        import -window root "$shots/machine-generators.png"
        echo "  generators listed: $(tail -n +$((mark + 1)) "$log" | grep -oE 'generators [0-9]+')"
    else
        fail "Get generators from Input I listed nothing"
    fi
    # Clone the first generator onto PrimiFun with the Machine page's "Transform now!".
    read -r l t _ < <(awk '$2 == "control" && $3 == 510 { print $12, $13; exit }' "$log")
    xdotool mousemove $((l + 10)) $((t + 6)) click 1 key Down
    click 551
    set_mark
    click 313
    answer_question morphix.bmx y
    cp "$work/reread-morphix.bmx.txt" "$work/reread-transformed.txt"
    answer_message "Transformation finished!" 30 clone-finished && reread morphix.bmx
    machines() { grep -oE 'machines: [0-9]+' "$1" | head -1 | grep -oE '[0-9]+'; }
    [ "$(machines "$work/reread-morphix.bmx.txt")" = $(( $(machines "$work/reread-transformed.txt") + 1 )) ] ||
        fail "the clone added no machine"
fi

# Save keeps where the user left the log window.
set_mark
click 300
wait_log "saved" 5 || fail "Save did nothing"
grep -qE '^lwind_x=420 ' "$files/kestrix.ini" && grep -qE '^lwind_y=360 ' "$files/kestrix.ini" &&
    echo "  Save kept the log window's place" || fail "kestrix.ini does not hold the log window's new place"

set_mark
click 301
for _ in $(seq 50); do kill -0 $program 2>/dev/null || break; sleep 0.1; done
kill -0 $program 2>/dev/null && fail "Quit did not end the program"

echo "== gui test: the layout at 150% and 200%"
# Wine's screen scale (LogPixels): every control keeps its text whole and clear of the others.
for dpi in 144 192; do
    set_dpi $dpi
    dlog="$work/test-$dpi.log"
    KESTRIX_GUI_TEST_LOG="$dlog" wine "$app/kestrixw.exe" 2>>"$work/wine-stderr.txt" &
    scaled=$!
    mark=0
    log_was=$log
    log=$dlog
    if wait_log "controls end" 60; then
        python3 "$root/tests/gui/check_controls.py" "$root/src/gui/win32/kestrixw.rc" "$dlog" | sed 's/^/  /' ||
            fail "the layout at $dpi dpi"
        d=$(xdotool search --sync --onlyvisible --name '^ KESTRIX Fileconverter v3e$' | head -1)
        for k in 0 1 2 3 4; do
            [ $k = 0 ] || xdotool windowfocus "$d" key ctrl+Tab
            sleep 0.3
            import -window root "$shots/dpi-$dpi-page-$k.png"
        done
        xdotool windowfocus "$d" key Escape
    else
        fail "the dialog did not start at $dpi dpi"
    fi
    log=$log_was
    for _ in $(seq 50); do kill -0 $scaled 2>/dev/null || break; sleep 0.1; done
    kill $scaled 2>/dev/null
done
set_dpi 96
echo "  screenshots: $shots"
exit $((failures > 0))
