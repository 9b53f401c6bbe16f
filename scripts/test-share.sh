#!/usr/bin/env bash
# Test share: counted lines of tests/ (*.cpp, *.h, *.py, *.sh) against counted lines of src/
# (*.cpp, *.h). A counted line is neither blank nor a comment (// in C++, # in scripts).
cd "$(dirname "$0")/.." || exit 2
src=$(git ls-files -- 'src/*.cpp' 'src/*.h' | xargs -r cat | grep -cvE '^\s*(//.*)?$')
tst=$(git ls-files -- 'tests/*.cpp' 'tests/*.h' 'tests/*.py' 'tests/*.sh' | xargs -r cat | grep -cvE '^\s*(//.*|#.*)?$')
echo "test share: $tst test lines / $src code lines = $(( 100 * tst / src ))%"
