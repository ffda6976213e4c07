#!/usr/bin/env bash
# Checks the two rules of the tree's style that a tool can see:
#   - every C++ file is laid out as .clang-format says;
#   - the member-naming rule of .clang-tidy holds in every file the build
#     compiles (and the headers they include).
# usage: tools/style-check.sh BUILD_DIR   (a configured tree with
# compile_commands.json, built, so that generated headers exist)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/${1:?usage: tools/style-check.sh BUILD_DIR}
status=0

mapfile -t files < <(cd "$root" && find src tests bench fuzz -name '*.cpp' -o -name '*.h' | sort)
if (cd "$root" && clang-format --dry-run --Werror "${files[@]}"); then
  echo "   layout: ${#files[@]} files as .clang-format says"
else
  echo "FAILED: layout (run clang-format -i on the files above)"; status=1
fi

log=$(mktemp)
if run-clang-tidy -p "$build" -j "$(nproc)" -quiet \
     -header-filter="^$root/(src|tests|bench)/" "^$root/(src|tests|bench)/" >"$log" 2>&1; then
  echo "   member names: the rule of .clang-tidy holds"
else
  grep -E 'error:|warning:' "$log" | sort -u
  echo "FAILED: member names (see the README's Style note)"; status=1
fi
rm -f "$log"
exit $status
