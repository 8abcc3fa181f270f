#!/bin/sh
# Test lines against code lines, from the repository root (git-tracked files only).
files=$(git ls-files '*.cpp' '*.h' '*.js' '*.mjs' '*.css' | grep -vE '^(bench|tools)/')
tests=$(printf '%s\n' $files | grep -E '(_test\.cpp|_test\.mjs|_test_support\.h|test_server\.h|browser_test/)')
code=$(printf '%s\n' $files | grep -vE '(_test\.cpp|_test\.mjs|_test_support\.h|test_server\.h|browser_test/)')
t=$(cat $tests | wc -l); c=$(cat $code | wc -l)
echo "tests $t code $c ratio $(echo "scale=3; $t/$c" | bc)"
