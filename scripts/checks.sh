# Counted checks for the test scripts. Source it, run `check DESCRIPTION
# COMMAND...` for each check, and end with `checks_summary NAME`, which fails
# when any check failed.
passed=0
failed=0
check() { # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
checks_summary() { # name of the checks
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
