#!/bin/bash
# pxraid's bash completion, sourced in plain bash (no bash-completion
# package): what a few command lines complete to, and that every option each
# command's --help shows is offered.
#   completion_test.sh COMPLETION_FILE PXRAID
set -u
# shellcheck source=/dev/null
source "$1"
pxraid=$2
failed=0

# The words offered for the word being typed, `typed`, after `before`.
complete_line() {
  read -r -a COMP_WORDS <<<"$1"
  COMP_WORDS[0]=$pxraid
  COMP_WORDS+=("$2")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _pxraid
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
}

# The words before, the word being typed, and what it completes to exactly.
while IFS='|' read -r before typed expected; do
  got=$(complete_line "$before" "$typed")
  if [[ $got != "$expected" ]]; then
    echo "'$before $typed' completes to '$got', not '$expected'"
    failed=1
  fi
done <<'CASES'
pxraid||firmware history list log monitor status
pxraid --quiet firmware||backup build check restore upgrade
pxraid status --format||json nagios prometheus text
pxraid --virtual|failed|failed-member
pxraid status --virtual healthy-mirror|--enc|--enclosure
pxraid firmware upgrade|--no|--no-backup
CASES

# Every long option a command's --help lists (the first word of its lines)
# is offered after "--".
for command in "" list status monitor history log firmware "firmware check" \
  "firmware upgrade" "firmware backup" "firmware restore" "firmware build"; do
  # shellcheck disable=SC2086
  shown=$("$pxraid" $command --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n' |
    sed -n 's/^\(--[a-z-]*\).*/\1/p' | sort -u)
  offered=" $(complete_line "pxraid $command" --) "
  for option in $shown; do
    if [[ $offered != *" $option "* ]]; then
      echo "'pxraid $command --' does not offer $option"
      failed=1
    fi
  done
done
exit $failed
