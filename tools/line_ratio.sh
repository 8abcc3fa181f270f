#!/bin/sh
# Test lines against code lines, from the repository root (git-tracked files only), counted without
# blank lines and lines that hold only a comment. Benchmarks, tools and golden data are reported on
# lines of their own and counted as neither.
count() {
  [ -z "$1" ] && { echo 0; return; }
  # shellcheck disable=SC2086
  cat $1 | grep -vE '^[[:space:]]*$' | grep -vE '^[[:space:]]*(//|/\*|\*|#!)' | wc -l
}
all=$(git ls-files '*.cpp' '*.h' '*.js' '*.mjs' '*.css' '*.html' '*.py' '*.sh')
testpat='(_test\.cpp|_test\.mjs|_test\.sh|_test_support\.(h|mjs)|test_server\.h|browser_test/)'
files=$(printf '%s\n' $all | grep -vE '^(bench|tools)/')
tests=$(printf '%s\n' $files | grep -E "$testpat")
code=$(printf '%s\n' $files | grep -vE "$testpat")
bench=$(printf '%s\n' $all | grep -E '^bench/')
tools=$(printf '%s\n' $all | grep -E '^tools/')
golden=$(git ls-files '*/testdata/*')
t=$(count "$tests"); c=$(count "$code")
echo "tests $t code $c ratio $(echo "scale=3; $t/$c" | bc)"
echo "bench $(count "$bench") tools $(count "$tools") golden $(git ls-files '*/testdata/*' | xargs cat | wc -l)"
