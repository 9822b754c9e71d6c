#!/usr/bin/env bash
# Static analysis of Kelvor's own code: clang-tidy (.clang-tidy), cppcheck, and the layout of
# .clang-format. Any finding fails. Usage: lint.sh SOURCE_DIR BUILD_DIR (with compile_commands.json)
set -uo pipefail
src=$1 build=$2
cd "$src"
module=(app/main.cpp app/worker.cpp options/cmdline.cpp options/registry.cpp dialog/countdown.cpp)
status=0

echo "== clang-tidy"
clang-tidy -p "$build" --quiet "${module[@]}" 2>/dev/null | grep -E 'warning:|error:' && status=1

echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ --inline-suppr \
    --error-exitcode=1 -q -I . -I tests/stubs app/main.cpp app/worker.cpp options dialog || status=1

echo "== clang-format"
mapfile -t files < <(git ls-files 'app/*' 'options/*' 'dialog/*' 'platform/*' 'tests/*' | grep -E '\.(cpp|h)$')
clang-format --dry-run -Werror "${files[@]}" || status=1

[ $status -eq 0 ] && echo "lint: clean"
exit $status
